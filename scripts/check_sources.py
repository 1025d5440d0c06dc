#!/usr/bin/env python3
"""Source rules CI enforces on the shipped code (library and tools):

- resources are released only by their holders: CloseHandle, RegCloseKey,
  LocalFree, FreeLibrary, FindClose and DeleteCriticalSection appear only in
  support/Holders.h (and in the allow-list below, each with its reason);
- raw malloc/calloc/realloc/free only inside the classes that own memory
  blocks;
- no include circle among the pipes/ files;
- tests stay at most a third of the code they test (non-blank,
  non-comment lines).

Exit status 1 when a rule is broken."""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIPPED = ["support", "pipes", "log", "virt", "tools"]
RELEASE = re.compile(r"\b(CloseHandle|RegCloseKey|LocalFree|FreeLibrary|FindClose|DeleteCriticalSection)\b")
RAW_MEMORY = re.compile(r"(?<![\w.>])(?:std::)?(malloc|calloc|realloc|free)\s*\(")

# file -> why it may name a release function
RELEASE_ALLOWED = {
    "support/Holders.h": "the holders themselves",
    # the security steps take their Windows calls from a table that tests
    # replace; the record's owner (CPipeSecurity) frees through it
    "support/SecurityApi.h": "the table of security calls",
    "support/SecurityAttributes.cpp": "the table of security calls",
}
MEMORY_ALLOWED = {
    "support/ByteBlock.cpp": "CByteBlock owns heap byte blocks",
    "pipes/TransferBuffer.cpp": "CBuffersList owns its recycled buffers",
}


def code_lines(path):
    """Non-blank lines outside comments (// and /* */), with string contents kept."""
    out = []
    in_block = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            text = line
            if in_block:
                end = text.find("*/")
                if end < 0:
                    continue
                text = text[end + 2:]
                in_block = False
            while True:
                start = text.find("/*")
                if start < 0:
                    break
                end = text.find("*/", start + 2)
                if end < 0:
                    text = text[:start]
                    in_block = True
                    break
                text = text[:start] + text[end + 2:]
            cut = text.find("//")
            if cut >= 0:
                text = text[:cut]
            if text.strip():
                out.append((number, text))
    return out


def sources(folders):
    for folder in folders:
        for base, _, names in os.walk(os.path.join(ROOT, folder)):
            if "/build" in base:
                continue
            for name in sorted(names):
                if name.endswith((".cpp", ".h", ".hpp", ".c")):
                    yield os.path.relpath(os.path.join(base, name), ROOT)


def include_circles():
    graph = {}
    for path in sources(["pipes"]):
        node = os.path.splitext(path)[0]
        for _, text in code_lines(os.path.join(ROOT, path)):
            m = re.match(r'\s*#\s*include\s+"(pipes/[^"]+)\.h"', text)
            if m and m.group(1) != node:
                graph.setdefault(node, set()).add(m.group(1))
    circles = []
    state = {}

    def visit(node, stack):
        state[node] = 1
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                circles.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, stack)
        stack.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [])
    return circles


def main():
    broken = []
    for path in sources(SHIPPED):
        for number, text in code_lines(os.path.join(ROOT, path)):
            if RELEASE.search(text) and path not in RELEASE_ALLOWED:
                broken.append(f"{path}:{number}: release call outside a holder: {text.strip()}")
            if RAW_MEMORY.search(text) and path not in MEMORY_ALLOWED:
                broken.append(f"{path}:{number}: raw heap call outside an owning class: {text.strip()}")
    for circle in include_circles():
        broken.append("include circle among pipes/: " + " -> ".join(circle))

    # Tests against the code they test (library, tools, benchmarks, fuzzers,
    # examples): at most a third as many counted lines.
    tests = sum(len(code_lines(os.path.join(ROOT, p))) for p in sources(["tests"]))
    code = sum(len(code_lines(os.path.join(ROOT, p)))
               for p in sources(["support", "pipes", "log", "virt", "tools", "bench", "fuzz", "examples"]))
    print(f"test code: {tests} counted lines against {code} of code ({100.0 * tests / code:.0f} %)")
    if tests * 3 > code:
        broken.append(f"tests are more than a third of the code ({tests} against {code} lines)")

    for line in broken:
        print(line)
    print("source rules: " + ("broken" if broken else "kept"))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())

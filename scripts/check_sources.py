#!/usr/bin/env python3
"""Source rules CI enforces on the shipped code (library and tools):

- resources are released only by their holders: CloseHandle, RegCloseKey,
  LocalFree, FreeLibrary, FindClose and DeleteCriticalSection appear only in
  support/Holders.h (and in the allow-list below, each with its reason);
- raw malloc/calloc/realloc/free only inside the classes that own memory
  blocks;
- no include circle among the pipes/ files;
- the floors (docs/architecture.md): a file includes ("...") only files of
  its own floor and the floors it stands on, support <- pipes <- log <-
  virt/api <- tools; zksndctl takes only the public header of the library
  (and the support kit), the emulator only the protocol; the build enforces
  the same through each target's include root (cmake/floors.cmake);
- no naked delete in library code (support, pipes, log, virt): objects are
  owned by std::unique_ptr or a holder;
- tests stay about a third of the code they test, at most 37 % (non-blank,
  non-comment lines): the fault sweep's kit and driver came on top of suites
  that still catch what the sweep cannot, and the next tests must fold older ones.

Exit status 1 when a rule is broken."""
import os
import re
import sys
import tempfile

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
    "support/TransferBuffer.cpp": "CBuffersList owns its recycled buffers",
}


# ---- Floors ------------------------------------------------------------------
# Parts of the tree, each a build target (root CMakeLists.txt, tools/), from
# the most specific prefix to the least.
PARTS = [
    ("virt/api/zksndapi.h", "public"),        # zk_public_header: what applications include
    ("virt/api/zksndapi.hpp", "public"),
    ("virt/api/zksndapi_status.h", "public"),
    ("virt/api/SndProtocol.", "protocol"),    # zk_protocol: the wire format
    ("virt/api/SndServiceMessages.", "service"),  # zk_protocol_service: emulator and tests only
    ("virt/api/", "client"),                  # zk_client and the DLL's exports
    ("support/", "support"),                  # zk_support
    ("pipes/", "pipes"),                      # zk_pipes
    ("log/", "log"),                          # zk_log
    ("tools/common/", "tools_common"),        # zktools_common
    ("tools/tessaline-emu/", "emulator"),     # tessaline_emu_core, tessaline-emu
    ("tools/zksndctl/", "zksndctl"),          # zksndctl_core, zksndctl
]
# part -> the parts its files may include (its own always)
MAY_USE = {
    "support": set(),
    "pipes": {"support"},
    "log": {"support"},
    "public": set(),
    "protocol": {"support", "pipes"},  # pipes/MessagePrefix.h: the header starts with it
    "service": {"support", "pipes", "protocol"},
    "client": {"support", "pipes", "log", "public", "protocol"},
    "tools_common": {"support"},
    "emulator": {"support", "pipes", "protocol", "service", "tools_common"},
    "zksndctl": {"support", "public", "tools_common"},
}
GENERATED = {"zk_version.h"}  # written by the build (cmake/version.cmake); no floor's
INCLUDE = re.compile(r'\s*#\s*include\s+"([^"]+)"')

# ---- No naked delete -----------------------------------------------------------
LIBRARY = ["support", "pipes", "log", "virt"]
DELETE = re.compile(r"\bdelete\b")
STRING = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'')
# file -> why it may delete
DELETE_ALLOWED = {
    "support/Holders.h": "the holders themselves",
}
# file -> why it may end an object with `delete this`
DELETE_THIS_ALLOWED = {
}
# TEMPORARY: the naked deletes still in the tree, file -> count; removed as
# the owners land (the transfer queue, the retired channels, the file
# buffers, the API's state). A file may have fewer, never more.
DELETE_PENDING = {
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
        if not os.path.isdir(os.path.join(ROOT, folder)):
            continue
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


def part_of(path):
    for prefix, part in PARTS:
        if path.startswith(prefix):
            return part
    return None


def floor_breaks(path, number, text):
    """The include on this line, when it reaches a file the including file's floor may not use."""
    m = INCLUDE.match(text)
    if not m or m.group(1) in GENERATED:
        return None
    name = m.group(1)
    if ".." in name.split("/"):
        return f"{path}:{number}: include by a relative path out of the folder: {name}"
    # A name found next to the including file is that file (the compiler looks there first).
    beside = os.path.normpath(os.path.join(os.path.dirname(path), name))
    target = beside if os.path.exists(os.path.join(ROOT, beside)) else name
    own, used = part_of(path), part_of(target)
    if own is None:
        return f"{path}:{number}: file in no floor (add its folder to PARTS): {name}"
    if used is None:
        return f"{path}:{number}: includes a file in no floor: {name}"
    if used != own and used not in MAY_USE[own]:
        return f"{path}:{number}: {own} may not include {used} ({name}): see docs/architecture.md"
    return None


def naked_deletes(path, lines):
    """Broken rules for the delete expressions of one library file."""
    found, broken = 0, []
    for number, text in lines:
        text = STRING.sub('""', text)
        for m in DELETE.finditer(text):
            if re.match(r"\s*this\b", text[m.end():]) and path in DELETE_THIS_ALLOWED:
                continue
            if re.search(r"(=|\boperator)\s*$", text[:m.start()]):
                continue  # a deleted function, or the operator's own name
            found += 1
            if path not in DELETE_ALLOWED and found > DELETE_PENDING.get(path, 0):
                broken.append(f"{path}:{number}: naked delete outside an owner: {text.strip()}")
    if found < DELETE_PENDING.get(path, 0):
        print(f"note: {path} has {found} of its {DELETE_PENDING[path]} pending deletes left: shrink DELETE_PENDING")
    return broken


FUNCTION_START = re.compile(r"\)\s*(const)?\s*(noexcept)?\s*(override)?\s*(:.*)?\{")
NOT_A_FUNCTION = re.compile(r"\s*(namespace|class|struct|enum|extern|union)\b")
MAX_FUNCTION_LINES = 60


def long_functions(path, lines):
    """Functions of more than MAX_FUNCTION_LINES lines (from the line that
    opens the body to the one that closes it, comments and blank lines left out)."""
    broken, depth, start = [], 0, None
    for number, text in lines:
        text = STRING.sub('""', text)
        for ch in text:
            if ch == "{":
                depth += 1
                if start is None and FUNCTION_START.search(text) and not NOT_A_FUNCTION.match(text):
                    start, opened_at, count = number, depth, 0
            elif ch == "}":
                if start is not None and depth == opened_at:
                    if count + 1 > MAX_FUNCTION_LINES:
                        broken.append(f"{path}:{start}: function of {count + 1} lines, more than {MAX_FUNCTION_LINES}")
                    start = None
                depth -= 1
        if start is not None:
            count += 1
    return broken


def rule_breaks():
    """Every broken rule of the shipped files, except the test budget."""
    broken = []
    for path in sources(SHIPPED):
        lines = code_lines(os.path.join(ROOT, path))
        if path.split("/")[0] in LIBRARY:
            broken += naked_deletes(path, lines)
        broken += long_functions(path, lines)
        for number, text in lines:
            floor = floor_breaks(path, number, text)
            if floor:
                broken.append(floor)
            if RELEASE.search(text) and path not in RELEASE_ALLOWED:
                broken.append(f"{path}:{number}: release call outside a holder: {text.strip()}")
            if RAW_MEMORY.search(text) and path not in MEMORY_ALLOWED:
                broken.append(f"{path}:{number}: raw heap call outside an owning class: {text.strip()}")
    for circle in include_circles():
        broken.append("include circle among pipes/: " + " -> ".join(circle))
    return broken


def self_test():
    """The rules catch what they are for: a tree with an upward include, a
    naked delete and a deleted function gives exactly the first two."""
    global ROOT
    files = {
        "support/A.h": "#pragma once\nstruct A { A(const A&) = delete; };\n",
        "pipes/B.cpp": '#include "support/A.h"\n#include "log/C.h"\nvoid F(A* a) { delete a; }\n'
                       + "void G() {\n" + "    F(nullptr);\n" * 60 + "}\n",
        "log/C.h": '#pragma once\n#include "support/A.h"\n',
        "pipes/B.h": "#pragma once\n",
    }
    expected = ["pipes/B.cpp:3: naked delete", "pipes/B.cpp:2: pipes may not include log",
                "pipes/B.cpp:4: function of 62 lines"]
    with tempfile.TemporaryDirectory() as tree:
        for name, text in files.items():
            os.makedirs(os.path.join(tree, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(tree, name), "w", encoding="utf-8") as f:
                f.write(text)
        ROOT = tree
        broken = rule_breaks()
    missed = [e for e in expected if not any(line.startswith(e) for line in broken)]
    extra = [line for line in broken if not any(line.startswith(e) for e in expected)]
    for line in missed:
        print("self-test: not caught: " + line)
    for line in extra:
        print("self-test: caught wrongly: " + line)
    print("source rules self-test: " + ("failed" if missed or extra else "passed"))
    return 1 if missed or extra else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    broken = rule_breaks()

    # Tests against the code they test (library, tools, benchmarks, fuzzers,
    # examples): about a third as many counted lines, at most 37 %.
    tests = sum(len(code_lines(os.path.join(ROOT, p))) for p in sources(["tests"]))
    code = sum(len(code_lines(os.path.join(ROOT, p)))
               for p in sources(["support", "pipes", "log", "virt", "tools", "bench", "fuzz", "examples"]))
    print(f"test code: {tests} counted lines against {code} of code ({100.0 * tests / code:.0f} %)")
    if tests * 100 > code * 37:
        broken.append(f"tests are more than 37 % of the code ({tests} against {code} lines)")

    for line in broken:
        print(line)
    print("source rules: " + ("broken" if broken else "kept"))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())

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
- a log line of the library that names a function ("Class::Function" in a
  string literal) names one the library defines, except the fixed log texts,
  which keep their names;
- no dead function: a function defined in a library file (support, pipes,
  log, virt/api; the public headers aside) is referenced somewhere in the product (library, tools, the
  DLL's export list) besides its own definition and declarations; the few
  that only Windows or the tests call are allowed by name below;
- tests stay about a third of the code they test, at most 36 % (non-blank,
  non-comment lines): folding scenarios that share their setup brought them
  from 37.7 % to 34 %; a new test folds an older one rather than pile on.

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


# ---- Functions: the names log lines give, and dead functions ----------------
# The fixed log texts name the functions they were written for; they keep
# their bytes whatever the code is called now.
FIXED_LOG_NAMES = {
    "CSndApiPipeClient::CSndApiPipeClient", "CSndApiPipeClient::OnInitConnection",
    "CSndApiPipeClient::OnNotification", "CSndApiPipeClient::ApiSetDefaultDevice",
    "CSndApiPipeClient::ApiGetDeviceList", "CSndApiPipeClient::GetSettings", "CSndApiPipeClient::SetSettings",
}
# "Class::Function: (%u): ", as every log line of the library begins after "sndapi: "
LOG_NAME = re.compile(r"\b[A-Za-z_]\w*::~?[A-Za-z_]\w*(?=: \()")
# function name -> why it counts as used though nothing in the product names it
USED_ANYWAY = {
    "DllMain": "the loader calls it",
    # test seams: the tests put a failing or counting call in place, or watch
    "SetReallocFn": "tests fail the byte blocks' allocations",
    "SetAlignmentWidth": "tests start from a known message column",
    "SetFileWrite": "tests fail or stall the log file's writes",
    "SetFileOpen": "tests fail the log file's opens",
    "GetUnwrittenRuns": "tests wait for the log writer's queue to empty",
    "GetQueuedBytes": "tests check that no byte stays counted as queued",
    "SetThreshold": "tests set the logger's level without the registry",
    "GetThreshold": "tests watch a settings change arrive",
    "GetMaxFileSize": "tests watch a settings change arrive",
    "GetSecurityDescriptorString": "tests make file buffers as the logger does",
    "GetSecurityAttributes": "tests read the descriptor the log files get",
    "GetFailureCount": "tests check that a connection starts the attempts' count anew",
}
# (file, function) -> why a dead function is only warned about for now
DEAD_PENDING = {}
IDENT = re.compile(r"~?[A-Za-z_]\w*")
DECLARED = re.compile(r"((?:[A-Za-z_]\w*\s*::\s*)*~?[A-Za-z_]\w*)\s*$")
SCOPE = re.compile(r"\s*(?:template\s*<[^{]*>\s*)?(namespace|extern|class|struct|union|enum)\b\s*(?:\[\[[^\]]*\]\]\s*)?(\w*)")
PRODUCT = ["support", "pipes", "log", "virt", "tools"]
DEAD_CHECKED = ["support", "pipes", "log", "virt/api"]


def declared_name(header):
    """The name a declaration or definition introduces: the (qualified)
    identifier before its first parenthesis, or None."""
    depth, cut = 0, None
    for i, ch in enumerate(header):
        if ch == "<":
            depth += 1
        elif ch == ">" and depth:
            depth -= 1
        elif ch == "(" and depth == 0:
            cut = i
            break
    if cut is None:
        return None
    m = DECLARED.search(header[:cut])
    return re.sub(r"\s+", "", m.group(1)) if m else None


def scan_functions(path):
    """The functions a file defines, each (qualified name, line), and its
    references: every identifier (with its line) that is not the name a
    declaration or definition introduces."""
    text = []
    for number, line in code_lines(os.path.join(ROOT, path)):
        if not line.lstrip().startswith("#"):
            text.append((number, STRING.sub('""', line)))
    defined, refs = [], []
    stack = []  # ("scope", class name or "") or ("body", "")
    header, header_line = "", 0

    def close_header(opening):
        nonlocal header
        in_body = stack and stack[-1][0] == "body"
        name = None if in_body else declared_name(header)
        named_at = header.rfind(name.split("::")[-1], 0, header.find("(")) if name else -1
        for m in IDENT.finditer(header):
            if m.start() != named_at:
                refs.append((m.group(0).lstrip("~"), header_line))
        if opening:
            scope = SCOPE.match(header)
            if in_body:
                stack.append(("body", ""))
            elif scope and "(" not in header.split("=")[0]:
                stack.append(("scope", scope.group(2) if scope.group(1) in ("class", "struct", "union") else ""))
            elif name and "=" not in header[:header.find("(")]:
                owner = [c for kind, c in stack if kind == "scope" and c]
                qualified = name if "::" in name or not owner else owner[-1] + "::" + name
                defined.append((qualified, header_line))
                stack.append(("body", ""))
            else:
                stack.append(("body", ""))  # an initialiser or anything else: what it names is used
        header = ""

    for number, line in text:
        for ch in line:
            if not header.strip():
                header_line = number
            if ch in "{;}":
                if ch == "}" and header.strip():
                    close_header(False)
                close_header(ch == "{")
                if ch == "}" and stack:
                    stack.pop()
            else:
                header += ch
        header += " "
    close_header(False)
    return defined, refs


def function_breaks():
    """Log lines that name a function the library does not define, and dead
    functions (the pending ones as warnings)."""
    library = [p for p in sources(LIBRARY)]
    defined = {}  # qualified name and "<file stem>::name" -> where
    scans = {}
    for path in sources(PRODUCT):
        scans[path] = scan_functions(path)
    for path in library:
        stem = os.path.splitext(os.path.basename(path))[0]
        for name, number in scans[path][0]:
            defined.setdefault(name, (path, number))
            defined.setdefault(stem + "::" + name.split("::")[-1], (path, number))
    broken, warnings = [], []
    for path in library:
        for number, line in code_lines(os.path.join(ROOT, path)):
            for literal in STRING.findall(line):
                for m in LOG_NAME.finditer(literal):
                    named = m.group(0)
                    if named not in defined and named not in FIXED_LOG_NAMES:
                        broken.append(f"{path}:{number}: a log line names {named}, which the library does not define")
    used = {}
    for path, (_, refs) in scans.items():
        for name, _ in refs:
            used[name] = used.get(name, 0) + 1
    export_list = os.path.join(ROOT, "virt/api/zksndapi.def")
    if os.path.exists(export_list):
        with open(export_list, encoding="utf-8") as f:
            for name in re.findall(r"^\s+(\w+)", f.read(), re.M):
                used[name] = used.get(name, 0) + 1
    pending = set()
    for path in sources(DEAD_CHECKED):
        if part_of(path) == "public":
            continue  # what applications call
        for name, number in scans[path][0]:
            parts = name.split("::")
            bare = parts[-1]
            if bare.startswith("~") or bare == "operator" or (len(parts) > 1 and parts[-2] == bare):
                continue  # constructors, destructors, operators
            if used.get(bare, 0) or bare in USED_ANYWAY:
                continue
            finding = f"{path}:{number}: {name} is defined but nothing in the product refers to it"
            if (path, bare) in DEAD_PENDING:
                pending.add((path, bare))
                warnings.append(f"warning: {finding} ({DEAD_PENDING[(path, bare)]})")
            else:
                broken.append(finding)
    for path, bare in sorted(set(DEAD_PENDING) - pending):
        warnings.append(f"note: {path}: {bare} is no longer dead or gone: drop it from DEAD_PENDING")
    return broken, warnings


def rule_breaks(warnings=None):
    """Every broken rule of the shipped files, except the test budget; what
    is only warned about goes into warnings."""
    broken, warned = function_breaks()
    if warnings is not None:
        warnings += warned
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
    naked delete, a deleted function, a long function, a log line naming a
    function that is not there and a function nothing calls gives exactly
    the broken rules among them."""
    global ROOT
    files = {
        "support/A.h": "#pragma once\nstruct A { A(const A&) = delete; };\n",
        "pipes/B.cpp": '#include "support/A.h"\n#include "log/C.h"\nvoid F(A* a) { delete a; }\n'
                       + "void G() {\n" + "    F(nullptr);\n" * 60 + "}\n",
        "log/C.h": '#pragma once\n#include "support/A.h"\n',
        "pipes/B.h": "#pragma once\n",
        "log/D.h": "#pragma once\nclass CD {\npublic:\n    void Run();\n    void Dead();\n};\n",
        "log/D.cpp": '#include "log/D.h"\n'
                     'void CD::Run() {\n'
                     '    Log(L"sndapi: CD::Run: (%u): named rightly", __LINE__);\n'
                     '    Log(L"sndapi: CD::Gone: (%u): named wrongly", __LINE__);\n'
                     '    Log(L"sndapi: CSndApiPipeClient::GetSettings: (%u): a fixed text", __LINE__);\n'
                     '}\n'
                     'void CD::Dead() {}\n',
        "tools/common/E.cpp": "void Main(CD* d) {\n    d->Run();\n    G();\n}\n",
    }
    expected = ["pipes/B.cpp:3: naked delete", "pipes/B.cpp:2: pipes may not include log",
                "pipes/B.cpp:4: function of 62 lines", "log/D.cpp:4: a log line names CD::Gone,",
                "log/D.cpp:7: CD::Dead is defined but nothing"]
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
    warnings = []
    broken = rule_breaks(warnings)
    for line in warnings:
        print(line)

    # Tests against the code they test (library, tools, benchmarks, fuzzers,
    # examples): about a third as many counted lines, at most 36 %.
    tests = sum(len(code_lines(os.path.join(ROOT, p))) for p in sources(["tests"]))
    code = sum(len(code_lines(os.path.join(ROOT, p)))
               for p in sources(["support", "pipes", "log", "virt", "tools", "bench", "fuzz", "examples"]))
    print(f"test code: {tests} counted lines against {code} of code ({100.0 * tests / code:.0f} %)")
    if tests * 100 > code * 36:
        broken.append(f"tests are more than 36 % of the code ({tests} against {code} lines)")

    for line in broken:
        print(line)
    print("source rules: " + ("broken" if broken else "kept"))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())

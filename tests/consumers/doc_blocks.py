#!/usr/bin/env python3
"""Builds and runs the fenced blocks of the given Markdown files as a reader who copies them does:
the commands exactly as printed, in a folder of their own per file, with ZK set to the unpacked
release archive (as the documents ask the reader to set it) and nothing else added.

Blocks by their tag:
  c, cpp, cmake, make, sh  a block whose first comment line (after a #! line) names a file
           (`/* myapp.c */`, `// myapp.cpp`, `# CMakeLists.txt`, `# Makefile`,
           `# app-under-emulator.sh`) is written to that file first; c and cpp blocks without a
           name are fragments, compiled (MinGW GCC; C also for the MSVC ABI) as they stand or, with
           no #include line, as a function's body. A program (`main`) must have a name.
  sh       a block without a name is a recipe: run with `sh -eu` in the file's folder, after every
           named block is written; it must end with 0 and print no compiler warning.
  text, console, bat   shown, not run (`bat`: a Windows prompt; no MSVC here).
A block without a tag is an error: say what it is.
Then every program the recipes built runs under Wine against a fresh tessaline-emu and must end with
0 and list the emulator's devices.

Usage: doc_blocks.py TREE OUT WINE MARKDOWN...   (WINEPREFIX from the environment)
Exit status 1 on any failure."""
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from emulator import start_emulator  # noqa: E402  (tests/support)

SHOWN = {"text", "console", "bat"}
FRAGMENT_FLAGS = ["-Wall", "-Wextra", "-Wshadow", "-Werror"]
NAME = re.compile(r"^\s*(?:/\*|//|#)\s*([\w.+-]+\.(?:c|cpp|sh)|CMakeLists\.txt|Makefile)\b")


def blocks(path):
    """(line, tag, text) of every fenced block."""
    found, tag, start, body = [], None, 0, []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fence = re.match(r"^```(\S*)\s*$", line)
            if tag is None and fence:
                tag, start, body = fence.group(1), number, []
            elif tag is not None and line.startswith("```"):
                found.append((start, tag, "".join(body)))
                tag = None
            elif tag is not None:
                body.append(line)
    return found


def file_name(text):
    lines = text.splitlines()
    if lines and lines[0].startswith("#!"):
        lines = lines[1:]
    match = NAME.match(lines[0]) if lines else None
    return match.group(1) if match else None


def run(cmd, log, timeout=600, cwd=None, env=None):
    with open(log, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        try:
            return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout, cwd=cwd,
                                  env=env, stdin=subprocess.DEVNULL).returncode
        except subprocess.TimeoutExpired:
            out.write(f"timed out after {timeout} s\n")
            return 124


class Checker:
    def __init__(self, tree, out, wine):
        self.tree, self.out, self.wine = tree, out, wine
        self.env = dict(os.environ, ZK=tree)
        self.failed = []

    def check(self, label, ok, log=None):
        print(("ok    " if ok else "FAIL  ") + label)
        if not ok:
            self.failed.append(label)
            if log and os.path.exists(log):
                with open(log, encoding="utf-8", errors="replace") as f:
                    print(f.read()[-6000:])

    def fragment(self, folder, name, tag, text):
        """A block that is not a whole program: compiled only."""
        cpp = tag == "cpp"
        includes = re.findall(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', text, re.M)
        if not includes:
            head = '#include "zksndapi.hpp"\n' if cpp else '#include "zksndapi.h"\n#include "zksndapi_status.h"\n'
            text = head + "void DocFragment(void);\nvoid DocFragment(void) {\n" + text + "}\n"
        src = os.path.join(folder, name + (".cpp" if cpp else ".c"))
        with open(src, "w") as f:
            f.write(text)
        log = src + ".log"
        inc = ["-I" + os.path.join(self.tree, "include")]
        compiler = ["x86_64-w64-mingw32-g++-posix", "-std=c++17"] if cpp else ["x86_64-w64-mingw32-gcc-posix", "-std=c11"]
        self.check(f"{name}: compiled", run(compiler + FRAGMENT_FLAGS + inc + ["-c", src, "-o", src + ".o"], log) == 0, log)
        if not cpp and all(i.startswith("zksndapi") for i in includes):
            msvc = ["clang-14", "--target=x86_64-pc-windows-msvc", "-ffreestanding", "-std=c11"]
            self.check(f"{name}: compiled for the MSVC ABI",
                       run(msvc + FRAGMENT_FLAGS + inc + ["-c", src, "-o", src + ".obj"], log) == 0, log)

    def recipe(self, folder, where, text):
        script = os.path.join(folder, f"recipe-{where.split(':')[1]}.sh")
        with open(script, "w") as f:
            f.write(text)
        log = script + ".log"
        ok = run(["sh", "-eu", script], log, cwd=folder, env=self.env) == 0
        with open(log, encoding="utf-8", errors="replace") as f:
            warned = re.search(r"\bwarning:", f.read())
        self.check(f"{where}: the recipe ran as printed" + (" (with a compiler warning)" if warned else ""),
                   ok and not warned, log)

    def programs(self, folder):
        """The programs the recipes built (not CMake's probes of the compiler)."""
        for top, dirs, files in os.walk(folder):
            dirs[:] = [d for d in dirs if d != "CMakeFiles"]
            for f in sorted(files):
                if f.endswith(".exe"):
                    yield os.path.join(top, f)

    def run_program(self, exe):
        """One program against a fresh emulator: it must end with 0 and print the devices."""
        emu = os.path.join(self.tree, "bin", "tessaline-emu.exe")
        control = f"zkdocs-{os.getpid()}"
        log = exe + ".txt"
        server, serving = start_emulator([self.wine, emu, "--control", control, "--exit-after", "120"], exe + ".emu.txt")
        try:
            code = run(["timeout", "90", self.wine, exe], log, timeout=100, cwd=os.path.dirname(exe))
        finally:
            subprocess.run([self.wine, emu, "--signal", control, "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                server.kill()
        with open(log, encoding="utf-8", errors="replace") as f:
            listed = "Speakers (Tessaline Remote Audio)" in f.read()
        self.check(f"{os.path.relpath(exe, self.out)}: ran against tessaline-emu (exit {code}, devices listed: {listed}, "
                   f"emulator serving: {serving})", code == 0 and listed, log)

    def document(self, doc):
        base = os.path.splitext(os.path.basename(doc))[0]
        folder = os.path.join(self.out, base)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        recipes = []
        for line, tag, text in blocks(doc):
            where = f"{os.path.basename(doc)}:{line}"
            name = file_name(text) if tag in ("c", "cpp", "cmake", "make", "sh") else None
            if name is not None:
                with open(os.path.join(folder, name), "w") as f:
                    f.write(text)
            elif tag in ("c", "cpp") and re.search(r"\bint\s+main\s*\(", text):
                self.check(f"{where}: a program block names its file on its first line", False)
            elif tag in ("c", "cpp"):
                self.fragment(folder, f"{base}-{line}", tag, text)
            elif tag == "sh":
                recipes.append((where, text))
            elif tag not in SHOWN:
                self.check(f"{where}: a block tagged '{tag}' (c, cpp, cmake, make, sh are built or run; "
                           f"{', '.join(sorted(SHOWN))} are shown)", False)
        for where, text in recipes:
            self.recipe(folder, where, text)
        for exe in self.programs(folder):
            self.run_program(exe)


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    tree, out, wine = sys.argv[1:4]
    os.makedirs(out, exist_ok=True)
    checker = Checker(tree, out, wine)
    started = time.time()
    for doc in sys.argv[4:]:
        checker.document(doc)
    print(f"documents checked in {time.time() - started:.0f} s")
    for label in checker.failed:
        print("failed: " + label)
    return 1 if checker.failed else 0


if __name__ == "__main__":
    sys.exit(main())

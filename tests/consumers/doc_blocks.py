#!/usr/bin/env python3
"""Builds every fenced code block of the given Markdown files against the
unpacked release archive, as a reader who copies it would, and runs the
complete programs under Wine against tessaline-emu.

Blocks by their tag:
  c, cpp   a block with `main` is a program: compiled and linked with MinGW GCC
           and with clang (x86_64-w64-mingw32, lld), then run; any other block
           is compiled: one with #include lines as it stands, one without as the
           body of a function (statements). C blocks that include nothing but
           the library's headers are also compiled for the MSVC ABI (clang,
           freestanding: no C runtime or Windows SDK exists here for that ABI).
  cmake    added to a project that has `myapp`, configured with the archive's
           toolchain file (packages found only under CMAKE_FIND_ROOT_PATH) and built,
           with MinGW GCC and with clang.
  text, sh, console, ini   shown, not built.
A block without a tag is an error: say what it is.

Usage: doc_blocks.py TREE OUT WINE_RUN CLANG MARKDOWN...
Warnings are errors (-Wall -Wextra -Wshadow -Werror). Exit status 1 on any failure."""
import os
import re
import shutil
import subprocess
import sys
import time

SHOWN = {"text", "sh", "console", "ini"}
FLAGS = ["-Wall", "-Wextra", "-Wshadow", "-Werror", "-O1"]
GCC_DIR = "/usr/lib/gcc/x86_64-w64-mingw32"


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


def run(cmd, log, timeout=300):
    with open(log, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        try:
            return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            out.write(f"timed out after {timeout} s\n")
            return 124


class Checker:
    def __init__(self, tree, out, wine_run, clang):
        self.tree, self.out, self.wine_run = tree, out, wine_run
        self.clang = clang
        self.clangxx = clang.replace("clang", "clang++") if "clang++" not in clang else clang
        self.failed = []
        self.programs = []
        posix = sorted(d for d in os.listdir(GCC_DIR) if d.endswith("-posix"))[-1]
        self.gcc_lib = os.path.join(GCC_DIR, posix)
        self.inc = ["-I" + os.path.join(tree, "include")]
        self.implib = os.path.join(tree, "lib", "libzksndapi.dll.a")

    def compilers(self, cpp):
        """(name, compile command) for the MinGW toolchains."""
        if cpp:
            libstd = ["-isystem", self.gcc_lib + "/include/c++",
                      "-isystem", self.gcc_lib + "/include/c++/x86_64-w64-mingw32"]
            return [("gcc", ["x86_64-w64-mingw32-g++-posix", "-std=c++17"]),
                    ("clang", [self.clangxx, "--target=x86_64-w64-mingw32", "-std=c++17"] + libstd)]
        return [("gcc", ["x86_64-w64-mingw32-gcc-posix", "-std=c11"]),
                ("clang", [self.clang, "--target=x86_64-w64-mingw32", "-std=c11"])]

    def check(self, label, ok, log=None):
        print(("ok    " if ok else "FAIL  ") + label)
        if not ok:
            self.failed.append(label)
            if log and os.path.exists(log):
                with open(log, encoding="utf-8", errors="replace") as f:
                    print(f.read()[-4000:])

    def code(self, name, tag, text):
        cpp = tag == "cpp"
        ext = ".cpp" if cpp else ".c"
        program = re.search(r"\bint\s+main\s*\(", text) is not None
        includes = re.findall(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', text, re.M)
        if not program and not includes:
            head = '#include "zksndapi.hpp"\n' if cpp else '#include "zksndapi.h"\n#include "zksndapi_status.h"\n'
            text = head + "void DocFragment(void);\nvoid DocFragment(void) {\n" + text + "}\n"
        src = os.path.join(self.out, name + ext)
        with open(src, "w") as f:
            f.write(text)
        log = os.path.join(self.out, name + ".log")
        for tool, cmd in self.compilers(cpp):
            if program:
                exe = os.path.join(self.out, f"{name}-{tool}.exe")
                link = ["-static", "-fuse-ld=lld", "-L" + self.gcc_lib, "-lwinpthread"] if tool == "clang" else ["-static"]
                ok = run(cmd + FLAGS + self.inc + [src, "-o", exe, self.implib] + link, log) == 0
                if ok:
                    self.programs.append(exe)
                self.check(f"{name}: built with {tool}", ok, log)
            else:
                obj = os.path.join(self.out, f"{name}-{tool}.o")
                self.check(f"{name}: compiled with {tool}",
                           run(cmd + FLAGS + self.inc + ["-c", src, "-o", obj], log) == 0, log)
        if not cpp and all(i.startswith("zksndapi") for i in includes):
            obj = os.path.join(self.out, name + "-msvc.obj")
            cmd = [self.clang, "--target=x86_64-pc-windows-msvc", "-ffreestanding", "-std=c11"]
            self.check(f"{name}: compiled for the MSVC ABI",
                       run(cmd + FLAGS + self.inc + ["-c", src, "-o", obj], log) == 0, log)

    def cmake(self, name, text):
        project = os.path.join(self.out, name)
        os.makedirs(project, exist_ok=True)
        with open(os.path.join(project, "main.c"), "w") as f:
            f.write('#include "zksndapi.h"\nint main(void) { return ZkConfigIsLocked() == 1 ? 0 : 1; }\n')
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.20)\nproject(doc C CXX)\nadd_executable(myapp main.c)\n" + text)
        log = os.path.join(self.out, name + ".log")
        triple = "x86_64-w64-mingw32"
        clang = ["-DCMAKE_C_COMPILER=" + self.clang, "-DCMAKE_C_COMPILER_TARGET=" + triple,
                 "-DCMAKE_CXX_COMPILER=" + self.clangxx, "-DCMAKE_CXX_COMPILER_TARGET=" + triple,
                 "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -L" + self.gcc_lib]
        for tool, extra in (("gcc", []), ("clang", clang)):
            build = os.path.join(project, "build-" + tool)
            ok = run(["cmake", "-S", project, "-B", build, "-G", "Ninja",
                      "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(self.tree, "cmake", "mingw-w64-x86_64.cmake"),
                      "-DCMAKE_FIND_ROOT_PATH=" + self.tree] + extra, log) == 0
            ok = ok and run(["cmake", "--build", build], log) == 0
            ok = ok and os.path.exists(os.path.join(build, "zksndapi.dll"))
            self.check(f"{name}: configured and built with the archive's toolchain file and {tool}", ok, log)

    def run_programs(self):
        """Each program against a fresh emulator: it must end with 0 and print the devices."""
        emu = os.path.join(self.tree, "bin", "tessaline-emu.exe")
        for exe in self.programs:
            control = f"zkdocs-{os.getpid()}"
            log = exe + ".txt"
            server = subprocess.Popen([self.wine_run, emu, "--control", control, "--exit-after", "120", "--quiet"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                code = run(["timeout", "90", self.wine_run, exe], log, timeout=100)
            finally:
                subprocess.run([self.wine_run, emu, "--signal", control, "stop"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    server.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    server.kill()
            with open(log, encoding="utf-8", errors="replace") as f:
                output = f.read()
            listed = "Speakers (Tessaline Remote Audio)" in output
            self.check(f"{os.path.basename(exe)}: ran against tessaline-emu (exit {code}, devices listed: {listed})",
                       code == 0 and listed)
            if code != 0 or not listed:
                print(output)


def main():
    if len(sys.argv) < 6:
        print(__doc__)
        return 2
    tree, out, wine_run, clang = sys.argv[1:5]
    os.makedirs(out, exist_ok=True)
    shutil.copy(os.path.join(tree, "bin", "zksndapi.dll"), out)  # the programs find it next to them
    checker = Checker(tree, out, wine_run, clang)
    for doc in sys.argv[5:]:
        base = os.path.splitext(os.path.basename(doc))[0]
        for line, tag, text in blocks(doc):
            name = f"{base}-{line}"
            where = f"{os.path.basename(doc)}:{line}"
            if tag in ("c", "cpp"):
                checker.code(name, tag, text)
            elif tag == "cmake":
                checker.cmake(name, text)
            elif tag not in SHOWN:
                checker.check(f"{where}: a block tagged '{tag}' (c, cpp, cmake are built; "
                              f"{', '.join(sorted(SHOWN))} are shown)", False)
    started = time.time()
    checker.run_programs()
    print(f"{len(checker.programs)} programs run in {time.time() - started:.0f} s")
    for label in checker.failed:
        print("failed: " + label)
    return 1 if checker.failed else 0


if __name__ == "__main__":
    sys.exit(main())

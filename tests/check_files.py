# SPDX-License-Identifier: Apache-2.0
"""What every file of the tree owes the packages, checked without building:
each tracked source file opens with the licence's SPDX line in its own
comment syntax; scripts/spdx.py adds it in a form each language still reads
and changes nothing the second time; the library's version is the same in
CMakeLists.txt, debian/changelog and the Python package; the Debian symbols
file names what the version script exports."""
import ast
import os
import py_compile
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SPDX = "SPDX-License-Identifier: Apache-2.0"

# Which files are sources, and how the line must read in each: (how the path
# ends, or a shebang for scripts of any name, the line exactly).
SOURCE_KINDS = [
    ((".c", ".cpp", ".h", ".hpp"), "// " + SPDX),
    ((".py", ".sh", ".cmake", ".toml", ".pc.in", "CMakeLists.txt", "Makefile",
      "debian/rules"), "# " + SPDX),
    ((".map",), "/* %s */" % SPDX),
    (("#!",), "# " + SPDX),
]


def expected_line(path, text):
    for endings, line in SOURCE_KINDS:
        if any(e != "#!" and path.endswith(e) for e in endings):
            return line
        if "#!" in endings and text.startswith("#!"):
            return line
    return None


def git_files():
    out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], capture_output=True)
    if out.returncode != 0:
        return None
    return [p for p in out.stdout.decode().split("\0") if p]


def check_spdx_lines(faults):
    files = git_files()
    if files is None:
        print("not a git checkout: the SPDX lines are not checked")
        return
    checked = 0
    for rel in files:
        path = os.path.join(ROOT, rel)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except UnicodeDecodeError:
            continue
        line = expected_line(rel, text)
        if line is None:
            continue
        checked += 1
        head = text.splitlines()[:3]
        if line not in head:
            faults.append("%s: no '%s' in its first lines (scripts/spdx.py adds it)" % (rel, line))
    if checked < 250:
        faults.append("only %d source files found to check" % checked)


# Samples the script must mark so that their language still reads them:
# (name, content, command that must accept the marked file or None).
SAMPLES = [
    ("tool.py", "#!/usr/bin/python3\n# -*- coding: utf-8 -*-\n\"\"\"Doc.\"\"\"\nX = 1\n", "python"),
    ("mod.py", "\"\"\"Module doc.\"\"\"\nX = 1\n", "python"),
    ("empty.py", "", "python"),
    ("a.c", "int f(void) { return 1; }\n", "cc"),
    ("b.h", "#ifndef B_H\n#define B_H\nint g(void);\n#endif\n", "cc"),
    ("s.map", "{\n  global: f;\n  local: *;\n};\n", "ld"),
    ("run", "#!/bin/sh\necho hi\n", "sh"),
    ("no-newline.sh", "#!/bin/sh", "sh"),
    ("crlf.sh", "#!/bin/sh\r\necho hi\r\n", None),
    ("CMakeLists.txt", "cmake_minimum_required(VERSION 3.18)\n", None),
    ("already.cpp", "// " + SPDX + "\nint h() { return 2; }\n", "cc"),
    ("notes.txt", "# a heading, not a comment\n", None),
    ("data.bin", "plain data\n", None),
]


def check_spdx_script(faults):
    with tempfile.TemporaryDirectory(prefix="fontseal-spdx-") as tmp:
        for name, content, _ in SAMPLES:
            with open(os.path.join(tmp, name), "w", newline="") as f:
                f.write(content)
        os.chmod(os.path.join(tmp, "run"), 0o755)
        subprocess.run(["git", "init", "-q", tmp], check=True)
        subprocess.run(["git", "-C", tmp, "add", "."], check=True)
        script = [sys.executable, os.path.join(ROOT, "scripts", "spdx.py")]
        if subprocess.run(script + ["--check", tmp], capture_output=True).returncode != 1:
            faults.append("spdx.py --check passes files that lack the line")
        subprocess.run(script + [tmp], check=True, capture_output=True)
        first = {}
        for name, content, reader in SAMPLES:
            path = os.path.join(tmp, name)
            with open(path, newline="") as f:
                first[name] = text = f.read()
            line = expected_line(name, content)
            if line is None:
                if text != content:
                    faults.append("spdx.py changed %s, which is no source file" % name)
                continue
            if text.count(SPDX) != 1 or line not in text.splitlines()[:3]:
                faults.append("spdx.py: %s does not open with '%s' once" % (name, line))
            if content.startswith("#!") and not text.startswith(content.splitlines()[0]):
                faults.append("spdx.py moved the shebang of %s" % name)
            if "coding" in content and "coding" not in text.splitlines()[1]:
                faults.append("spdx.py moved the coding line of %s" % name)
            if "\r\n" in content and text.count("\r\n") != content.count("\r\n") + 1:
                faults.append("spdx.py mixed line ends in %s" % name)
            faults.extend("%s marked: %s" % (name, e) for e in read_back(tmp, path, reader))
        if not os.access(os.path.join(tmp, "run"), os.X_OK):
            faults.append("spdx.py lost the execute bit")
        again = subprocess.run(script + [tmp], capture_output=True, text=True)
        for name in first:
            with open(os.path.join(tmp, name), newline="") as f:
                if f.read() != first[name]:
                    faults.append("spdx.py changed %s again on its second run" % name)
        if subprocess.run(script + ["--check", tmp], capture_output=True).returncode != 0 or \
                again.stdout:
            faults.append("spdx.py still finds work after its first run: " + again.stdout)


def read_back(tmp, path, reader):
    """What the file's own language says of the marked file."""
    if reader == "python":
        try:
            py_compile.compile(path, cfile=path + "c", doraise=True)
            if "Module doc" in open(path).read():
                tree = ast.parse(open(path).read())
                if ast.get_docstring(tree) != "Module doc.":
                    return ["the docstring is no longer the module's"]
        except py_compile.PyCompileError as e:
            return [str(e)]
        return []
    if reader == "sh":
        r = subprocess.run(["sh", "-n", path], capture_output=True, text=True)
        return [r.stderr] if r.returncode else []
    if reader == "cc":
        r = subprocess.run(["cc", "-x", "c", "-fsyntax-only", "-Wall", "-Werror", path],
                           capture_output=True, text=True)
        return [r.stderr] if r.returncode else []
    if reader == "ld":
        source = os.path.join(tmp, "f.c")
        with open(source, "w") as f:
            f.write("int f(void) { return 0; }\nint hidden(void) { return 1; }\n")
        lib = os.path.join(tmp, "libf.so")
        r = subprocess.run(["cc", "-shared", "-fPIC", "-o", lib, source,
                            "-Wl,--version-script=" + path], capture_output=True, text=True)
        if r.returncode:
            return [r.stderr]
        symbols = subprocess.run(["nm", "-D", "--defined-only", lib], capture_output=True,
                                 text=True).stdout
        return [] if re.search(r" T f$", symbols, re.M) and "hidden" not in symbols else \
            ["the version script no longer works: " + symbols]
    return []


def check_versions(faults):
    """One version everywhere a release states it; the Python package's
    __version__ is the loaded library's own (fontseal_version())."""
    def found(path, pattern):
        with open(os.path.join(ROOT, path)) as f:
            m = re.search(pattern, f.read(), re.M)
        return m.group(1) if m else None
    versions = {
        "CMakeLists.txt project()": found("CMakeLists.txt", r"project\(fontseal VERSION ([0-9.]+)"),
        "include/fontseal/fontseal.h": found(os.path.join("include", "fontseal", "fontseal.h"),
                                             r'^#define FONTSEAL_VERSION_STRING "([^"]+)"'),
        "debian/changelog": found(os.path.join("debian", "changelog"), r"\Afontseal \(([^)]+)\)"),
        "python/pyproject.toml": found(os.path.join("python", "pyproject.toml"),
                                       r'^version = "([^"]+)"'),
    }
    if len(set(versions.values())) != 1:
        faults.append("the version differs: %r" % versions)


def check_symbols(faults):
    r = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "symbols.py"), "--check"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        faults.append(r.stdout.strip() or r.stderr.strip())


def main():
    results = []
    for check in (check_spdx_lines, check_spdx_script, check_versions, check_symbols):
        faults = []
        check(faults)
        for fault in faults:
            print("%s: %s" % (check.__name__, fault))
        results.append(not faults)
    print("%d passed, %d failed" % (results.count(True), results.count(False)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())

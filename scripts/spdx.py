#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Puts `SPDX-License-Identifier: Apache-2.0` at the top of every source file
git tracks, in the file's own comment syntax; files that have it already are
left alone, so it can run again after every merge.

    scripts/spdx.py [--check] [ROOT]

--check changes nothing and exits 1 naming the files that lack the line.
Source files are C and C++ (sources and headers), Python, shell, CMake,
Makefiles, TOML, pkg-config templates, linker version scripts and any
tracked script that starts with #!. A shebang (and a Python coding line)
stays first; the line goes right below it."""
import argparse
import os
import re
import subprocess
import sys

LICENSE = "Apache-2.0"
TAG = "SPDX-License-Identifier:"
LINE_COMMENT = {".c": "//", ".cc": "//", ".cpp": "//", ".cxx": "//", ".h": "//", ".hh": "//",
                ".hpp": "//", ".py": "#", ".sh": "#", ".cmake": "#", ".toml": "#", ".pc.in": "#",
                ".mk": "#"}
BLOCK_COMMENT = {".map": ("/*", "*/")}
HASH_NAMES = {"CMakeLists.txt", "Makefile", "GNUmakefile", "rules"}
# Lines that must stay above the identifier.
HEAD = re.compile(r"#!|#.*coding[:=]")


def comment_for(path, first_line):
    """(opening, closing) of a one-line comment for this file, or None."""
    name = os.path.basename(path)
    for ext, opener in LINE_COMMENT.items():
        if name.endswith(ext):
            return opener, ""
    for ext, pair in BLOCK_COMMENT.items():
        if name.endswith(ext):
            return pair
    if name in HASH_NAMES or first_line.startswith("#!"):
        return "#", ""
    return None


def tracked_files(root):
    out = subprocess.run(["git", "-C", root, "ls-files", "-z"], capture_output=True, check=True)
    return [p for p in out.stdout.decode().split("\0") if p]


def read_text(path):
    try:
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()
    except (UnicodeDecodeError, IsADirectoryError):
        return None


def tag_line(comment):
    opener, closer = comment
    return "%s %s %s%s" % (opener, TAG, LICENSE, " " + closer if closer else "")


def has_tag(text, comment):
    # The line itself, not a mention of it (this script's own docstring).
    return tag_line(comment) in text.splitlines()[:3]


def with_tag(text, comment):
    tag = tag_line(comment)
    newline = "\r\n" if "\r\n" in text[:200] else "\n"
    lines = text.splitlines(keepends=True)
    at = 0
    while at < len(lines) and at < 2 and HEAD.match(lines[at]):
        at += 1
    if at and not lines[at - 1].endswith(("\n", "\r")):
        lines[at - 1] += newline
    lines.insert(at, tag + newline)
    return "".join(lines)


def sources(root):
    """(relative path, text, comment) of each tracked source file."""
    for rel in tracked_files(root):
        path = os.path.join(root, rel)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        text = read_text(path)
        if text is None:
            continue
        comment = comment_for(rel, text.split("\n", 1)[0])
        if comment:
            yield rel, text, comment


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true", help="change nothing, list what lacks it")
    parser.add_argument("root", nargs="?",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    missing = []
    for rel, text, comment in sources(root):
        if has_tag(text, comment):
            continue
        missing.append(rel)
        if not args.check:
            path = os.path.join(root, rel)
            mode = os.stat(path).st_mode
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(with_tag(text, comment))
            os.chmod(path, mode)
    for rel in missing:
        print(("lacks the %s line: " % TAG if args.check else "added the %s line: " % TAG) + rel)
    return 1 if args.check and missing else 0


if __name__ == "__main__":
    sys.exit(main())

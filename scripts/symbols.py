#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Writes debian/libfontseal1.symbols: the functions the public headers
declare that the version script (src/api/exports.map) makes global, each
with the version that first exported it.

    scripts/symbols.py            rewrite the file
    scripts/symbols.py --check    exit 1, saying what differs, if it is stale

A symbol already in the file keeps its version; a new one gets the version
of project() in CMakeLists.txt; one that is gone is dropped, and since that
breaks hosts, the SONAME must change with it (dpkg-gensymbols fails the
package build on any difference from the library itself)."""
import argparse
import fnmatch
import glob
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SYMBOLS = os.path.join(ROOT, "debian", "libfontseal1.symbols")


def project_version(root=ROOT):
    with open(os.path.join(root, "CMakeLists.txt")) as f:
        m = re.search(r"project\(\s*fontseal\s+VERSION\s+([0-9.]+)", f.read())
    if not m:
        raise SystemExit("CMakeLists.txt: no project(fontseal VERSION ...)")
    return m.group(1)


def global_patterns(root=ROOT):
    """The glob patterns of the version script's global: section."""
    with open(os.path.join(root, "src", "api", "exports.map")) as f:
        text = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
    m = re.search(r"global:(.*?)(?:local:|\})", text, re.S)
    if not m:
        raise SystemExit("src/api/exports.map: no global: section")
    return [p.strip() for p in m.group(1).split(";") if p.strip()]


def declared_functions(root=ROOT):
    names = set()
    for header in glob.glob(os.path.join(root, "include", "fontseal", "*.h")):
        with open(header) as f:
            names |= set(re.findall(r"(?m)^FONTSEAL_API\b[\w\s\*]*?\b(\w+)\s*\(", f.read()))
    return names


def exported(root=ROOT):
    patterns = global_patterns(root)
    return sorted(n for n in declared_functions(root)
                  if any(fnmatch.fnmatchcase(n, p) for p in patterns))


def known_versions(path=SYMBOLS):
    if not os.path.exists(path):
        return {}
    with open(path) as f:
        return dict(re.findall(r"(?m)^ (\w+)@Base (\S+)$", f.read()))


def render(root=ROOT, path=SYMBOLS):
    version, known = project_version(root), known_versions(path)
    major = version.split(".")[0]
    lines = ["libfontseal.so.%s libfontseal%s #MINVER#" % (major, major),
             "* Build-Depends-Package: libfontseal-dev"]
    lines += [" %s@Base %s" % (name, known.get(name, version)) for name in exported(root)]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true", help="only say whether it is stale")
    args = parser.parse_args()
    wanted = render()
    current = open(SYMBOLS).read() if os.path.exists(SYMBOLS) else ""
    if args.check:
        if current != wanted:
            print("debian/libfontseal1.symbols is stale; scripts/symbols.py rewrites it")
            return 1
        return 0
    if current != wanted:
        with open(SYMBOLS, "w") as f:
            f.write(wanted)
        print("wrote debian/libfontseal1.symbols")
    return 0


if __name__ == "__main__":
    sys.exit(main())

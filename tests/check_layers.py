# SPDX-License-Identifier: Apache-2.0
"""The one-way arrows of docs/ARCHITECTURE.md, checked on every include of
src/ and tools/: a room includes only itself and the rooms it may use; nothing
below src/api includes src/api; only the rooms that implement the store-entry
interfaces see the public headers; the CLI sees the public headers and its own
files only; the runtime's own numbers stay inside src/platform; python/ holds
no C.

An include is judged by the file it reaches, not by how it is spelled:
relative paths are resolved, `<fontseal/...>` and `"fontseal/..."` are the
same public header, and indented or spaced `# include` lines count."""
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MAY_USE = {
    "base": set(),
    "platform": {"base"},
    "font": {"base", "platform"},
    "der": {"base"},
    "codec": {"base"},
    "key": {"base", "platform", "der"},
    "x509": {"base", "der"},
    "pkcs7": {"base", "der", "x509", "key"},
    "sign": {"base", "der", "x509", "pkcs7", "key"},
    "timestamp": {"base", "platform", "der", "x509", "pkcs7", "codec"},
    "store": {"base", "platform", "der", "x509", "pkcs7", "codec", "key"},
    "verify": {"base", "platform", "font", "der", "x509", "pkcs7", "codec", "key", "sign",
               "timestamp"},
}
PUBLIC_HEADER_ROOMS = {"api", "store"}
# The runtime's file flags and permission bits, and a seek whose origin is a
# bare number: above src/platform they are spelled OpenMode / SeekOrigin.
RUNTIME_NUMBERS = re.compile(
    r"\b0x8000\b|\b0x8302\b|\b0x180\b|\b(?:_?l|f)?seek(?:64|o)?\s*\([^()]*,\s*[012]\s*\)")
# Only the platform layer may see the runtime's constants.
RUNTIME_HEADER = os.path.join("src", "platform", "rt_crt.h")
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^>"]+)[>"]', re.M)
C_SOURCES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp")


def resolve(root, path, spelled, quoted):
    """The tree-relative file an include reaches, or None for a system header.
    A quoted name is looked up beside the including file first, as the
    compiler does; then both forms search src/, include/ and tools/."""
    here = os.path.dirname(path)
    if quoted:
        beside = os.path.normpath(os.path.join(here, spelled))
        if spelled.startswith(".") or os.path.exists(os.path.join(root, beside)):
            return beside
    first = spelled.split("/")[0]
    if first == "fontseal":
        return os.path.join("include", spelled)
    if os.path.isdir(os.path.join(root, "src", first)):
        return os.path.join("src", spelled)
    if os.path.exists(os.path.join(root, "tools", spelled)):
        return os.path.join("tools", spelled)
    return None


def place(target):
    """('src', room) / ('public', None) / ('tools', None) / ('elsewhere', None)."""
    parts = target.split(os.sep)
    if parts[0] == "src" and len(parts) > 2:
        return "src", parts[1]
    if parts[:2] == ["include", "fontseal"]:
        return "public", None
    if parts[0] == "tools":
        return "tools", None
    return "elsewhere", None


def source_files(root, folder):
    for dirpath, _, files in os.walk(os.path.join(root, folder)):
        for name in sorted(files):
            full = os.path.join(dirpath, name)
            yield os.path.relpath(full, root), full


def check_src(root, faults):
    for rel, full in source_files(root, "src"):
        room = rel.split(os.sep)[1]
        with open(full, errors="replace") as f:
            text = f.read()
        for quote, spelled in INCLUDE.findall(text):
            target = resolve(root, rel, spelled, quote == '"')
            if target is None:
                continue
            kind, used = place(target)
            if target == RUNTIME_HEADER and room != "platform":
                faults.append("%s: the runtime's constants outside src/platform" % rel)
            elif kind == "public":
                if room not in PUBLIC_HEADER_ROOMS:
                    faults.append("%s: a public header below src/api" % rel)
            elif kind in ("tools", "elsewhere"):
                faults.append("%s: includes %s, outside src/" % (rel, target))
            elif used == room or room == "api":
                continue
            elif room not in MAY_USE:
                faults.append("%s: room %s is not on the map" % (rel, room))
            elif used not in MAY_USE[room]:
                faults.append("%s: %s may not include %s/" % (rel, room, used))
        if room != "platform" and RUNTIME_NUMBERS.search(text):
            faults.append("%s: a runtime flag value or bare seek origin" % rel)


def check_tools(root, faults):
    for rel, full in source_files(root, "tools"):
        if not rel.endswith(C_SOURCES):
            continue
        with open(full, errors="replace") as f:
            text = f.read()
        for quote, spelled in INCLUDE.findall(text):
            target = resolve(root, rel, spelled, quote == '"')
            if target is not None and place(target)[0] not in ("public", "tools"):
                faults.append("%s: the CLI includes %s (public headers only)" % (rel, target))


def check_python(root, faults):
    for rel, _ in source_files(root, "python"):
        if rel.endswith(C_SOURCES):
            faults.append("%s: C in the Python binding (it uses the shared library only)" % rel)


def check_tree(root):
    faults = []
    check_src(root, faults)
    check_tools(root, faults)
    check_python(root, faults)
    return faults


def main():
    faults = check_tree(ROOT)
    for fault in faults:
        print(fault)
    print("%d passed, %d failed" % (1 if not faults else 0, 1 if faults else 0))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

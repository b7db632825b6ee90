"""The one-way arrows of docs/ARCHITECTURE.md, checked on every #include of
src/: a room includes only itself and the rooms it may use; nothing below
src/api includes src/api; only the rooms that implement the store-entry
interfaces see the public headers; no Windows runtime number or bare seek
origin appears above src/platform."""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
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
RUNTIME_NUMBERS = re.compile(r"0x8000|0x8302|0x180\b|\bseek\([^()]*,\s*[012]\)")


def main():
    faults = []
    src = os.path.join(ROOT, "src")
    for room in sorted(os.listdir(src)):
        for folder, _, files in os.walk(os.path.join(src, room)):
            for name in files:
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, ROOT)
                with open(path, errors="replace") as f:
                    text = f.read()
                for used in re.findall(r'^#include "([a-z0-9_]+)/', text, re.M):
                    if used == room or room == "api":
                        continue
                    if used == "fontseal":
                        if room not in PUBLIC_HEADER_ROOMS:
                            faults.append("%s: a public header below src/api" % rel)
                    elif room not in MAY_USE:
                        faults.append("%s: room %s is not on the map" % (rel, room))
                    elif used not in MAY_USE[room]:
                        faults.append("%s: %s may not include %s/" % (rel, room, used))
                if room != "platform" and RUNTIME_NUMBERS.search(text):
                    faults.append("%s: a runtime flag value or bare seek origin" % rel)
    for fault in faults:
        print(fault)
    print("%d passed, %d failed" % (1 if not faults else 0, 1 if faults else 0))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

# SPDX-License-Identifier: Apache-2.0
"""The layering check must refuse every way an include can point up the map
or out of a room, however it is spelled, and must not refuse what is allowed.
Each case writes one line into a small tree shaped like ours and runs the
check over that tree."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402

ROOMS = ["base", "platform", "font", "der", "x509", "api", "store"]
# (file written, its text, what the fault must say; None: the tree passes)
CASES = [
    ("src/der/d.cpp", '#include "../api/results.h"\n', "der may not include api/"),
    ("src/der/d.cpp", "#include <fontseal/fontseal.h>\n", "a public header below src/api"),
    ("src/font/f.cpp", '#include "fontseal/fontseal.h"\n', "a public header below src/api"),
    ("src/x509/x.cpp", '  #  include "api/results.h"\n', "x509 may not include api/"),
    ("src/der/d.cpp", '# include "font/ot_font.h"\n', "der may not include font/"),
    ("src/der/d.cpp", '#include "../../tools/commands.h"\n', "outside src/"),
    ("src/font/f.cpp", '#include "platform/rt_crt.h"\n', "the runtime's constants"),
    ("src/font/f.cpp", '#include "../platform/rt_crt.h"\n', "the runtime's constants"),
    ("src/font/f.cpp", "long n = lseek(h, 0, 2);\n", "bare seek origin"),
    ("src/font/f.cpp", "int m = 0x8302;\n", "runtime flag value"),
    ("src/newroom/n.cpp", '#include "base/error.h"\n', "room newroom is not on the map"),
    ("tools/t.cpp", '#include "base/error.h"\n', "public headers only"),
    ("tools/t.cpp", '#include "../src/api/results.h"\n', "public headers only"),
    ("tools/t.cpp", "#include <der/der_reader.h>\n", "public headers only"),
    ("python/fontseal/_speedups.c", "int x;\n", "C in the Python binding"),
    # Allowed: the check must stay quiet.
    ("src/font/f.cpp", "uint32_t top = 0x80000000;\n", None),
    ("src/font/f.cpp", '#include "platform/file_source.h"\n#include <openssl/evp.h>\n', None),
    ("src/platform/p.cpp", '#include "platform/rt_crt.h"\nlseek(h, 0, 2);\n', None),
    ("src/store/s.cpp", "#include <fontseal/csp.h>\n", None),
    ("src/api/a.cpp", '#include "verify/v.h"\n#include "fontseal/fontseal.h"\n', None),
    ("tools/t.cpp", '#include <fontseal/fontseal.h>\n#include "commands.h"\n#include <CLI/CLI.hpp>\n',
     None),
]


def make_tree(root):
    for room in ROOMS:
        os.makedirs(os.path.join(root, "src", room))
    for path in ["src/api/results.h", "src/platform/rt_crt.h", "src/platform/file_source.h",
                 "src/base/error.h", "src/font/ot_font.h", "src/der/der_reader.h",
                 "include/fontseal/fontseal.h", "include/fontseal/csp.h", "tools/commands.h",
                 "python/fontseal/__init__.py"]:
        os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
        open(os.path.join(root, path), "w").close()


class LayerCheck(unittest.TestCase):
    def test_cases(self):
        for path, text, fault in CASES:
            with self.subTest(path=path, text=text.strip()), tempfile.TemporaryDirectory() as root:
                make_tree(root)
                self.assertEqual(check_layers.check_tree(root), [], "the bare tree must pass")
                full = os.path.join(root, path)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                with open(full, "w") as f:
                    f.write(text)
                faults = check_layers.check_tree(root)
                if fault is None:
                    self.assertEqual(faults, [])
                else:
                    self.assertEqual(len(faults), 1, faults)
                    self.assertIn(fault, faults[0])
                    self.assertTrue(faults[0].startswith(path.replace("/", os.sep)), faults[0])

    def test_our_tree_passes(self):
        self.assertEqual(check_layers.check_tree(check_layers.ROOT), [])


if __name__ == "__main__":
    unittest.main()

# SPDX-License-Identifier: Apache-2.0
"""The tool's whole signing path under valgrind's memcheck: no invalid access
and no leak, on success and on every failure code."""
import os
import shutil
import struct
import tempfile
import unittest

from e2e_support import CLI, DEJAVU, make_ca, make_signer, read, run, write

VALGRIND = shutil.which("valgrind")


@unittest.skipUnless(VALGRIND, "valgrind is not installed")
class MemcheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="fontseal-memcheck-")
        d = cls.d = cls.tmp.name
        ca_key, ca = make_ca(d)
        cls.cert, _, cls.pvk = make_signer(d, ca_key, ca, "s", password="pw")
        cls.other = make_signer(d, ca_key, ca, "o", password="pw")[0]
        cls.text = os.path.join(d, "t.txt")
        write(cls.text, b"not a certificate")
        cls.short = os.path.join(d, "short.pvk")
        write(cls.short, read(cls.pvk)[:150])
        cls.bad = os.path.join(d, "bad.ttf")
        data = bytearray(read(DEJAVU))
        struct.pack_into(">H", data, 4, 257)
        write(cls.bad, bytes(data))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def memcheck(self, expected_exit, cert=None, key=None, src=DEJAVU, out=None, pw="pw"):
        out = out or os.path.join(self.d, "out.ttf")
        env = dict(os.environ, PW=pw)
        r = run([VALGRIND, "--quiet", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                 "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99", CLI, "sign",
                 "--cert", cert or self.cert, "--key", key or self.pvk, "--password-env", "PW",
                 src, out], env=env)
        self.assertEqual(r.returncode, expected_exit, r.stderr[-3000:])

    def test_success(self):
        self.memcheck(0)

    def test_failures(self):
        d = self.d
        cases = {
            "-6": dict(cert=os.path.join(d, "missing.pem")),
            "-7": dict(cert=self.text),
            "-8": dict(key=os.path.join(d, "missing.pvk")),
            "-9": dict(key=self.short),
            "-10": dict(pw="wrong"),
            "-11": dict(cert=self.other),
            "-3": dict(src=os.path.join(d, "missing.ttf")),
            "-4": dict(out=os.path.join(d, "no", "dir.ttf")),
            "-5": dict(src=self.bad),
        }
        for code, kw in cases.items():
            with self.subTest(code=code):
                self.memcheck(1, **kw)


if __name__ == "__main__":
    unittest.main()

# SPDX-License-Identifier: Apache-2.0
"""Stopping fontseal mid-signing: SIGINT and SIGTERM at several moments of an
in-place signing of a 200 MB font always leave the old font or the complete
new one and no temporary file; a temporary left by a killed process is
removed the next time fontseal writes beside it."""
import hashlib
import os
import shutil
import signal
import subprocess
import time
import unittest

from e2e_support import CLI, DEJAVU, TempDirTest, check, make_ca, make_signer


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def inflate(src, dst, megabytes):
    from fontTools.ttLib import TTFont
    from fontTools.ttLib.tables.DefaultTable import DefaultTable
    font = TTFont(src)
    extra = DefaultTable("zBig")
    extra.data = bytes(range(256)) * (megabytes * 4096)
    font["zBig"] = extra
    font.save(dst)


class InterruptTest(TempDirTest):
    def setUp(self):
        super().setUp()
        ca_key, ca = make_ca(self.dir)
        self.cert, _, self.pvk = make_signer(self.dir, ca_key, ca, pvk_option="-pvk-none")

    def sign(self, src, out):
        return [CLI, "sign", "--digest", "sha1", "--cert", self.cert, "--key", self.pvk, src, out]

    def leftovers(self, directory):
        return [n for n in os.listdir(directory) if ".fontseal-" in n]

    def test_a_stop_leaves_the_old_or_the_complete_new_font(self):
        original = self.path("original.ttf")
        inflate(DEJAVU, original, 200)
        work = os.path.join(self.dir, "work")
        os.mkdir(work)
        font = os.path.join(work, "big.ttf")
        shutil.copy(original, font)
        check(self.sign(font, font))
        old, new = sha256(original), sha256(font)
        self.assertNotEqual(old, new)
        outcomes = set()
        for sig in (signal.SIGINT, signal.SIGTERM):
            for delay in (0.02, 0.15, 0.4, 0.8, 1.5):
                with self.subTest(signal=sig.name, delay=delay):
                    shutil.copy(original, font)
                    p = subprocess.Popen(self.sign(font, font), stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
                    time.sleep(delay)
                    p.send_signal(sig)
                    rc = p.wait(timeout=120)
                    self.assertIn(rc, (0, 128 + sig), "exit status")
                    digest = sha256(font)
                    self.assertIn(digest, (old, new))
                    self.assertEqual(self.leftovers(work), [])
                    outcomes.add((rc, digest == new))
        # Some stops must have come mid-signing for the test to mean anything.
        self.assertTrue(any(rc != 0 for rc, _ in outcomes), outcomes)

    def test_a_killed_process_temporary_is_removed_next_time(self):
        out_dir = os.path.join(self.dir, "out")
        os.mkdir(out_dir)
        gone = subprocess.Popen(["true"])
        gone.wait()
        stale = os.path.join(out_dir, ".f.ttf.fontseal-%d-7.tmp" % gone.pid)
        alive = os.path.join(out_dir, ".f.ttf.fontseal-%d-7.tmp" % os.getpid())
        other = os.path.join(out_dir, ".f.ttf.fontseal-x-7.tmp")
        for path in (stale, alive, other):
            with open(path, "wb") as f:
                f.write(b"half a font")
        check(self.sign(DEJAVU, os.path.join(out_dir, "f.ttf")))
        self.assertFalse(os.path.exists(stale))
        self.assertTrue(os.path.exists(alive))
        self.assertTrue(os.path.exists(other))


if __name__ == "__main__":
    unittest.main()

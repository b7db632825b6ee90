# SPDX-License-Identifier: Apache-2.0
"""Hostile and malformed inputs and outputs, met through the tool and the
exported function: each is refused with its result code, promptly, and
leaves nothing behind."""
import ctypes
import os
import shutil
import stat
import struct
import tempfile
import unittest

from e2e_support import (CLI, DEJAVU, LIB, TempDirTest, check, cli, open_checked, read, run, tables,
                          write)


def checksum(data):
    data = data + b"\0" * (-len(data) % 4)
    return sum(struct.unpack(">%dI" % (len(data) // 4), data)) & 0xFFFFFFFF


def sfnt(entries, version=b"\0\1\0\0"):
    """A font whose tables are laid out in the given order, padded to 4."""
    n = len(entries)
    es = max(n.bit_length() - 1, 0)
    head = version + struct.pack(">HHHH", n, 16 << es, es, 16 * n - (16 << es))
    pos, records, body = 12 + 16 * n, [], b""
    for tag, data in entries:
        records.append(struct.pack(">4sIII", tag, checksum(data), pos, len(data)))
        padded = data + b"\0" * (-len(data) % 4)
        body += padded
        pos += len(padded)
    return head + b"".join(records) + body


def patch_record(font, index, offset=None, length=None, checksum=None):
    data = bytearray(font)
    at = 12 + 16 * index
    if checksum is not None:
        struct.pack_into(">I", data, at + 4, checksum)
    if offset is not None:
        struct.pack_into(">I", data, at + 8, offset)
    if length is not None:
        struct.pack_into(">I", data, at + 12, length)
    return bytes(data)


HEAD = tables(read(DEJAVU))[b"head"]
# Version 1, no signatures, flags 1.
DSIG = struct.pack(">IHH", 1, 0, 1)
BASE = [(b"head", HEAD), (b"cmap", bytes(range(40))), (b"name", bytes(range(7, 100)))]


class HostileTest(TempDirTest):
    @classmethod
    def setUpClass(cls):
        cls._keys = tempfile.TemporaryDirectory(prefix="fontseal-e2e-keys-")
        d = cls._keys.name
        conf = os.path.join(d, "c.cnf")
        with open(conf, "w") as f:
            f.write("[req]\ndistinguished_name=dn\nprompt=no\n[dn]\nCN=Hostile Test\n"
                    "[ext]\nextendedKeyUsage=codeSigning\n")
        cls.key_pem, cls.cert, cls.key = (os.path.join(d, n) for n in ("k.pem", "c.pem", "k.pvk"))
        check(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
               cls.key_pem, "-out", cls.cert, "-days", "2", "-config", conf, "-extensions", "ext"])
        check(["openssl", "rsa", "-provider", "legacy", "-provider", "default", "-in",
               cls.key_pem, "-outform", "PVK", "-pvk-none", "-out", cls.key])

    @classmethod
    def tearDownClass(cls):
        cls._keys.cleanup()

    def outcome(self, src, out, cert=None, key=None):
        """(sign result, strip result, exported sign_font result); the tool's
        results are read from its message, 0 when it succeeded."""
        cert, key = cert or self.cert, key or self.key
        results = []
        for args in (["sign", "--cert", cert, "--key", key, src, out], ["strip", src, out]):
            r = run([CLI] + args, timeout=5)
            if r.returncode == 0:
                results.append(0)
            else:
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                results.append(int(r.stderr.rsplit("(code ", 1)[1].split(")")[0]))
        lib = ctypes.CDLL(LIB)
        lib.sign_font.restype = ctypes.c_int32
        results.append(lib.sign_font(src.encode(), out.encode(), cert.encode(), key.encode(),
                                     b"", 1, 0, None, None, None))
        return tuple(results)

    def device(self, name, minor):
        """A memory character device (null 3, zero 5) at `name`: a node of
        its own where we may make one, else a link to the system's."""
        try:
            os.mknod(self.path(name), stat.S_IFCHR | 0o666, os.makedev(1, minor))
        except PermissionError:
            os.symlink("/dev/" + name, self.path(name))

    def check_cases(self, cases):
        for name, font, code in cases:
            with self.subTest(name):
                src, out = self.path("in.ttf"), self.path("out.ttf")
                if os.path.exists(out):
                    os.unlink(out)
                write(src, font)
                self.assertEqual(self.outcome(src, out), (code,) * 3)
                self.assertEqual(os.path.exists(out), code == 0)
                self.assertEqual(sorted(os.listdir(self.dir)),
                                 ["in.ttf", "out.ttf"] if code == 0 else ["in.ttf"])
                if code == 0:
                    # fontTools reads the signed font and every checksum holds.
                    self.assertEqual(open_checked(out)["DSIG"].usNumSigs, 1)

    def test_what_is_not_a_font_is_named(self):
        base = sfnt(BASE)
        src, out = self.path("in.ttf"), self.path("out.ttf")
        for data, words in [
                (b"wOF2" + base[4:], "in.ttf is a WOFF2 web font: decompress it first (code -5)"),
                (b"wOFF" + base[4:], "in.ttf is a WOFF web font: decompress it first (code -5)"),
                (b"ttcf" + base[4:], "in.ttf is not a usable font collection: its header or a "
                 "member's directory is damaged"),
                (b"not a font\n" * 8, "in.ttf is not a TrueType or OpenType font (code -5)")]:
            with self.subTest(words):
                write(src, data)
                r = cli("strip", src, out)
                self.assertEqual(r.returncode, 1)
                self.assertIn(words, r.stderr)

    def test_outputs_that_are_not_regular_files(self):
        src = self.path("in.ttf")
        write(src, sfnt(BASE))
        self.device("null", 3)
        os.mkfifo(self.path("fifo"))
        os.mkdir(self.path("dir"))
        os.symlink("null", self.path("to-null"))
        os.symlink("fifo", self.path("to-fifo"))
        kinds = {"null": stat.S_ISCHR, "fifo": stat.S_ISFIFO, "dir": stat.S_ISDIR}
        before = sorted(os.listdir(self.dir))
        for out, target in [("null", "null"), ("fifo", "fifo"), ("dir", "dir"),
                            ("to-null", "null"), ("to-fifo", "fifo")]:
            with self.subTest(out):
                self.assertEqual(self.outcome(src, self.path(out)), (-4, -4, -4))
                self.assertTrue(kinds[target](os.stat(self.path(target)).st_mode))
                self.assertEqual(sorted(os.listdir(self.dir)), before)

    def test_fonts_too_long_to_address(self):
        # A real font at the start of a sparse file of 3 GiB.
        src, out = self.path("huge.ttf"), self.path("out.ttf")
        with open(src, "wb") as f:
            f.write(sfnt(BASE))
            f.truncate(3 << 30)
        self.assertEqual(self.outcome(src, out), (-5, -5, -5))
        self.assertEqual(sorted(os.listdir(self.dir)), ["huge.ttf"])

    def test_inputs_that_are_not_regular_files(self):
        font = self.path("in.ttf")
        write(font, sfnt(BASE))
        os.mkfifo(self.path("fifo"))
        self.device("zero", 5)
        os.symlink("fifo", self.path("to-fifo"))
        os.mkdir(self.path("dir"))
        out = self.path("out.ttf")
        # Nothing may wait for a writer that never comes: the tool is given
        # a few seconds only.
        for special in ("fifo", "zero", "to-fifo", "dir"):
            with self.subTest(special):
                path = self.path(special)
                self.assertEqual(self.outcome(path, out), (-3, -3, -3))
                self.assertFalse(os.path.exists(out))
                # Stripping needs neither certificate nor key and succeeds.
                self.assertEqual(self.outcome(font, out, cert=path), (-6, 0, -6))
                os.unlink(out)
                self.assertEqual(self.outcome(font, out, key=path), (-8, 0, -8))
                os.unlink(out)

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_output_is_synced_before_and_after_its_rename(self):
        src, out = self.path("in.ttf"), self.path("out.ttf")
        write(src, sfnt(BASE))
        for args in (["sign", "--cert", self.cert, "--key", self.key, src, out],
                     ["strip", src, out]):
            with self.subTest(args[0]):
                r = run(["strace", "-f", "-y", "-e", "trace=fsync,fdatasync,rename,renameat,"
                         "renameat2", CLI] + args, timeout=20)
                self.assertEqual(r.returncode, 0, r.stderr)
                calls = [line for line in r.stderr.splitlines()
                         if line.split("(")[0].split()[-1] in
                         ("fsync", "fdatasync", "rename", "renameat", "renameat2")]
                renames = [i for i, c in enumerate(calls) if "rename" in c and "out.ttf" in c]
                self.assertEqual(len(renames), 1, calls)
                temp = calls[renames[0]].split('"')[1]
                before = [c for c in calls[:renames[0]] if "sync" in c and temp in c]
                after = [c for c in calls[renames[0]:] if "sync" in c and
                         c.split("<", 1)[1].startswith(self.dir + ">")]
                self.assertTrue(before, calls)
                self.assertTrue(after, calls)

    def test_damaged_directories(self):
        base = sfnt(BASE)
        one = sfnt(BASE[:1])
        cmap = struct.unpack(">4sIII", base[28:44])
        signed = sfnt(BASE + [(b"DSIG", DSIG)])
        self.check_cases([
            ("a well-formed font", base, 0),
            ("version 'true'", sfnt(BASE, b"true"), 0),
            ("version 'OTTO'", sfnt(BASE, b"OTTO"), 0),
            ("a WOFF web font", b"wOFF" + base[4:], -5),
            ("a WOFF2 web font", b"wOF2" + base[4:], -5),
            ("a font collection", b"ttcf" + base[4:], -5),
            ("an unknown version", b"\0\2\0\0" + base[4:], -5),
            ("text", b"these are not the bytes of a font\n" * 4, -5),
            ("no tables", one[:4] + b"\0" * 8, -5),
            ("a tag listed twice", sfnt(BASE + [(b"cmap", b"more")]), -5),
            ("head listed twice", sfnt(BASE + [(b"head", HEAD)]), -5),
            ("DSIG listed twice", sfnt(BASE + [(b"DSIG", DSIG), (b"DSIG", DSIG)]), 0),
            ("a head of 20 bytes", sfnt([(b"head", HEAD[:20])] + BASE[1:]), -5),
            ("a head whose length says 53", patch_record(base, 0, length=53), -5),
            ("two tables at one offset", patch_record(base, 2, offset=cmap[2], length=40), -5),
            ("a table reaching into the next", patch_record(base, 1, length=cmap[3] + 8), -5),
            ("a table over the directory", patch_record(base, 1, offset=0), -5),
            ("a table over the whole file", patch_record(base, 2, offset=0, length=len(base)),
             -5),
            ("an empty table at offset 0", patch_record(base, 1, offset=0, length=0, checksum=0), 0),
            ("a DSIG entry of 0x7FFF0000 bytes", patch_record(signed, 3, length=0x7FFF0000), 0),
            ("a DSIG entry past the end", patch_record(signed, 3, offset=0xFFFFFF00), 0),
            ("a DSIG entry over another table", patch_record(signed, 3, offset=cmap[2]), 0),
            ("nothing but a DSIG table", sfnt([(b"DSIG", DSIG)]), -5),
        ])


if __name__ == "__main__":
    unittest.main()

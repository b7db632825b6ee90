# SPDX-License-Identifier: Apache-2.0
"""fontseal strip on real fonts, checked with fontTools and by reading the bytes."""
import math
import os
import struct
import unittest

from e2e_support import (DEJAVU, LATIN_MODERN, ORDER, TempDirTest, cli, directory, open_checked,
                         read, tables, whole_sum, write)


class StripTest(TempDirTest):
    def strip(self, src):
        out = self.path("out-" + os.path.basename(src))
        r = cli("strip", src, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        return out

    def check_layout(self, src, out, expect_version):
        data, original = read(out), read(src)
        open_checked(out)
        self.assertEqual(whole_sum(data), 0xB1B0AFBA)
        version, n, sr, es, rs, records = directory(data)
        self.assertEqual(version, expect_version)
        self.assertEqual(es, int(math.floor(math.log2(n))))
        self.assertEqual(sr, 16 * 2 ** es)
        self.assertEqual(rs, 16 * n - sr)
        tags = [r[0] for r in records]
        self.assertEqual(tags, sorted(tags), "directory not in tag order")
        self.assertNotIn(b"DSIG", tags)

        # Data follows the fixed order, unlisted tables after in tag order.
        by_offset = [r[0] for r in sorted(records, key=lambda r: r[2])]
        listed = [t for t in ORDER if t in tags]
        unlisted = sorted(t for t in tags if t not in ORDER)
        self.assertEqual(by_offset, listed + unlisted)

        pos = 12 + 16 * n
        for tag in by_offset:
            rec = next(r for r in records if r[0] == tag)
            self.assertEqual(rec[2], pos, tag)
            end = rec[2] + rec[3]
            padded = end + (-end % 4)
            self.assertEqual(data[end:padded], b"\0" * (padded - end), tag)
            pos = padded
        self.assertEqual(pos, len(data))

        old, new = tables(original), tables(data)
        self.assertEqual(set(new), set(old) - {b"DSIG"})
        for tag, body in new.items():
            if tag == b"head":
                self.assertEqual(body[:8] + body[12:], old[tag][:8] + old[tag][12:])
            else:
                self.assertEqual(body, old[tag], tag)

    def test_truetype(self):
        self.check_layout(DEJAVU, self.strip(DEJAVU), b"\x00\x01\x00\x00")

    def test_opentype_cff(self):
        self.check_layout(LATIN_MODERN, self.strip(LATIN_MODERN), b"OTTO")

    def test_existing_dsig_is_removed_and_in_place_works(self):
        from fontTools.ttLib import TTFont, newTable
        font = TTFont(DEJAVU, recalcTimestamp=False, recalcBBoxes=False)
        dsig = newTable("DSIG")
        dsig.ulVersion, dsig.usFlag, dsig.usNumSigs, dsig.signatureRecords = 1, 0, 0, []
        font["DSIG"] = dsig
        signed = self.path("with-dsig.ttf")
        font.save(signed)
        self.assertIn(b"DSIG", tables(read(signed)))
        r = cli("strip", signed, signed)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn(b"DSIG", tables(read(signed)))
        self.check_layout(DEJAVU, signed, b"\x00\x01\x00\x00")
        self.assertEqual(os.listdir(self.dir), ["with-dsig.ttf"], "temporary file left behind")

    def test_stripping_twice_is_stable(self):
        once = self.strip(DEJAVU)
        twice = self.path("twice.ttf")
        self.assertEqual(cli("strip", once, twice).returncode, 0)
        self.assertEqual(read(once), read(twice))


class StripFailureTest(TempDirTest):
    def expect_failure(self, data, words):
        src, out = self.path("bad.ttf"), self.path("out.ttf")
        write(src, data)
        r = cli("strip", src, out)
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        self.assertIn(src, r.stderr)
        for w in words:
            self.assertIn(w, r.stderr)
        self.assertFalse(os.path.exists(out))
        self.assertEqual(os.listdir(self.dir), ["bad.ttf"])

    def test_257_tables(self):
        data = bytearray(read(DEJAVU))
        struct.pack_into(">H", data, 4, 257)
        self.expect_failure(bytes(data), ["table directory"])

    def test_table_past_end(self):
        data = bytearray(read(DEJAVU))
        version, n, sr, es, rs, records = directory(data)
        tag, checksum, offset, length = records[-1]
        # Offset and length each fit the file; their sum does not.
        struct.pack_into(">I", data, 12 + 16 * (n - 1) + 12, len(data) - offset + 1)
        self.expect_failure(bytes(data), ["table directory"])

    def test_missing_input_and_unwritable_output(self):
        r = cli("strip", self.path("nope.ttf"), self.path("out.ttf"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("nope.ttf", r.stderr)
        r = cli("strip", DEJAVU, self.path("no/such/dir/out.ttf"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("out.ttf", r.stderr)

    def test_usage(self):
        self.assertEqual(cli("strip", DEJAVU).returncode, 2)
        self.assertEqual(cli("frobnicate").returncode, 2)
        r = cli("strip", "--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("Usage: fontseal strip", r.stdout)


if __name__ == "__main__":
    unittest.main()

# SPDX-License-Identifier: Apache-2.0
"""WOFF 1.0 fonts verified as the font they decode to. The WOFF files are
made by fontTools (its TTFont save, and its sfnt writer for a chosen data
order); fontTools also decodes them, as the oracle for what our decoder must
rebuild. A fontseal-signed font is time-stamped by the test TSA."""
import json
import os
import sys
import time
import unittest

from e2e_support import CLI, DEJAVU, TempDirTest, make_ca, make_signer, run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tsa_server import TsaServer  # noqa: E402

from fontTools.ttLib import TTFont  # noqa: E402
from fontTools.ttLib.sfnt import SFNTReader, SFNTWriter  # noqa: E402

OPEN_SANS = "/usr/share/fonts/truetype/open-sans/OpenSans-Regular.ttf"


def rewrap(src, out, order, flavor="woff"):
    """`src`'s tables, bytes unchanged, into a WOFF whose data lies in `order`."""
    with open(src, "rb") as f:
        reader = SFNTReader(f)
        tables = {tag: reader[tag] for tag in reader.keys()}
        flavor_version = reader.sfntVersion
    with open(out, "wb") as f:
        writer = SFNTWriter(f, len(tables), flavor_version, flavor=flavor)
        for tag in order:
            writer[tag] = tables[tag]
        writer.close()


def unadjusted(tag, data):
    return data[:8] + data[12:] if tag == "head" else data


def file_order(path):
    with open(path, "rb") as f:
        reader = SFNTReader(f)
        return [t for t, _ in sorted(reader.tables.items(), key=lambda kv: kv[1].offset)]


class WoffTest(TempDirTest):
    def verify(self, path):
        r = run([CLI, "verify", "--json", path])
        self.assertIn(r.returncode, (0, 1), r.stderr)
        return r.returncode, json.loads(r.stdout)[0]

    def test_woff_verdicts(self):
        ca_key, ca = make_ca(self.dir)
        cert, key, _ = make_signer(self.dir, ca_key, ca)
        signed = self.path("Signed Sans.ttf")
        with TsaServer(self.path("tsa")) as tsa:
            r = run([CLI, "sign", "--key", key, "--cert", cert, "--timestamp-rfc3161",
                     tsa.url("/ts"), DEJAVU, signed])
        self.assertEqual(r.returncode, 0, r.stderr)
        time.sleep(1.1)  # head.modified is in seconds: a rewrite must show
        made = {}
        for name, recalc in (("kept", False), ("default", True)):
            font = TTFont(signed, recalcTimestamp=recalc)
            font.flavor = "woff"
            made[name] = self.path("Signed Sans %s.woff" % name)
            font.save(made[name])
        foundry = file_order(OPEN_SANS)
        made["foundry as filed"] = self.path("open sans.woff")
        rewrap(OPEN_SANS, made["foundry as filed"], foundry)
        made["foundry reordered"] = self.path("open sans reordered.woff")
        rewrap(OPEN_SANS, made["foundry reordered"], list(reversed(foundry)))
        font = TTFont(signed)
        font.flavor = "woff2"
        made["woff2"] = self.path("Signed Sans.woff2")
        font.save(made["woff2"])
        # name: (exit status, failed check, layout, reason pattern)
        cases = {
            "kept": (0, None, "writer", None),
            "default": (1, "digest", None, r"head table changed after signing: its modified "
                        r"date .* is later than the signature's time stamp"),
            "foundry as filed": (0, None, "file", None),
            "foundry reordered": (1, "digest", None,
                                  r"WOFF encoder reordered or re-padded tables"),
            "woff2": (1, "table", None, r"WOFF2 font cannot carry a signature"),
        }
        for name, (status, check, layout, why) in cases.items():
            with self.subTest(name):
                rc, report = self.verify(made[name])
                self.assertEqual((rc, report.get("failed_check")), (status, check), report)
                if layout:
                    self.assertEqual(report["layout"], layout)
                    self.assertEqual(report["container"], "woff")
                if why:
                    self.assertRegex(report["message"], why)
                if name != "woff2":
                    # fontTools decodes the same tables the signature was judged
                    # on (head's checkSumAdjustment aside: it follows the layout),
                    # except the head the default encoder stamped.
                    ours = TTFont(made[name])
                    original = TTFont(OPEN_SANS if "foundry" in name else signed)
                    changed = [t for t in original.reader.keys()
                               if unadjusted(t, ours.reader[t]) !=
                               unadjusted(t, original.reader[t])]
                    self.assertEqual(changed, ["head"] if name == "default" else [], name)

    def test_damaged_woff_is_refused_not_misread(self):
        font = TTFont(DEJAVU)
        font.flavor = "woff"
        good = self.path("good.woff")
        font.save(good)
        with open(good, "rb") as f:
            data = f.read()
        cases = [
            ("cut short", data[:len(data) // 2]),
            ("length field wrong", data[:8] + (len(data) + 4).to_bytes(4, "big") + data[12:]),
            ("total size wrong", data[:16] + (12345).to_bytes(4, "big") + data[20:]),
            ("table past the end", data[:44 + 4] + (len(data)).to_bytes(4, "big") + data[52:]),
            ("stream not zlib", data[:-200] + bytes(200)),
        ]
        for name, bad in cases:
            with self.subTest(name):
                path = self.path(name + ".woff")
                with open(path, "wb") as f:
                    f.write(bad)
                r = run([CLI, "verify", path])
                self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                self.assertIn(path, r.stdout + r.stderr)


if __name__ == "__main__":
    unittest.main()

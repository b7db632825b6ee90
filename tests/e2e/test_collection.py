#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Font collections end to end, judged by tools nobody here wrote: the digest
inside the signature is recomputed from the signed file by a walk written
here from the format's description (struct and hashlib only); openssl checks
the SignedData over that content; fontTools opens every member with every
checksum checked; FreeType (python3-freetype) renders each member's glyphs
before and after signing. Real collections: Debian's wqy-microhei (TrueType),
and collections that fontTools builds from DejaVu (TrueType, shared tables, a
member with a DSIG of its own) and Latin Modern (CFF)."""
import ctypes
import hashlib
import json
import os
import struct
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
from der_walk import SignedBlob  # noqa: E402
from e2e_support import (DEJAVU, LIB, OPENSSL_CONF, TempDirTest, check, cli,  # noqa: E402
                         make_ca, make_signer, read, run, write)
from tsa_server import TsaServer  # noqa: E402

WQY = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
DEJAVU_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
LM = "/usr/share/texmf/fonts/opentype/public/lm/"
LM_FONTS = [LM + "lmroman10-regular.otf", LM + "lmroman10-bold.otf"]
PASSWORD = "secret"


def signed_content(data):
    """(the bytes a signature covers, the DSIG table) of a signed collection,
    walked as a checker does: the header with its DSIG fields as 0, then each
    member's offset table and directory and its tables in directory order,
    each table once with its padding; they must run without a gap up to the
    DSIG, which ends the file."""
    tag, major, _minor, count = struct.unpack(">4sHHI", data[:12])
    assert tag == b"ttcf" and major == 2, (tag, major)
    offsets = struct.unpack(">%dI" % count, data[12:12 + 4 * count])
    dsig_tag, dsig_length, dsig_offset = struct.unpack(">4sII", data[12 + 4 * count:24 + 4 * count])
    assert dsig_tag == b"DSIG"
    parts = [data[:12 + 4 * count], bytes(12)]
    position = 24 + 4 * count
    met = set()
    for member in offsets:
        assert member == position, "member directory at %d, expected %d" % (member, position)
        (tables,) = struct.unpack(">H", data[member + 4:member + 6])
        end = member + 12 + 16 * tables
        parts.append(data[member:end])
        position = end
        for i in range(tables):
            tag, _, offset, length = struct.unpack(">4sIII", data[end - 16 * (tables - i):][:16])
            assert tag != b"DSIG", "a member keeps a DSIG"
            if offset in met:
                continue
            assert offset == position, "%s at %d, expected %d" % (tag, offset, position)
            padded = length + (-length % 4)
            parts.append(data[offset:offset + padded])
            position += padded
            met.add(offset)
    assert position == dsig_offset and dsig_offset + dsig_length == len(data)
    return b"".join(parts) + b"\x00\x01", data[dsig_offset:]


def dsig_blobs(table):
    version, count, flags = struct.unpack(">IHH", table[:8])
    assert version == 1 and flags == 1
    blobs = []
    for i in range(count):
        _fmt, _length, offset = struct.unpack(">III", table[8 + 12 * i:20 + 12 * i])
        (size,) = struct.unpack(">I", table[offset + 4:offset + 8])
        blobs.append(table[offset + 8:offset + 8 + size])
    return blobs


def members_tables(path, checksums=2):
    """Each member's tables, checksums checked, as {tag: bytes}."""
    from fontTools.ttLib import TTCollection
    collection = TTCollection(path, checkChecksums=checksums)
    return [{tag: font.reader[tag] for tag in font.reader.keys()} for font in collection]


def renderings(path, members):
    """Each member's glyphs rendered by FreeType: every 37th glyph and some
    characters, as (glyph, width, rows, advance, bitmap)."""
    import freetype
    out = []
    for index in range(members):
        face = freetype.Face(path, index=index)
        face.set_char_size(40 * 64)
        glyphs = list(range(0, face.num_glyphs, 37))
        glyphs += [face.get_char_index(c) for c in "Ag&\u4e2d\u6587"]
        seen = []
        for glyph in glyphs:
            face.load_glyph(glyph, freetype.FT_LOAD_RENDER)
            bitmap = face.glyph.bitmap
            seen.append((glyph, bitmap.width, bitmap.rows, face.glyph.advance.x,
                         bytes(bitmap.buffer)))
        out.append(seen)
    return out


class Fixtures:
    """A root, an intermediate that issues the signer, and the collections."""

    def __init__(self, d):
        root_key, self.root = make_ca(d, "root")
        conf = os.path.join(d, "inter.cnf")
        with open(conf, "w") as f:
            f.write(OPENSSL_CONF.format(cn="Fontseal Test Intermediate", eku="codeSigning"))
        inter_key, inter_csr = os.path.join(d, "inter.key"), os.path.join(d, "inter.csr")
        inter = os.path.join(d, "inter.pem")
        check(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", inter_key,
               "-out", inter_csr, "-config", conf])
        check(["openssl", "x509", "-req", "-in", inter_csr, "-CA", self.root, "-CAkey", root_key,
               "-CAcreateserial", "-out", inter, "-days", "30", "-extfile", conf,
               "-extensions", "ca_ext"])
        cert, self.key, self.pvk = make_signer(d, inter_key, inter, "Collection Signer")
        self.chain = os.path.join(d, "signer chain.pem")
        write(self.chain, read(cert) + read(inter))
        self.collections = {"wqy-microhei.ttc": WQY}
        self.build(d)

    def build(self, d):
        from fontTools.ttLib import TTCollection, TTFont, newTable
        # DejaVu Sans twice under two names (every other table shared), its
        # bold, and an unsigned DSIG of the second member's own.
        regular, renamed, bold = TTFont(DEJAVU), TTFont(DEJAVU), TTFont(DEJAVU_BOLD)
        for record in renamed["name"].names:
            if record.nameID in (1, 4):
                record.string = str(record) + " Renamed"
        stub = newTable("DSIG")
        stub.ulVersion, stub.usFlag, stub.usNumSigs, stub.signatureRecords = 1, 0, 0, []
        renamed["DSIG"] = stub
        ttc = TTCollection()
        ttc.fonts = [regular, renamed, bold]
        path = os.path.join(d, "DejaVu Family.ttc")
        ttc.save(path)
        self.collections["DejaVu Family.ttc"] = path
        otc = TTCollection()
        otc.fonts = [TTFont(p) for p in LM_FONTS]
        path = os.path.join(d, "Latin Modern.otc")
        otc.save(path)
        self.collections["Latin Modern.otc"] = path


class CollectionTest(TempDirTest):
    @classmethod
    def setUpClass(cls):
        import tempfile
        cls._fixtures = tempfile.TemporaryDirectory(prefix="fontseal-ttc-")
        cls.fix = Fixtures(cls._fixtures.name)

    @classmethod
    def tearDownClass(cls):
        cls._fixtures.cleanup()

    def sign(self, src, out, *extra):
        return cli("sign", "--cert", self.fix.chain, "--key", self.fix.key, *extra, src, out)

    def verify_json(self, path):
        r = cli("verify", "--json", "--ca-file", self.fix.root, path)
        return json.loads(r.stdout)[0]

    def test_signed_collections_hold_for_independent_tools(self):
        for name, src in self.fix.collections.items():
            for digest in ("sha256", "sha1"):
                with self.subTest(collection=name, digest=digest):
                    out = self.path("signed " + name)
                    r = self.sign(src, out, "--digest", digest)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    data = read(out)
                    content, table = signed_content(data)
                    (blob,) = dsig_blobs(table)
                    parsed = SignedBlob(blob)
                    h = hashlib.new(digest, content).digest()
                    self.assertEqual(parsed.inner[-len(h):], h)
                    write(self.path("blob.der"), blob)
                    write(self.path("content.bin"), parsed.inner)
                    r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary",
                             "-content", self.path("content.bin"), "-in", self.path("blob.der"),
                             "-CAfile", self.fix.root, "-purpose", "any", "-out", "/dev/null"])
                    self.assertEqual(r.returncode, 0, r.stderr)

                    # wqy-microhei's own head entries count checkSumAdjustment.
                    before, after = members_tables(src, 0), members_tables(out)
                    self.assertEqual(len(before), len(after))
                    for old, new in zip(before, after):
                        old.pop("DSIG", None)
                        self.assertEqual(old, new)
                    self.assertEqual(renderings(src, len(before)), renderings(out, len(after)))

                    report = self.verify_json(out)
                    self.assertEqual((report["status"], report["members"]),
                                     ("valid", len(before)), report)

                    # Signed again, stripped and signed: the very same bytes.
                    again = self.path("again " + name)
                    self.assertEqual(self.sign(out, again, "--digest", digest).returncode, 0)
                    self.assertEqual(read(again), data)
                    stripped = self.path("stripped " + name)
                    self.assertEqual(cli("strip", out, stripped).returncode, 0)
                    self.assertEqual(read(stripped), content[:-2])
                    self.assertEqual(self.verify_json(stripped)["status"], "unsigned")

    def test_tampering_fails_verify_naming_the_check(self):
        signed = self.path("signed.ttc")
        self.assertEqual(self.sign(self.fix.collections["DejaVu Family.ttc"], signed).returncode, 0)
        data = read(signed)
        count = struct.unpack(">I", data[8:12])[0]
        offsets = list(struct.unpack(">%dI" % count, data[12:12 + 4 * count]))
        fields = 12 + 4 * count
        dsig_offset = struct.unpack(">I", data[fields + 8:fields + 12])[0]

        def record(member, tag):
            n = struct.unpack(">H", data[offsets[member] + 4:offsets[member] + 6])[0]
            for i in range(n):
                at = offsets[member] + 12 + 16 * i
                if data[at:at + 4] == tag:
                    return struct.unpack(">II", data[at + 8:at + 16])
            raise KeyError(tag)

        def flip(at):
            return lambda d: d[:at] + bytes([d[at] ^ 0x55]) + d[at + 1:]

        bold_glyf = record(2, b"glyf")[0] + 1000
        shared_glyf = record(0, b"glyf")[0] + 1000
        self.assertEqual(record(0, b"glyf"), record(1, b"glyf"), "fontTools shares glyf")
        name_offset, name_length = record(1, b"name")
        blob = SignedBlob(dsig_blobs(data[dsig_offset:])[0])
        # One signature: the table's header, its record, the block's header.
        blob_at = dsig_offset + 8 + 12 + 8
        cases = [
            ("a table of the third member", flip(bold_glyf), "digest"),
            ("a table two members share", flip(shared_glyf), "digest"),
            ("a member's directory", flip(offsets[1] + 12 + 4), "digest"),
            ("the header's member offsets swapped",
             lambda d: d[:12] + struct.pack(">II", offsets[1], offsets[0]) + d[20:], "digest"),
            ("the header's minor version", lambda d: d[:6] + b"\0\1" + d[8:], "digest"),
            ("padding after a table", flip(name_offset + name_length)
             if name_length % 4 else flip(shared_glyf), "digest"),
            ("the signature value", flip(blob_at + blob.signature_start + 5), "signature"),
            ("the font digest in the signed content",
             flip(blob_at + blob.inner_start + len(blob.inner) - 3), "digest"),
            ("the signature's outer DER", flip(blob_at), "signed-data"),
            ("bytes after the DSIG", lambda d: d + b"\0" * 8, "table"),
            ("the DSIG's length", lambda d: d[:fields + 4] + struct.pack(">I", len(d)) +
             d[fields + 8:], "table"),
            ("the DSIG moved off the end", lambda d: d[:fields + 8] +
             struct.pack(">I", dsig_offset - 4) + d[fields + 12:], "table"),
        ]
        self.assertNotEqual(name_length % 4, 0, "a table with padding is tampered with")
        for what, edit, expected in cases:
            with self.subTest(what):
                path = self.path("tampered.ttc")
                write(path, edit(data))
                report = self.verify_json(path)
                self.assertEqual((report["status"], report.get("failed_check")),
                                 ("invalid", expected), report)
        # The header naming no DSIG, or a version 1 header whose file still
        # ends with the DSIG table: unsigned, not a failed check.
        version_1 = bytearray(data[:8] + data[8:fields] + data[fields + 12:])
        version_1[4:8] = struct.pack(">HH", 1, 0)
        for i, member in enumerate(offsets):
            struct.pack_into(">I", version_1, 12 + 4 * i, member - 12)
            n = struct.unpack(">H", version_1[member - 12 + 4:member - 12 + 6])[0]
            for r in range(n):
                at = member + 16 * r + 8  # the record's offset, 12 bytes earlier now
                (offset,) = struct.unpack(">I", version_1[at:at + 4])
                struct.pack_into(">I", version_1, at, offset - 12)
        for what, tampered in (("no DSIG named", data[:fields] + bytes(12) + data[fields + 12:]),
                               ("version 1", bytes(version_1))):
            with self.subTest(what):
                write(self.path("tampered.ttc"), tampered)
                report = self.verify_json(self.path("tampered.ttc"))
                self.assertEqual((report["status"], report["members"]), ("unsigned", 3), report)
        from fontTools.ttLib import TTCollection
        self.assertEqual(len(TTCollection(self.path("tampered.ttc"), checkChecksums=2)), 3)

    def test_what_stays_refused_is_named_and_leaves_nothing(self):
        src = read(self.fix.collections["DejaVu Family.ttc"])
        # The third member: its records start with tables of its own.
        third = struct.unpack(">I", src[20:24])[0]
        first_record = third + 12

        def at(offset, value):
            return lambda d: d[:offset] + struct.pack(">I", value) + d[offset + 4:]

        cases = [
            ("a WOFF member", at(third, 0x774F4646), "wrapped as WOFF or WOFF2"),
            ("a WOFF2 member", at(third, 0x774F4632), "wrapped as WOFF or WOFF2"),
            ("overlapping tables", at(first_record + 8, struct.unpack(
                ">I", src[first_record + 24:first_record + 28])[0] + 2), "overlap"),
            ("a table past the end", at(first_record + 12, len(src)), "outside the file"),
            ("1025 members", at(8, 1025), "more than 1024 fonts"),
        ]
        for what, edit, message in cases:
            with self.subTest(what):
                path, out = self.path("bad family.ttc"), self.path("out.ttc")
                write(path, edit(src))
                r = self.sign(path, out)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("bad family.ttc", r.stderr)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(out))
                self.assertEqual(os.listdir(self.dir), ["bad family.ttc"])

    def test_time_stamped_collections_and_the_binding(self):
        os.environ.setdefault("FONTSEAL_LIBRARY", LIB)
        import fontseal
        src = self.fix.collections["Latin Modern.otc"]
        with TsaServer(self.path("tsa")) as server:
            for option, kind in (("--timestamp", "counter-signature"),
                                 ("--timestamp-rfc3161", "rfc3161")):
                with self.subTest(option):
                    out = self.path("stamped.otc")
                    r = self.sign(src, out, option, server.url("/ts"), "--require-timestamp")
                    self.assertEqual(r.returncode, 0, r.stderr)
                    found = fontseal.verify(out)
                    self.assertEqual((found.valid, found.timestamp_kind, found.member_count),
                                     (True, kind, 2), found)
        self.assertEqual(fontseal.verify(DEJAVU).member_count, 0)
        # A key kept in the store signs a collection as a key file does.
        env = dict(os.environ, XDG_DATA_HOME=self.path("data"))
        r = cli("store", "import", "--cert", self.fix.chain, "--key", self.fix.key, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        thumbprint = r.stdout.split()[-1]
        out = self.path("from the store.otc")
        r = cli("sign", "--store", thumbprint, src, out, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        # Only the entry's certificate goes in: no chain to check here.
        found = fontseal.verify(out)
        self.assertEqual((found.valid, found.member_count), (True, 2), found)

    def test_the_original_export_still_refuses_collections(self):
        lib = ctypes.CDLL(LIB)
        lib.sign_font.restype = ctypes.c_int32
        out = self.path("out.ttc")
        args = [self.fix.collections["DejaVu Family.ttc"], out, self.fix.chain, self.fix.pvk,
                PASSWORD]
        result = lib.sign_font(*[a.encode() for a in args], 1, 0, None, None, None)
        self.assertEqual(result, -5)
        self.assertFalse(os.path.exists(out))
        # The same key and font through the library's own entry point.
        r = cli("sign", "--cert", self.fix.chain, "--key", self.fix.pvk, "--password-env",
                "PASS", args[0], out, env=dict(os.environ, PASS=PASSWORD))
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    unittest.main()

# SPDX-License-Identifier: Apache-2.0
"""fontseal verify against fonts signed by fontseal and against signature
blobs this test builds itself: DER by hand from the encoding rules, the RSA
signature by `openssl dgst -sign`, the DSIG table compiled by fontTools, the
font laid out by the test's own code."""
import datetime
import hashlib
import itertools
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from cryptography import x509  # noqa: E402
from der_walk import SignedBlob, header  # noqa: E402
from e2e_support import (DEJAVU, LATIN_MODERN, TempDirTest, check, cli, directory,  # noqa: E402
                         make_ca, make_signer, open_checked, read, run, tables, whole_sum,
                         write)
from hand_stamps import integer, oid, seq, tlv  # noqa: E402
from tsa_server import TsaServer  # noqa: E402

FIX = None
PROGRAM = "Fontseal T\u00ebst \U0001D11E"  # Latin-1 and beyond 16 bits


class Fixture:
    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-verify-")
        d = self.dir = self.tmp.name
        self.ca_key, self.ca = make_ca(d)
        self.cert, self.key, self.pvk = make_signer(d, self.ca_key, self.ca, "publisher")
        self.other_cert, self.other_key, _ = make_signer(d, self.ca_key, self.ca, "other")
        self.stranger_key, self.stranger = make_ca(d, "stranger")
        # Stampers whose certificates may time-stamp: one of the CA, one of
        # the stranger.
        self.tsa_cert, self.tsa_key, _ = make_signer(d, self.ca_key, self.ca, "timestamper",
                                                     eku="critical,timeStamping")
        self.stranger_tsa, self.stranger_tsa_key, _ = make_signer(
            d, self.stranger_key, self.stranger, "stranger-stamper", eku="critical,timeStamping")
        self.server = TsaServer(os.path.join(d, "tsa")).start()
        # Certificates made by the cryptography package from a CA of long
        # standing: the publisher's key in one that expired ten days ago, the
        # other key in one valid since a month ago, a stamper then. `roots`
        # holds both CAs.
        day = datetime.timedelta(days=1)
        now = datetime.datetime.now(datetime.timezone.utc)
        self.old_ca = self.issue("old CA", self.ca_key, now - 90 * day, now + 90 * day)
        self.expired = self.issue("expired", self.key, now - 40 * day, now - 10 * day)
        self.stamper = self.issue("stamper", self.other_key, now - 30 * day, now + 30 * day,
                                  x509.ExtendedKeyUsageOID.TIME_STAMPING)
        self.roots = os.path.join(d, "roots.pem")
        write(self.roots, read(self.ca) + read(self.old_ca))

    def issue(self, name, key_pem, not_before, not_after,
              purpose=x509.ExtendedKeyUsageOID.CODE_SIGNING):
        """A code-signing certificate for `key_pem` from the old CA, or with
        name "old CA" that CA itself, signed by the CA's key."""
        from cryptography.hazmat.primitives import hashes, serialization
        ca_key = serialization.load_pem_private_key(read(self.ca_key), None)
        key = serialization.load_pem_private_key(read(key_pem), None)
        subject = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME,
                                                "Fontseal Test " + name)])
        is_ca = name == "old CA"
        builder = (x509.CertificateBuilder().subject_name(subject)
                   .issuer_name(subject if is_ca else
                                x509.load_pem_x509_certificate(read(self.old_ca)).subject)
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(not_before).not_valid_after(not_after)
                   .add_extension(x509.BasicConstraints(ca=is_ca, path_length=None), is_ca))
        if not is_ca:
            builder = builder.add_extension(
                x509.ExtendedKeyUsage([purpose]),
                purpose == x509.ExtendedKeyUsageOID.TIME_STAMPING)
        path = os.path.join(self.dir, name.replace(" ", "-") + ".pem")
        write(path, builder.sign(ca_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM))
        return path


def setUpModule():
    global FIX
    FIX = Fixture()


def tearDownModule():
    FIX.server.stop()
    FIX.tmp.cleanup()


def verify(*args):
    r = cli("verify", "--json", *args)
    return r.returncode, json.loads(r.stdout) if r.stdout.strip() else None, r


# ---- DER, from the encoding rules (tests/support/hand_stamps.py) -------------

NULL = b"\x05\x00"
HASH_OIDS = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1"}
INDIRECT = "1.3.6.1.4.1.311.2.1.4"


def layout_without_dsig(font, order):
    """The font without DSIG: directory sorted by tag, table data in `order`
    (a list of tags), each padded to 4, checkSumAdjustment recomputed."""
    data = {t: bytes(v) for t, v in tables(font).items() if t != b"DSIG"}
    head = bytearray(data[b"head"])
    head[8:12] = b"\0\0\0\0"
    data[b"head"] = bytes(head)
    tags = sorted(data)
    n = len(tags)
    es = n.bit_length() - 1
    out = bytearray(directory(font)[0] + struct.pack(">HHHH", n, 16 << es, es, 16 * n - (16 << es)))
    offsets, body, pos = {}, b"", 12 + 16 * n
    for t in order:
        offsets[t] = pos + len(body)
        body += data[t] + b"\0" * (-len(data[t]) % 4)
    for t in tags:
        out += struct.pack(">4sIII", t, whole_sum(data[t]), offsets[t], len(data[t]))
    out += body
    adjustment = (0xB1B0AFBA - whole_sum(bytes(out))) & 0xFFFFFFFF
    out[offsets[b"head"] + 8:offsets[b"head"] + 12] = struct.pack(">I", adjustment)
    return bytes(out)


def rsa_sign(key, data, digest=None):
    """`data` signed by openssl: digested and wrapped in a DigestInfo when
    `digest` is named, else `data` itself in the PKCS#1 block (a bare digest)."""
    with tempfile.TemporaryDirectory() as d:
        write(os.path.join(d, "in"), data)
        args = ["openssl", "pkeyutl", "-sign", "-inkey", key, "-in", os.path.join(d, "in"),
                "-out", os.path.join(d, "sig")]
        if digest:
            write(os.path.join(d, "in"), hashlib.new(digest, data).digest())
            args += ["-pkeyopt", "digest:" + digest]
        check(args)
        return read(os.path.join(d, "sig"))


def der_of(pem):
    from cryptography.hazmat.primitives.serialization import Encoding
    return x509.load_pem_x509_certificate(read(pem)).public_bytes(Encoding.DER)


def signer_info(cert_pem, algorithm, attributes, signature, unauthenticated=b""):
    cert = x509.load_pem_x509_certificate(read(cert_pem))
    return seq(integer(1), seq(cert.issuer.public_bytes(), integer(cert.serial_number)),
               algorithm, tlv(0xA0, attributes), seq(oid("1.2.840.113549.1.1.1"), NULL),
               tlv(0x04, signature), unauthenticated)


def counter_signature(signature, key, cert, when, bare, elsewhere=False):
    """A counterSignature attribute over `signature` (over other bytes when
    `elsewhere`), made with SHA-1 by the test: the stamper's RSA block holds
    a DigestInfo, or the bare digest."""
    if elsewhere:
        signature = signature[::-1]
    attributes = (seq(oid("1.2.840.113549.1.9.3"), tlv(0x31, oid("1.2.840.113549.1.7.1"))) +
                  seq(oid("1.2.840.113549.1.9.5"),
                      tlv(0x31, tlv(0x17, time.strftime("%y%m%d%H%M%SZ",
                                                         time.gmtime(when)).encode()))) +
                  seq(oid("1.2.840.113549.1.9.4"),
                      tlv(0x31, tlv(0x04, hashlib.sha1(signature).digest()))))
    signed = tlv(0x31, attributes)
    block = (rsa_sign(key, hashlib.sha1(signed).digest()) if bare else
             rsa_sign(key, signed, "sha1"))
    stamper = signer_info(cert, seq(oid(HASH_OIDS["sha1"]), NULL), attributes, block)
    return tlv(0xA1, seq(oid("1.2.840.113549.1.9.6"), tlv(0x31, stamper)))


def build_blob(image, digest, key, certs, signer_cert, stamp=None, extra_attributes=b""):
    """A SignedData over `image` (the laid-out font plus 00 01). The
    authenticated attributes are stored messageDigest first: not in DER
    order, so a verifier that re-sorts them fails. `stamp`: the arguments
    of counter_signature after the signature."""
    algorithm = seq(oid(HASH_OIDS[digest]), NULL)
    content_body = seq(oid("1.3.6.1.4.1.311.2.1.25")) + seq(
        algorithm, tlv(0x04, hashlib.new(digest, image).digest()))
    content = tlv(0x30, content_body)
    attributes = (seq(oid("1.2.840.113549.1.9.4"),
                      tlv(0x31, tlv(0x04, hashlib.new(digest, content_body).digest()))) +
                  seq(oid("1.2.840.113549.1.9.3"), tlv(0x31, oid(INDIRECT))) +
                  extra_attributes)
    signature = rsa_sign(key, tlv(0x31, attributes), digest)
    unauthenticated = counter_signature(signature, *stamp) if stamp else b""
    signed_data = seq(integer(1), tlv(0x31, algorithm), seq(oid(INDIRECT), tlv(0xA0, content)),
                      tlv(0xA0, b"".join(der_of(c) for c in certs)),
                      tlv(0x31, signer_info(signer_cert, algorithm, attributes, signature,
                                            unauthenticated)))
    return seq(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed_data))


def font_with_dsig(laid_out, blob):
    """`laid_out` (made by layout_without_dsig) with a DSIG table compiled by
    fontTools appended after the other tables' data; `blob` one signature, a
    list of them, or None."""
    from fontTools.ttLib import TTFont, newTable
    from fontTools.ttLib.tables.D_S_I_G_ import SignatureRecord
    dsig = newTable("DSIG")
    dsig.ulVersion, dsig.usFlag, dsig.usNumSigs = 1, 0, 0
    dsig.signatureRecords = []
    for one in [] if blob is None else blob if isinstance(blob, list) else [blob]:
        record = SignatureRecord()
        record.ulFormat, record.pkcs7 = 1, one
        record.usReserved1 = record.usReserved2 = 0
        dsig.signatureRecords.append(record)
    dsig.usNumSigs = len(dsig.signatureRecords)
    dsig_data = dsig.compile(TTFont())
    recs = directory(laid_out)[5]
    end = len(laid_out)
    entries = sorted([(t, c, o + 16, ln) for t, c, o, ln in recs] +
                     [(b"DSIG", whole_sum(dsig_data), end + 16, len(dsig_data))])
    n = len(entries)
    es = n.bit_length() - 1
    out = bytearray(laid_out[:4] + struct.pack(">HHHH", n, 16 << es, es, 16 * n - (16 << es)))
    for e in entries:
        out += struct.pack(">4sIII", *e)
    out += laid_out[12 + 16 * (n - 1):] + dsig_data
    head = [e for e in entries if e[0] == b"head"][0][2]
    out[head + 8:head + 12] = b"\0\0\0\0"
    out[head + 8:head + 12] = struct.pack(">I", (0xB1B0AFBA - whole_sum(bytes(out))) & 0xFFFFFFFF)
    return bytes(out)


class VerifyTest(TempDirTest):
    def sign(self, name, *extra, src=DEJAVU, signer=None, env=None):
        out = self.path(name)
        r = cli("sign", *(signer or ["--key", FIX.key, "--cert", FIX.cert]), "--program-name",
                PROGRAM, "--info-url", "https://example.test/", *extra, src, out, env=env,
                stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stderr)
        return out

    def test_fonts_signed_by_fontseal_verify(self):
        """Both signing routes (key files, and the per-user store in a private
        data directory), every digest, no time stamp and each kind."""
        env = dict(os.environ, XDG_DATA_HOME=self.path("data"), KEYPASS="secret")
        r = cli("store", "import", "--cert", FIX.cert, "--key", FIX.pvk, "--password-env",
                "KEYPASS", env=env, stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stderr)
        routes = {"key": None, "store": ["--store", r.stdout.strip()]}
        digests = {"md5": "MD5", "sha1": "SHA-1", "sha256": "SHA-256", "sha384": "SHA-384",
                   "sha512": "SHA-512"}
        stamps = {None: [], "counter-signature": ["--timestamp", FIX.server.url("/ts")],
                  "rfc3161": ["--timestamp-rfc3161", FIX.server.url("/ts")]}
        cases = itertools.product(routes, digests, stamps)
        for i, (route, digest, stamp) in enumerate(cases):
            src = (DEJAVU, LATIN_MODERN)[i % 2]
            with self.subTest(route=route, digest=digest, stamp=stamp, src=src):
                # SHA-256 is the default.
                chosen = ["--digest", digest] if digest != "sha256" else []
                out = self.sign("%s-%s-%s.ttf" % (route, digest, stamp), *chosen,
                                *stamps[stamp], src=src, signer=routes[route], env=env)
                code, [report], r = verify("--ca-file", FIX.ca, out)
                self.assertEqual(code, 0, r.stdout)
                self.assertEqual(report["status"], "valid")
                self.assertEqual(report["digest"], digests[digest])
                self.assertEqual(report["layout"], "writer")
                self.assertEqual(report["program_name"], PROGRAM)
                # One name for the URL everywhere (--info-url, info_url); the
                # earlier JSON name stays for a release.
                self.assertEqual(report["info_url"], "https://example.test/")
                self.assertEqual(report["more_info_url"], "https://example.test/")
                self.assertEqual(report["statement"], "commercial")
                self.assertIn("Fontseal Test Publisher publisher", report["signer"]["subject"])
                self.assertTrue(report["chain_checked"])
                self.assertEqual(report["dsig_flags"], 1)
                if stamp:
                    self.assertEqual(report["timestamp"]["kind"], stamp)
                    self.assertIn("tsa", report["timestamp"]["signer"])
                    self.assertGreater(report["timestamp"]["time"], 1600000000)
                else:
                    self.assertIsNone(report["timestamp"])
                # MD5 and SHA-1 still verify, with a note that they are weak.
                weak = digest in ("md5", "sha1")
                self.assertEqual((report["valid"], report["weak_digest"]), (True, weak))
                # Plain text names the same findings.
                text = cli("verify", out).stdout
                self.assertIn(": valid\n", text)
                self.assertEqual("note: weak digest" in text, weak)
                self.assertIn("chain: not checked", text)
                # openssl agrees: the SignedData (read by fontTools) verifies
                # over its content, chained to the CA.
                blob = bytes(open_checked(out)["DSIG"].signatureRecords[0].pkcs7)
                write(self.path("blob.der"), blob)
                write(self.path("inner.bin"), SignedBlob(blob).inner)
                r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-in",
                         self.path("blob.der"), "-content", self.path("inner.bin"), "-CAfile",
                         FIX.ca, "-purpose", "any", "-out", "/dev/null"])
                self.assertEqual(r.returncode, 0, r.stderr)

    def test_damage_names_the_failed_check(self):
        signed = {"ttf": self.sign("s.ttf"), "otf": self.sign("s.otf", src=LATIN_MODERN),
                  "cs": self.sign("cs.ttf", "--timestamp", FIX.server.url("/ts")),
                  "rfc3161": self.sign("rfc.ttf", "--timestamp-rfc3161", FIX.server.url("/ts"))}

        def changed_table(kind, tag):
            data = bytearray(read(signed[kind]))
            _, _, off, ln = [r for r in directory(bytes(data))[5] if r[0] == tag][0]
            data[off + ln // 2] ^= 0x01
            return bytes(data)

        def changed_checksum(tag):
            # Only the table directory's entry changes: it is signed too.
            data = bytearray(read(signed["ttf"]))
            i = [k for k, r in enumerate(directory(bytes(data))[5]) if r[0] == tag][0]
            data[12 + 16 * i + 7] ^= 0x01
            return bytes(data)

        def flipped_signature():
            data = bytearray(read(signed["ttf"]))
            _, _, off, _ = [r for r in directory(bytes(data))[5] if r[0] == b"DSIG"][0]
            blob_at = off + 8 + 12 + 8
            blob = SignedBlob(bytes(data[blob_at:]))
            data[blob_at + blob.signature_start + 5] ^= 0x80
            return bytes(data)

        def flipped_stamp(kind):
            # The blob's last byte: the last of the time stamp's own signature
            # (the counter-signer's, or the token's signer's).
            data = bytearray(read(signed[kind]))
            _, _, off, _ = [r for r in directory(bytes(data))[5] if r[0] == b"DSIG"][0]
            blob_at = off + 8 + 12 + 8
            _, h, length = header(bytes(data), blob_at)
            data[blob_at + h + length - 1] ^= 0x01
            return bytes(data)

        def block_outside_table():
            data = bytearray(read(signed["ttf"]))
            _, _, off, _ = [r for r in directory(bytes(data))[5] if r[0] == b"DSIG"][0]
            data[off + 16:off + 20] = struct.pack(">I", 0x10000)  # the block's offset
            return bytes(data)

        image = layout_without_dsig(read(DEJAVU), sorted(tables(read(DEJAVU))))
        signed_image = image + b"\x00\x01"
        cases = [
            ("block outside the table", block_outside_table(), "table", "outside"),
            ("glyf", changed_table("ttf", b"glyf"), "digest", "changed after signing"),
            ("CFF", changed_table("otf", b"CFF "), "digest", "changed after signing"),
            ("glyf checksum", changed_checksum(b"glyf"), "digest", "changed after signing"),
            ("head checksum", changed_checksum(b"head"), "digest",
             "the head table's checksum in the table directory changed after signing"),
            ("signature", flipped_signature(), "signature", "does not verify"),
            ("counter-signature", flipped_stamp("cs"), "timestamp", "does not verify"),
            ("RFC 3161 token", flipped_stamp("rfc3161"), "timestamp", "does not verify"),
            # The blob carries only another certificate of the same CA.
            ("swapped certificate",
             font_with_dsig(image, build_blob(signed_image, "sha256", FIX.key, [FIX.other_cert],
                                              FIX.cert)),
             "signature", "issuer and serial"),
            # The certificate named by issuer and serial, but another key signed.
            ("other key",
             font_with_dsig(image, build_blob(signed_image, "sha256", FIX.other_key, [FIX.cert],
                                              FIX.cert)),
             "signature", "does not verify"),
        ]
        for name, data, check_name, reason in cases:
            with self.subTest(name):
                write(self.path("bad"), data)
                code, [report], r = verify(self.path("bad"))
                self.assertEqual(code, 1, r.stdout)
                self.assertEqual(report["status"], "invalid")
                self.assertEqual(report["failed_check"], check_name)
                self.assertIn(reason, report["message"])
                if name == "head checksum":
                    # fontTools finds the head checksum wrong, as it was right before.
                    open_checked(signed["ttf"])
                    self.assertRaises(AssertionError, open_checked, self.path("bad"))

    def test_blobs_built_without_fontseal_verify_in_either_layout(self):
        source = read(DEJAVU)
        file_order = [r[0] for r in sorted(directory(source)[5], key=lambda r: r[2])]
        orders = {"file order of the input": file_order,
                  "reversed": sorted(file_order, reverse=True)}
        for name, order in orders.items():
            for digest in ("sha1", "sha256"):
                with self.subTest(name, digest=digest):
                    laid = layout_without_dsig(source, order)
                    blob = build_blob(laid + b"\x00\x01", digest, FIX.key, [FIX.cert, FIX.ca],
                                      FIX.cert)
                    font = self.path("built.ttf")
                    write(font, font_with_dsig(laid, blob))
                    code, [report], r = verify("--ca-file", FIX.ca, font)
                    self.assertEqual(code, 0, r.stdout)
                    self.assertEqual(report["digest"], "SHA-1" if digest == "sha1" else "SHA-256")
                    if name == "reversed":
                        self.assertEqual(report["layout"], "file")
                    self.assertEqual(report["dsig_flags"], 0)
                    # The same font with its data moved since signing.
                    moved = layout_without_dsig(source, sorted(order, key=lambda t: t != b"glyf"))
                    write(font, font_with_dsig(moved, blob))
                    code, [report], _ = verify(font)
                    self.assertEqual((code, report["failed_check"]), (1, "digest"))

    def test_program_text_that_is_not_text_is_reported_safely(self):
        cases = [  # program name (UTF-16 bytes), URL, what is reported of each
            # A lone surrogate and an escape in the program name, a byte past
            # ASCII in the URL.
            ("A".encode("utf-16-be") + b"\xd8\x00\x00\x1b", b"https://x.test/\xff",
             "A\ufffd\ufffd", "https://x.test/\ufffd"),
            # Longer than the report's 255 bytes: cut between characters,
            # never inside one.
            ("\u00eb".encode("utf-16-be") * 130, b"https://x.test/", "\u00eb" * 127,
             "https://x.test/"),
        ]
        image = layout_without_dsig(read(DEJAVU), sorted(tables(read(DEJAVU))))
        for name, url, shown_name, shown_url in cases:
            with self.subTest(shown_name[:4]):
                opus = seq(oid("1.3.6.1.4.1.311.2.1.12"), tlv(0x31, seq(
                    tlv(0xA0, tlv(0x80, name)), tlv(0xA1, tlv(0x80, url)))))
                blob = build_blob(image + b"\x00\x01", "sha256", FIX.key, [FIX.cert], FIX.cert,
                                  extra_attributes=opus)
                write(self.path("odd.ttf"), font_with_dsig(image, blob))
                code, [report], r = verify(self.path("odd.ttf"))
                self.assertEqual(code, 0, r.stderr)
                self.assertEqual(report["program_name"], shown_name)
                self.assertEqual(report["info_url"], shown_url)
                r = cli("verify", self.path("odd.ttf"))
                self.assertEqual(r.returncode, 0)
                # Labelled apart: the URL is no program.
                self.assertIn("  program: %s\n  more info: %s\n" % (shown_name, shown_url),
                              r.stdout)

    def test_counter_signatures_built_by_the_test_and_the_chain_at_their_time(self):
        image = layout_without_dsig(read(DEJAVU), sorted(tables(read(DEJAVU))))
        now = int(time.time())
        other = (FIX.tsa_key, FIX.tsa_cert)
        stamper = (FIX.other_key, FIX.stamper)
        stranger = (FIX.stranger_tsa_key, FIX.stranger_tsa)
        cases = [  # signer, stamper, bare RSA block, stamp time, (exit, failed check, reason)
            (FIX.cert, other, False, now, (0, None, None)),
            (FIX.cert, other, True, now, (0, None, None)),
            # Stamped before the signer's certificate was issued: the chain is
            # checked at the stamp's time, not now.
            (FIX.cert, other, False, now - 3 * 86400, (1, "chain", "not yet valid")),
            # An expired certificate holds at a time stamp's time inside its
            # validity; not at one after it, nor without a stamp; nor when
            # the stamper is no one the roots vouch for.
            (FIX.expired, stamper, False, now - 20 * 86400, (0, None, None)),
            (FIX.expired, stamper, False, now, (1, "chain", "expired")),
            (FIX.expired, None, False, None, (1, "chain", "expired")),
            (FIX.expired, stranger, False, now - 20 * 86400,
             (1, "chain", "time stamp signer's chain does not hold")),
        ]
        for signer, stamp, bare, when, (exit_code, failed, reason) in cases:
            with self.subTest(signer=signer, stamp=stamp, bare=bare, when=when):
                certs = [signer] + ([stamp[1]] if stamp else [])
                blob = build_blob(image + b"\x00\x01", "sha256", FIX.key, certs, signer,
                                  stamp=stamp and (*stamp, when, bare))
                write(self.path("stamped.ttf"), font_with_dsig(image, blob))
                code, [report], r = verify("--ca-file", FIX.roots, self.path("stamped.ttf"))
                self.assertEqual((code, report.get("failed_check")), (exit_code, failed),
                                 r.stdout)
                if reason:
                    self.assertIn(reason, report["message"])
                if stamp:
                    self.assertEqual(report["timestamp"]["time"], when)
                    self.assertIn("Publisher timestamper" if stamp == other else
                                  "Test stamper" if stamp == stamper else
                                  "Publisher stranger-stamper",
                                  report["timestamp"]["signer"])
                # Without roots nothing but the chain could fail.
                code, _, r = verify(self.path("stamped.ttf"))
                self.assertEqual(code, 0, r.stdout)
        # A stamp over another signature is refused.
        certs = [FIX.cert, FIX.other_cert]
        blob = build_blob(image + b"\x00\x01", "sha256", FIX.key, certs, FIX.cert,
                          stamp=(FIX.other_key, FIX.other_cert, now, False, True))
        write(self.path("stamped.ttf"), font_with_dsig(image, blob))
        code, [report], _ = verify(self.path("stamped.ttf"))
        self.assertEqual((code, report["failed_check"]), (1, "timestamp"))
        self.assertIn("messageDigest", report["message"])

    def test_several_signatures_are_judged_one_by_one(self):
        """A DSIG table of several signatures: the font verifies only when
        each one does; each one's verdict and details are reported."""
        image = layout_without_dsig(read(DEJAVU), sorted(tables(read(DEJAVU))))
        signed = image + b"\x00\x01"
        good = build_blob(signed, "sha256", FIX.key, [FIX.cert], FIX.cert)
        stamped = build_blob(signed, "sha1", FIX.key, [FIX.cert, FIX.tsa_cert], FIX.cert,
                             stamp=(FIX.tsa_key, FIX.tsa_cert, int(time.time()), False))
        forged = build_blob(signed, "sha256", FIX.other_key, [FIX.cert], FIX.cert)
        cases = [  # blobs, (status, failed signature or 0) of each, failed check
            ([good, stamped], ["valid", "valid"], None),
            ([stamped, forged], ["valid", "invalid"], "signature"),
            ([forged, stamped, good], ["invalid", "valid", "valid"], "signature"),
            # Judged whole, shown one by one only up to 16.
            ([good] * 20, ["valid"] * 16, None),
        ]
        for blobs, each, failed in cases:
            with self.subTest(each=each):
                write(self.path("several.ttf"), font_with_dsig(image, blobs))
                code, [report], r = verify("--ca-file", FIX.ca, self.path("several.ttf"))
                self.assertEqual(code, 0 if failed is None else 1, r.stdout)
                self.assertEqual(report["signatures"], len(blobs))
                self.assertEqual(report.get("failed_check"), failed)
                details = report["signature_details"]
                self.assertEqual([d["status"] for d in details], each)
                self.assertEqual([d["number"] for d in details], list(range(1, len(each) + 1)))
                # The font's own details are those of the first signature that
                # failed, or of the first.
                first = each.index("invalid") + 1 if failed else 1
                self.assertEqual(report["signature_number"], first)
                self.assertEqual(report["digest"], details[first - 1]["digest"])
                self.assertEqual(report["timestamp"], details[first - 1]["timestamp"])
                for blob, d in zip(blobs, details):
                    self.assertEqual(d["digest"], "SHA-1" if blob is stamped else "SHA-256")
                    self.assertEqual(d["timestamp"] is not None, blob is stamped)
                    self.assertEqual(d.get("failed_check"), "signature" if blob is forged else None)
                    self.assertEqual(d["chain_checked"], blob is not forged)
                if failed:
                    self.assertIn("signature %d of %d" % (first, len(blobs)), report["message"])
                text = cli("verify", self.path("several.ttf")).stdout
                for n, status in enumerate(each, 1):
                    self.assertIn("  signature %d: %s\n" % (n, status), text)
                self.assertEqual("signatures 17 to 20 not shown" in text, len(blobs) == 20)

    def test_roots_and_unsigned_fonts(self):
        signed = self.sign("s.ttf")
        code, [report], _ = verify("--ca-file", FIX.stranger, signed)
        self.assertEqual((code, report["failed_check"]), (1, "chain"))
        placeholder = self.path("placeholder.ttf")
        write(placeholder, font_with_dsig(
            layout_without_dsig(read(DEJAVU), sorted(tables(read(DEJAVU)))), None))
        self.assertEqual(len(tables(read(placeholder))[b"DSIG"]), 8)
        for font in (DEJAVU, placeholder):
            with self.subTest(font):
                code, [report], _ = verify(font)
                self.assertEqual((code, report["status"]), (1, "unsigned"))
                code, _, _ = verify("--allow-unsigned", font, signed)
                self.assertEqual(code, 0)
        # Any font that fails fails the run; no font at all is a usage error.
        code, reports, _ = verify(signed, DEJAVU)
        self.assertEqual((code, [r["status"] for r in reports]), (1, ["valid", "unsigned"]))
        self.assertEqual(cli("verify").returncode, 2)
        # One shape for every font: every key, null where there is no value,
        # never -1 or ""; a boolean verdict for the font and each signature.
        keys = {"font", "status", "valid", "result", "message", "failed_check", "dsig_flags",
                "signatures", "signature_number", "signer", "digest", "weak_digest",
                "statement", "program_name", "info_url", "more_info_url", "layout",
                "timestamp", "chain_checked", "members", "container", "checks",
                "signature_details"}
        flat = json.dumps(reports)
        self.assertNotRegex(flat, r': (-1|"")[,}]')
        self.assertEqual([set(o) for o in reports], [keys, keys])
        self.assertEqual([o["valid"] for o in reports + reports[0]["signature_details"]],
                         [True, False, True])
        self.assertEqual([reports[1][k] for k in ("dsig_flags", "signer", "signature_number")],
                         [None, None, None])
        self.assertEqual(set(reports[0]["signature_details"][0]),
                         keys - {"font", "dsig_flags", "signatures", "signature_number", "members",
                                 "container", "signature_details"} | {"number"})
        # Several fonts end with a count; one does not.
        cases = [([signed, DEJAVU, placeholder], [], "3 fonts: 1 valid, 2 failed"),
                 ([signed, DEJAVU], ["--allow-unsigned"],
                  "2 fonts: 1 valid, 0 failed, 1 unsigned (allowed)"),
                 ([signed], [], "  chain: not checked (no roots: --ca-file, --ca-path or --system-roots)")]
        for fonts, extra, last in cases:
            with self.subTest(last=last):
                self.assertEqual(cli("verify", *extra, *fonts).stdout.splitlines()[-1], last)

    def test_roots_files_as_cas_deliver_them(self):
        """--ca-file as a CA hands it out: a root and the intermediate that
        issued the signer, in either order, or the root alone when the font
        carries the intermediate, judged as openssl verify judges the chain.
        A file that cannot serve as roots is a usage error, not a verdict."""
        d = self.path("pki")
        os.mkdir(d)
        pem = {n: os.path.join(d, n + ".pem") for n in ("root", "inter", "leaf", "chain")}
        key = {n: os.path.join(d, n + ".key") for n in ("root", "inter", "leaf")}
        ext = {"root": "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign",
               "inter": "basicConstraints=critical,CA:TRUE,pathlen:0\n"
                        "keyUsage=critical,keyCertSign,cRLSign",
               "leaf": "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning"}
        for name, issuer in (("root", None), ("inter", "root"), ("leaf", "inter")):
            write(key[name] + ".ext", ext[name].encode())
            check(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout",
                   key[name], "-out", key[name] + ".csr", "-subj",
                   "/CN=Fontseal Test %s/O=Fontseal PKI" % name])
            check(["openssl", "x509", "-req", "-in", key[name] + ".csr", "-days", "20",
                   "-extfile", key[name] + ".ext", "-out", pem[name]] +
                  (["-CA", pem[issuer], "-CAkey", key[issuer]] if issuer else
                   ["-key", key[name]]))
        write(pem["chain"], read(pem["leaf"]) + read(pem["inter"]))
        leaf_only = self.sign("leaf.ttf", signer=["--key", key["leaf"], "--cert", pem["leaf"]])
        with_chain = self.sign("chain.ttf", signer=["--key", key["leaf"], "--cert", pem["chain"]])
        both, reversed_ = self.path("root+inter.pem"), self.path("inter+root.pem")
        write(both, read(pem["root"]) + read(pem["inter"]))
        write(reversed_, read(pem["inter"]) + read(pem["root"]))
        cases = [  # roots, font, (exit, failed check)
            (both, leaf_only, (0, None)),
            (reversed_, leaf_only, (0, None)),
            (pem["root"], with_chain, (0, None)),
            (pem["root"], leaf_only, (1, "chain")),
            (FIX.stranger, with_chain, (1, "chain")),
        ]
        for roots, font, expected in cases:
            with self.subTest(roots=os.path.basename(roots), font=os.path.basename(font)):
                code, [report], r = verify("--ca-file", roots, font)
                self.assertEqual((code, report["failed_check"]), expected, r.stdout)
                untrusted = ["-untrusted", pem["inter"]] if font == with_chain else []
                agreed = run(["openssl", "verify", "-purpose", "any", "-CAfile", roots] +
                             untrusted + [pem["leaf"]])
                self.assertEqual(agreed.returncode == 0, code == 0, agreed.stdout)

        fifo = self.path("roots.fifo")
        os.mkfifo(fifo)
        write(self.path("empty.pem"), b"")
        unusable = [  # roots file, what the message says
            (self.path("missing.pem"), "No such file or directory"),
            (self.dir, "it is a directory"),
            (fifo, "it is not a regular file"),  # and never waited on
            (self.path("empty.pem"), "it is empty"),
            (key["leaf"], "it holds no certificate"),
        ]
        r = cli("verify", "--ca-file", "", leaf_only)  # an unset variable in a script
        self.assertEqual((r.returncode, r.stdout), (2, ""), r.stderr)
        self.assertIn("--ca-file needs a file name", r.stderr)
        for (roots, why), args in itertools.product(unusable, (["--json"], [])):
            with self.subTest(roots=os.path.basename(roots), args=args):
                r = cli("verify", *args, "--ca-file", roots, leaf_only, DEJAVU, timeout=30)
                self.assertEqual((r.returncode, r.stdout), (2, ""), r.stderr)
                self.assertIn("roots file %s: %s" % (roots, why), r.stderr)

    def test_fonts_signed_by_a_foundry_verify(self):
        """Installed fonts whose DSIG holds a real signature (make deps installs
        Open Sans, signed by its foundry with a time stamp, its table data kept
        in the file's order)."""
        signed = []
        for root, _, files in os.walk("/usr/share/fonts"):
            for name in sorted(files):
                if name.lower().endswith((".ttf", ".otf")):
                    path = os.path.join(root, name)
                    dsig = [r for r in directory(read(path))[5] if r[0] == b"DSIG"]
                    if dsig and dsig[0][3] > 8:
                        signed.append(path)
        if not signed:
            self.skipTest("no foundry-signed font installed (make deps installs fonts-open-sans)")
        code, reports, r = verify(*signed)
        self.assertEqual(code, 0, r.stdout)
        for report in reports:
            with self.subTest(report["font"]):
                self.assertEqual(report["status"], "valid")
                if "open-sans" in report["font"]:
                    self.assertEqual(report["layout"], "file")
                    self.assertEqual(report["timestamp"]["kind"], "counter-signature")
                    self.assertIn("Monotype", report["signer"]["subject"])


if __name__ == "__main__":
    unittest.main()

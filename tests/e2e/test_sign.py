# SPDX-License-Identifier: Apache-2.0
"""fontseal sign end to end: real fonts, openssl-made certificates and PVK
keys, and checks by tools nobody here wrote (fontTools, openssl)."""
import ctypes
import hashlib
import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

from der_walk import SignedBlob
from e2e_support import (CLI, DEJAVU, LATIN_MODERN, LIB, check, cli, directory, make_ca,
                         make_signer, open_checked, read, run, tables, write)

PASSWORD = "correct horse"
SHA1_ALG = bytes.fromhex("300906052B0E03021A0500")
MD5_ALG = bytes.fromhex("300C06082A864886F70D02050500")
COMMERCIAL = bytes.fromhex("301C060A2B06010401823702010B310E300C060A2B060104018237020116")
INDIVIDUAL = bytes.fromhex("301C060A2B06010401823702010B310E300C060A2B060104018237020115")
FLAGS_ATTR = bytes.fromhex("301406092B0601040182372801310703050003000000")


class Fixtures:
    """One CA and several publishers, made once for the whole module."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-e2e-pki-")
        d = self.tmp.name
        self.ca_key, self.ca = make_ca(d)
        self.commercial = make_signer(d, self.ca_key, self.ca, "commercial",
                                      eku="codeSigning,1.3.6.1.4.1.311.2.1.22",
                                      password=PASSWORD)
        self.individual = make_signer(d, self.ca_key, self.ca, "individual",
                                      eku="codeSigning,1.3.6.1.4.1.311.2.1.21",
                                      password=PASSWORD, pvk_option="-pvk-weak")
        self.plain = make_signer(d, self.ca_key, self.ca, "plain", eku="codeSigning",
                                 pvk_option="-pvk-none")
        self.bundle = os.path.join(d, "bundle.p7b")
        check(["openssl", "crl2pkcs7", "-nocrl", "-certfile", self.ca, "-certfile",
               self.commercial[0], "-outform", "DER", "-out", self.bundle])
        self.dir = d


FIX = None


def setUpModule():
    global FIX
    FIX = Fixtures()


def tearDownModule():
    FIX.tmp.cleanup()


def dsig_blob(path):
    """The signature bytes of the font's DSIG table, read with fontTools."""
    font = open_checked(path)
    dsig = font["DSIG"]
    assert dsig.ulVersion == 1 and dsig.usFlag == 1 and dsig.usNumSigs == 1, vars(dsig)
    record = dsig.signatureRecords[0]
    assert record.ulFormat == 1
    return bytes(record.pkcs7)


class SignTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-e2e-")
        self.dir = self.tmp.name
        self.env = dict(os.environ, FONTSEAL_PASS=PASSWORD)

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def sign(self, src, out, signer=None, *extra, cert=None):
        signer = signer or FIX.commercial
        args = ["sign", "--cert", cert or signer[0], "--key", signer[2],
                "--password-env", "FONTSEAL_PASS"] + list(extra) + [src, out]
        return cli(*args, env=self.env)

    def verify(self, blob, inner, *ca):
        b, c = self.path("blob.der"), self.path("inner.bin")
        write(b, blob)
        write(c, inner)
        trust = ["-CAfile", FIX.ca, "-purpose", "any"] if ca else ["-noverify"]
        return run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-content", c,
                    "-in", b, "-out", "/dev/null"] + trust)

    def check_signed(self, src, digest):
        out = self.path("signed-" + os.path.basename(src))
        extra = ["--digest", digest]
        r = self.sign(src, out, None, *extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        blob = dsig_blob(out)
        parsed = SignedBlob(blob)

        # The content's digest covers the stripped font plus 00 01.
        stripped = self.path("stripped.ttf")
        self.assertEqual(cli("strip", src, stripped).returncode, 0)
        image = read(stripped) + b"\x00\x01"
        h = hashlib.new(digest, image).digest()
        self.assertEqual(parsed.inner[-len(h):], h)
        alg = SHA1_ALG if digest == "sha1" else MD5_ALG
        self.assertIn(alg, parsed.inner)
        self.assertEqual(parsed.signer_digest_algorithm, alg)
        self.assertEqual(parsed.digest_algorithms[2:], alg)

        # openssl verifies the signature and messageDigest over the content
        # cut out of the blob itself, and rejects any tampering.
        self.assertEqual(self.verify(blob, parsed.inner).returncode, 0)
        self.assertEqual(self.verify(blob, parsed.inner, "ca").returncode, 0)
        tampered = bytearray(parsed.inner)
        tampered[-1] ^= 1
        self.assertNotEqual(self.verify(blob, bytes(tampered)).returncode, 0)
        bad_sig = bytearray(blob)
        bad_sig[parsed.signature_start + 10] ^= 0x40
        self.assertNotEqual(self.verify(bytes(bad_sig), parsed.inner).returncode, 0)

        # Every table but the new DSIG is the stripped font's.
        new, old = tables(read(out)), tables(read(stripped))
        self.assertEqual(set(new) - {b"DSIG"}, set(old))
        for tag in old:
            if tag != b"head":
                self.assertEqual(new[tag], old[tag])
        return out, parsed

    def test_truetype_sha1_and_md5(self):
        for digest in ("sha1", "md5"):
            with self.subTest(digest=digest):
                self.check_signed(DEJAVU, digest)

    def test_opentype_sha1_and_md5(self):
        for digest in ("sha1", "md5"):
            with self.subTest(digest=digest):
                out, _ = self.check_signed(LATIN_MODERN, digest)
                self.assertEqual(read(out)[:4], b"OTTO")

    def test_resigning_and_in_place(self):
        first = self.path("a.ttf")
        self.assertEqual(self.sign(DEJAVU, first).returncode, 0)
        copy = self.path("b.ttf")
        shutil.copy(first, copy)
        r = self.sign(copy, copy)
        self.assertEqual(r.returncode, 0, r.stderr)
        one, two = SignedBlob(dsig_blob(first)), SignedBlob(dsig_blob(copy))
        self.assertEqual(one.inner, two.inner)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.ttf", "b.ttf"])

    def test_statement_and_publisher_info(self):
        cases = [
            (FIX.commercial, [], COMMERCIAL),          # auto, certificate says commercial
            (FIX.individual, [], INDIVIDUAL),          # auto, certificate says individual
            (FIX.plain, [], COMMERCIAL),               # auto, no purpose: commercial
            (FIX.commercial, ["--statement", "individual"], INDIVIDUAL),
            (FIX.individual, ["--statement", "commercial"], COMMERCIAL),
        ]
        for signer, extra, expected in cases:
            with self.subTest(signer=signer[0], extra=extra):
                out = self.path("s.ttf")
                r = self.sign(DEJAVU, out, signer, *extra)
                self.assertEqual(r.returncode, 0, r.stderr)
                attrs = SignedBlob(dsig_blob(out)).attributes
                self.assertEqual(attrs[2], expected)
                self.assertEqual(attrs[1], FLAGS_ATTR)
                # Neither name nor link: an empty publisher-info SEQUENCE.
                self.assertEqual(attrs[0], bytes.fromhex("3010060A2B06010401823702010C31023000"))

        out = self.path("named.ttf")
        r = self.sign(DEJAVU, out, None, "--program-name", "Ünï ✓", "--info-url",
                      "https://example.com/x")
        self.assertEqual(r.returncode, 0, r.stderr)
        blob = dsig_blob(out)
        parsed_blob = SignedBlob(blob)
        attr = parsed_blob.attributes[0]
        # A SET OF in DER order: the encodings sorted, so re-encoding the set
        # gives the same bytes.
        self.assertEqual(parsed_blob.attributes_in_blob, sorted(parsed_blob.attributes_in_blob))
        self.assertEqual(len(parsed_blob.attributes_in_blob), 5)
        name = "Ünï ✓".encode("utf-16-be")
        url = b"https://example.com/x"
        value = (b"\xA0" + bytes([len(name) + 2]) + b"\x80" + bytes([len(name)]) + name +
                 b"\xA1" + bytes([len(url) + 2]) + b"\x80" + bytes([len(url)]) + url)
        self.assertTrue(attr.endswith(b"\x30" + bytes([len(value)]) + value), attr.hex())
        # openssl parses the whole blob and names the attributes it knows.
        b = self.path("named.der")
        write(b, blob)
        parsed = check(["openssl", "asn1parse", "-inform", "DER", "-in", b])
        # The tool's default digest is SHA-256.
        for name in ("contentType", "messageDigest", "sha256", "rsaEncryption"):
            self.assertIn(name, parsed)

    def test_bundle_with_several_certificates(self):
        out = self.path("b.ttf")
        r = self.sign(DEJAVU, out, FIX.commercial, cert=FIX.bundle)
        self.assertEqual(r.returncode, 0, r.stderr)
        parsed = SignedBlob(dsig_blob(out))
        ders = []
        for pem in (FIX.ca, FIX.commercial[0]):
            ders.append(subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER"],
                                       capture_output=True, check=True).stdout)
        self.assertEqual(parsed.certificates, ders)
        self.assertEqual(self.verify(dsig_blob(out), parsed.inner, "ca").returncode, 0)


class FailureTest(SignTest):
    def expect(self, code, *, src=DEJAVU, cert=None, key=None, password=PASSWORD, out=None,
               words=()):
        out = out or self.path("out.ttf")
        cert = cert or FIX.commercial[0]
        key = key or FIX.commercial[2]
        before = sorted(os.listdir(self.dir))
        # Through the tool ...
        env = dict(os.environ, FONTSEAL_PASS=password)
        r = cli("sign", "--cert", cert, "--key", key, "--password-env", "FONTSEAL_PASS", src,
                out, env=env)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("(code %d)" % code, r.stderr)
        self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        for w in words:
            self.assertIn(w, r.stderr)
        self.assertNotIn(password, r.stderr)
        # ... and through the exported function.
        lib = ctypes.CDLL(LIB)
        lib.sign_font.restype = ctypes.c_int32
        got = lib.sign_font(src.encode(), out.encode(), cert.encode(), key.encode(),
                            password.encode(), 1, 0, None, None, None)
        self.assertEqual(got, code)
        self.assertFalse(os.path.exists(out))
        self.assertEqual(sorted(os.listdir(self.dir)), before)

    def test_certificate_and_key_failures(self):
        text = self.path("notes.txt")
        write(text, b"these are not certificates\n")
        self.expect(-6, cert=self.path("missing.pem"), words=["missing.pem"])
        self.expect(-7, cert=text, words=["notes.txt"])
        self.expect(-8, key=self.path("missing.pvk"), words=["missing.pvk"])
        truncated = self.path("short.pvk")
        write(truncated, read(FIX.commercial[2])[:100])
        self.expect(-9, key=truncated, words=["short.pvk"])
        self.expect(-10, password="wrong password", words=["password"])
        self.expect(-11, cert=FIX.individual[0], words=[FIX.individual[0], FIX.commercial[2]])

    def test_font_failures(self):
        self.expect(-3, src=self.path("missing.ttf"), words=["missing.ttf"])
        self.expect(-4, out=self.path("no/such/dir/out.ttf"), words=["out.ttf"])
        bad = self.path("bad.ttf")
        data = bytearray(read(DEJAVU))
        struct.pack_into(">H", data, 4, 257)
        write(bad, bytes(data))
        self.expect(-5, src=bad, words=["bad.ttf"])


class CliTest(SignTest):
    def test_family_goes_on_after_a_failure(self):
        fam, outdir = self.path("fam"), self.path("signed")
        os.mkdir(fam)
        os.mkdir(outdir)
        good1, bad, good2 = (os.path.join(fam, n) for n in ("A.ttf", "B.ttf", "C.otf"))
        shutil.copy(DEJAVU, good1)
        write(bad, b"\0\1\0\0" + b"\xff" * 60)
        shutil.copy(LATIN_MODERN, good2)
        r = cli("sign", "--cert", FIX.commercial[0], "--key", FIX.commercial[2],
                "--password-env", "FONTSEAL_PASS", "--out-dir", outdir, good1, bad, good2,
                env=self.env)
        self.assertEqual(r.returncode, 1)
        lines = r.stdout.strip().splitlines()
        self.assertTrue(lines.pop(0).startswith("signing 3 fonts into "), r.stdout)
        self.assertEqual(len(lines), 4, r.stdout)
        self.assertIn("A.ttf", lines[0])
        self.assertIn("FAILED", lines[1])
        self.assertIn("C.otf", lines[2])
        self.assertEqual(lines[3], "2 signed, 1 failed")
        self.assertEqual(sorted(os.listdir(outdir)), ["A.ttf", "C.otf"])
        dsig_blob(os.path.join(outdir, "C.otf"))

    def test_password_sources(self):
        out = self.path("o.ttf")
        pw = self.path("pw.txt")
        write(pw, (PASSWORD + "\n").encode())
        r = cli("sign", "--cert", FIX.commercial[0], "--key", FIX.commercial[2],
                "--password-file", pw, DEJAVU, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        # An unencrypted key needs no password option at all.
        r = cli("sign", "--cert", FIX.plain[0], "--key", FIX.plain[2], DEJAVU, out,
                stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stderr)
        # An encrypted key without a password source and without a terminal.
        r = subprocess.run([CLI, "sign", "--cert", FIX.commercial[0], "--key", FIX.commercial[2],
                            DEJAVU, out], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, start_new_session=True)
        self.assertEqual(r.returncode, 1)
        self.assertIn("terminal", r.stderr)
        # A password file that is a directory cannot be read: it is no wrong password.
        r = cli("sign", "--cert", FIX.commercial[0], "--key", FIX.commercial[2],
                "--password-file", self.dir, DEJAVU, out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("is a directory", r.stderr)
        self.assertNotIn("does not open", r.stderr)
        # A password is never accepted as an argument.
        r = cli("sign", "--cert", FIX.commercial[0], "--key", FIX.commercial[2],
                "--password", PASSWORD, DEJAVU, out)
        self.assertEqual(r.returncode, 2)

    def test_password_asked_on_the_terminal_without_echo(self):
        import pty
        import select
        out = self.path("tty.ttf")
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(CLI, [CLI, "sign", "--cert", FIX.commercial[0], "--key", FIX.commercial[2],
                           DEJAVU, out])
        seen = b""

        def read_until(marker, limit=20):
            nonlocal seen
            while marker not in seen:
                ready, _, _ = select.select([fd], [], [], limit)
                if not ready:
                    break
                try:
                    chunk = os.read(fd, 1024)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
        read_until(b"Password for ")
        os.write(fd, (PASSWORD + "\n").encode())
        read_until(b"\n\n", limit=30)
        # Never hang the suite: a child still waiting after a minute is killed.
        for _ in range(600):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            time.sleep(0.1)
        else:
            os.kill(pid, 9)
            _, status = os.waitpid(pid, 0)
        os.close(fd)
        self.assertEqual(os.WEXITSTATUS(status), 0, seen)
        self.assertIn(b"Password for " + FIX.commercial[2].encode(), seen)
        self.assertNotIn(PASSWORD.encode(), seen)
        dsig_blob(out)

    def test_usage_errors_and_help(self):
        self.assertEqual(cli("sign", DEJAVU, self.path("o.ttf")).returncode, 2)
        # Two inputs of one name would overwrite each other's signed font.
        r = cli("sign", "--cert", FIX.commercial[0], "--key", FIX.commercial[2], "--out-dir",
                self.dir, DEJAVU, os.path.join(FIX.dir, "DejaVuSans.ttf"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("DejaVuSans.ttf", r.stderr)
        self.assertEqual(cli("sign", "--cert", "c", "--key", "k", "--digest", "sha3-256",
                             DEJAVU, self.path("o.ttf")).returncode, 2)
        r = cli("sign", "--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("--password-file", r.stdout)
        r = cli("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("sign", r.stdout)

    def test_library_exports_the_four_functions_and_only_its_own_names(self):
        out = check(["nm", "-D", "--defined-only", LIB])
        code = sorted(line.split()[-1] for line in out.splitlines()
                      if line.split()[-2] in ("T", "W", "i"))
        original = ["create_win_csp", "release_win_csp", "sign_font", "win_sign_font"]
        self.assertEqual([name for name in code if not name.startswith("fontseal_")], original)
        self.assertIn("fontseal_strip", code)


if __name__ == "__main__":
    unittest.main()

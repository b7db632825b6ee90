# SPDX-License-Identifier: Apache-2.0
"""Keys, chains and digests as publishers get them today, through the CLI
(fontseal_sign): every key form openssl writes, PKCS#12 chains, PEM chains and
PKCS#7 PEM bundles, SHA-2; checked with openssl and python3-cryptography."""
import hashlib
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding

from der_walk import SignedBlob, children, element
from e2e_support import (DEJAVU, check, cli, make_ca, make_signer, open_checked, read, run,
                         write)

PASSWORD = "tiger lily"
DIGEST_OIDS = {  # AlgorithmIdentifier with NULL parameters
    "sha256": "300d06096086480165030402010500",
    "sha384": "300d06096086480165030402020500",
    "sha512": "300d06096086480165030402030500",
}


class Pki:
    """A CA, an intermediate and a publisher; the publisher's key in every form."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-keys-")
        d = self.dir = self.tmp.name
        self.ca_key, self.ca = make_ca(d)
        self.int_key, self.intermediate = make_ca(d, "intermediate")
        self.cert, self.key, self.pvk = make_signer(d, self.ca_key, self.ca, "publisher",
                                                    password=PASSWORD)
        self.other_cert, self.other_key, _ = make_signer(d, self.ca_key, self.ca, "other",
                                                         pvk_option="-pvk-none")
        p = lambda name: os.path.join(d, name)
        out = ["-passout", "pass:" + PASSWORD]
        self.chain = p("chain.pem")  # publisher first, then the rest, in this order
        write(self.chain, read(self.cert) + read(self.intermediate) + read(self.ca))
        self.forms = {"pvk": (self.pvk, True)}
        check(["openssl", "pkey", "-in", self.key, "-out", p("pkcs8.pem")])
        self.forms["pem-pkcs8"] = (p("pkcs8.pem"), False)
        check(["openssl", "pkcs8", "-topk8", "-v2", "aes256", "-in", self.key,
               "-out", p("pkcs8-aes.pem")] + out)
        self.forms["pem-pkcs8-aes256"] = (p("pkcs8-aes.pem"), True)
        check(["openssl", "rsa", "-traditional", "-in", self.key, "-out", p("pkcs1.pem")])
        self.forms["pem-pkcs1"] = (p("pkcs1.pem"), False)
        check(["openssl", "pkey", "-in", self.key, "-outform", "DER", "-out", p("pkcs8.der")])
        self.forms["der-pkcs8"] = (p("pkcs8.der"), False)
        check(["openssl", "pkcs8", "-topk8", "-v2", "aes256", "-in", self.key, "-outform",
               "DER", "-out", p("pkcs8-aes.der")] + out)
        self.forms["der-pkcs8-aes256"] = (p("pkcs8-aes.der"), True)
        for name, extra in (("p12", []), ("p12-legacy", ["-legacy"])):
            check(["openssl", "pkcs12", "-export", "-inkey", self.key, "-in", self.cert,
                   "-certfile", self.intermediate, "-out", p(name + ".pfx")] + out + extra)
            self.forms[name] = (p(name + ".pfx"), True)
        # A PKCS#12 holding the key and only a certificate that is not the key's.
        from cryptography.hazmat.primitives.serialization import (BestAvailableEncryption,
                                                                  load_pem_private_key, pkcs12)
        key = load_pem_private_key(read(self.key), None)
        other = x509.load_pem_x509_certificate(read(self.other_cert))
        write(p("p12-nokeycert.pfx"), pkcs12.serialize_key_and_certificates(
            b"other", key, None, [other], BestAvailableEncryption(PASSWORD.encode())))
        self.p12_without_cert = p("p12-nokeycert.pfx")
        check(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
               "-out", p("ec.pem")])
        self.ec = p("ec.pem")
        check(["openssl", "genpkey", "-algorithm", "ED25519", "-out", p("ed.pem")])
        self.ed = p("ed.pem")


PKI = None


def setUpModule():
    global PKI
    PKI = Pki()


def tearDownModule():
    PKI.tmp.cleanup()


def der_cert(pem):
    return check_bytes(["openssl", "x509", "-in", pem, "-outform", "DER"])


def check_bytes(args):
    r = subprocess.run(args, capture_output=True)
    if r.returncode != 0:
        raise RuntimeError(r.stderr.decode())
    return r.stdout


def blob_of(path):
    dsig = open_checked(path)["DSIG"]
    return bytes(dsig.signatureRecords[0].pkcs7)


def signed_attributes(blob):
    """The authenticated attributes element ([0] IMPLICIT SET OF) as stored."""
    top = children(blob, 0)
    sd = children(blob, children(blob, top[1][1])[0][1])
    si = children(blob, children(blob, sd[-1][1])[0][1])
    assert si[3][0] == 0xA0
    return element(blob, si[3][1])


class KeyFormsTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-keys-")
        self.dir = self.tmp.name
        self.env = dict(os.environ, KEYPASS=PASSWORD)

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def sign(self, key, out, *extra, cert=None, password=True, src=DEJAVU):
        args = ["sign", "--key", key] + (["--cert", cert] if cert else [])
        if password:
            args += ["--password-env", "KEYPASS"]
        return cli(*(args + list(extra) + [src, out]), env=self.env,
                   stdin=subprocess.DEVNULL, start_new_session=True)

    def image_digest(self, src, digest):
        stripped = self.path("stripped")
        self.assertEqual(cli("strip", src, stripped).returncode, 0)
        return hashlib.new(digest, read(stripped) + b"\x00\x01").digest()

    def check_signature(self, out, digest, chain):
        blob = blob_of(out)
        parsed = SignedBlob(blob)
        # openssl: the SignedData over the content bytes, chained to the CA.
        b, c = self.path("blob.der"), self.path("inner.bin")
        write(b, blob)
        write(c, parsed.inner)
        r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-content", c,
                 "-in", b, "-out", "/dev/null", "-CAfile", PKI.ca, "-purpose", "any"])
        self.assertEqual(r.returncode, 0, r.stderr)
        # python3-cryptography: the RSA signature over the attributes as stored.
        attrs = bytearray(signed_attributes(blob))
        attrs[0] = 0x31
        signer = x509.load_der_x509_certificate(parsed.certificates[0])
        algorithm = {"sha256": hashes.SHA256(), "sha384": hashes.SHA384(),
                     "sha512": hashes.SHA512()}[digest]
        signer.public_key().verify(parsed.signature, bytes(attrs), padding.PKCS1v15(),
                                   algorithm)
        # The content's DigestInfo holds the digest of the stripped font + 00 01.
        self.assertIn(bytes.fromhex(DIGEST_OIDS[digest]), parsed.inner)
        self.assertTrue(parsed.inner.endswith(self.image_digest(DEJAVU, digest)))
        self.assertEqual(parsed.signer_digest_algorithm, bytes.fromhex(DIGEST_OIDS[digest]))
        self.assertEqual(parsed.certificates, [der_cert(c) for c in chain])
        # The attributes are a DER SET OF: sorted by their encodings.
        members = [element(bytes(attrs), c[1]) for c in children(bytes(attrs), 0)]
        self.assertEqual(members, sorted(members))

    def test_every_key_form_signs_with_sha256(self):
        for form, (key, encrypted) in sorted(PKI.forms.items()):
            with self.subTest(form=form):
                out = self.path(form + ".ttf")
                p12 = form.startswith("p12")
                r = self.sign(key, out, cert=None if p12 else PKI.chain, password=encrypted)
                self.assertEqual(r.returncode, 0, r.stderr)
                chain = [PKI.cert, PKI.intermediate] if p12 else [PKI.cert, PKI.intermediate,
                                                                  PKI.ca]
                self.check_signature(out, "sha256", chain)

    def test_sha384_sha512_and_pkcs7_pem_bundle(self):
        bundle = self.path("bundle.p7b")
        check(["openssl", "crl2pkcs7", "-nocrl", "-certfile", PKI.chain, "-out", bundle])
        self.assertTrue(read(bundle).startswith(b"-----BEGIN PKCS7-----"))
        for digest in ("sha384", "sha512"):
            with self.subTest(digest=digest):
                out = self.path(digest + ".ttf")
                r = self.sign(PKI.forms["pem-pkcs8"][0], out, "--digest", digest, cert=bundle,
                              password=False)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.check_signature(out, digest, [PKI.cert, PKI.intermediate, PKI.ca])

    def test_refusals_say_what_is_wrong(self):
        notes = self.path("notes.txt")
        write(notes, b"neither a key nor a certificate\n")
        cases = [
            # (key, cert, password given, code, words)
            (PKI.ec, PKI.chain, False, -12, ["ec.pem", "RSA"]),
            (PKI.ed, PKI.chain, False, -12, ["ed.pem", "RSA"]),
            (PKI.p12_without_cert, None, True, -11, ["p12-nokeycert.pfx"]),
            (self.path("missing.key"), PKI.chain, False, -8, ["missing.key"]),
            (notes, PKI.chain, False, -13, ["notes.txt", "not a private-key file"]),
            (PKI.pvk, notes, False, -7, ["notes.txt", "no certificate"]),
        ]
        for form, (key, encrypted) in sorted(PKI.forms.items()):
            if encrypted:
                cases.append((key, None if form.startswith("p12") else PKI.chain, "wrong", -10,
                              ["password"]))
        for key, cert, password, code, words in cases:
            with self.subTest(key=os.path.basename(key), code=code):
                out = self.path("refused.ttf")
                env = self.env
                if password == "wrong":
                    self.env = dict(os.environ, KEYPASS="not " + PASSWORD)
                r = self.sign(key, out, cert=cert, password=bool(password))
                self.env = env
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("(code %d)" % code, r.stderr)
                self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
                for w in words:
                    self.assertIn(w, r.stderr)
                self.assertNotIn("needs a password", r.stderr)
                self.assertFalse(os.path.exists(out))

    def test_output_permissions_follow_the_input_like_cp(self):
        src = self.path("in.ttf")
        shutil.copy(DEJAVU, src)
        os.chmod(src, 0o644)
        old = os.umask(0o022)
        try:
            new = self.path("new.ttf")
            self.assertEqual(self.sign(PKI.forms["pem-pkcs8"][0], new, cert=PKI.chain,
                                       password=False, src=src).returncode, 0)
            self.assertEqual(stat.S_IMODE(os.stat(new).st_mode), 0o644)
            kept = self.path("kept.ttf")
            write(kept, b"old")
            os.chmod(kept, 0o600)
            self.assertEqual(self.sign(PKI.forms["pem-pkcs8"][0], kept, cert=PKI.chain,
                                       password=False, src=src).returncode, 0)
            self.assertEqual(stat.S_IMODE(os.stat(kept).st_mode), 0o600)
        finally:
            os.umask(old)


if __name__ == "__main__":
    unittest.main()

# SPDX-License-Identifier: Apache-2.0
"""The user's certificate store through the CLI: import (PVK and PKCS#12),
list (text and JSON), sign --store with SHA-2 through the library's own
SignedData writer, remove, and the store's refusals. Thumbprints and validity
are checked against openssl and python3-cryptography, signatures with
openssl smime."""
import ctypes
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from cryptography import x509

from der_walk import SignedBlob
from e2e_support import (DEJAVU, LIB, check, cli, make_ca, make_signer, open_checked, read, run,
                          write)

PASSWORD = "tiger lily"
FONTSEAL_E_REQUEST = -14


class Request(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("input_path", ctypes.c_char_p),
                ("output_path", ctypes.c_char_p), ("cert_path", ctypes.c_char_p),
                ("key_path", ctypes.c_char_p), ("password", ctypes.c_char_p),
                ("password_length", ctypes.c_size_t), ("digest", ctypes.c_int32),
                ("statement", ctypes.c_int32), ("program_name", ctypes.c_char_p),
                ("more_info_url", ctypes.c_char_p), ("timestamp_servers", ctypes.c_void_p),
                ("timestamp_server_count", ctypes.c_size_t),
                ("require_timestamp", ctypes.c_int32), ("timestamp_digest", ctypes.c_int32),
                ("store_thumbprint", ctypes.c_char_p)]


class Report(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("result", ctypes.c_int32),
                ("message", ctypes.c_char * 512), ("timestamp_server", ctypes.c_int32),
                ("timestamp_time", ctypes.c_int64)]


def fingerprint(pem):
    """openssl's SHA-1 fingerprint as 40 upper-case hex digits."""
    out = check(["openssl", "x509", "-in", pem, "-noout", "-fingerprint", "-sha1"])
    return out.strip().split("=", 1)[1].replace(":", "").upper()


def blob_of(path):
    return bytes(open_checked(path)["DSIG"].signatureRecords[0].pkcs7)


def utc_text(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


class StoreTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="fontseal-store-")
        d = cls.dir = cls.tmp.name
        cls.ca_key, cls.ca = make_ca(d)
        cls.cert, cls.key, cls.pvk = make_signer(d, cls.ca_key, cls.ca, "publisher",
                                                 password=PASSWORD)
        cls.other_cert, cls.other_key, _ = make_signer(d, cls.ca_key, cls.ca, "other",
                                                       pvk_option="-pvk-none")
        cls.pfx = os.path.join(d, "other.pfx")
        check(["openssl", "pkcs12", "-export", "-inkey", cls.other_key, "-in", cls.other_cert,
               "-certfile", cls.ca, "-out", cls.pfx, "-passout", "pass:" + PASSWORD])

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="fontseal-store-")
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.work.name, "data"),
                        KEYPASS=PASSWORD)
        self.store = os.path.join(self.work.name, "data", "fontseal", "certstore", "MY")

    def tearDown(self):
        self.work.cleanup()

    def path(self, name):
        return os.path.join(self.work.name, name)

    def fontseal(self, *args):
        return cli(*args, env=self.env, stdin=subprocess.DEVNULL, start_new_session=True)

    def ok(self, *args):
        r = self.fontseal(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def refused(self, code, words, *args):
        r = self.fontseal(*args)
        self.assertEqual(r.returncode, code, (args, r.stdout, r.stderr))
        self.assertIn(words, r.stderr, args)
        return r.stderr

    def verify(self, out):
        """openssl: the SignedData verifies over its content, chained to the CA."""
        blob = blob_of(out)
        b, c = self.path("blob.der"), self.path("inner.bin")
        write(b, blob)
        write(c, SignedBlob(blob).inner)
        r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-content", c,
                 "-in", b, "-out", "/dev/null", "-CAfile", self.ca, "-purpose", "any"])
        self.assertEqual(r.returncode, 0, r.stderr)
        return blob

    def test_import_list_sign_and_remove(self):
        publisher = self.ok("store", "import", "--cert", self.cert, "--key", self.pvk,
                            "--password-env", "KEYPASS", "--name", "Foundry key").strip()
        self.assertEqual(publisher, fingerprint(self.cert))
        other = self.ok("store", "import", "--key", self.pfx, "--password-env",
                        "KEYPASS").strip()
        self.assertEqual(other, fingerprint(self.other_cert))
        ca = self.ok("store", "import", "--cert", self.ca).strip()
        self.assertEqual(ca, fingerprint(self.ca))

        listed = json.loads(self.ok("store", "list", "--json"))
        self.assertEqual(sorted(e["thumbprint"] for e in listed), sorted([publisher, other, ca]))
        self.assertEqual([e["index"] for e in listed], list(range(3)))
        expected = {publisher: (self.cert, "Foundry key", True),
                    other: (self.other_cert, "Fontseal Test Publisher other", True),
                    ca: (self.ca, "Fontseal Test CA", False)}
        for e in listed:
            pem, name, has_key = expected[e["thumbprint"]]
            c = x509.load_pem_x509_certificate(read(pem))
            cn = lambda n: n.get_attributes_for_oid(x509.NameOID.COMMON_NAME)[0].value
            self.assertEqual((e["subject"], e["issuer"], e["friendly_name"],
                              e["has_private_key"], e["valid_from"], e["valid_to"]),
                             (cn(c.subject), cn(c.issuer), name, has_key,
                              utc_text(c.not_valid_before), utc_text(c.not_valid_after)))
        text = self.ok("store", "list")
        for e in listed:
            self.assertIn("[%d] %s\n" % (e["index"], e["subject"]), text)
            self.assertIn(e["thumbprint"], text)

        # The store route signs as the key files do: the same SignedData byte
        # for byte, with SHA-2, verified by openssl; on several threads too.
        for thumbprint, key, cert, digest in ((publisher, self.pvk, self.cert, "sha256"),
                                              (other, self.pfx, self.other_cert, "sha512")):
            stored, by_file = self.path("stored.ttf"), self.path("file.ttf")
            self.ok("sign", "--store", thumbprint[:8].lower(), "--digest", digest, DEJAVU,
                    stored)
            self.ok("sign", "--key", key, "--cert", cert, "--password-env", "KEYPASS",
                    "--digest", digest, DEJAVU, by_file)
            blob = self.verify(stored)
            self.assertEqual(blob, blob_of(by_file))
            self.assertEqual(SignedBlob(blob).certificates,
                             [x509.load_pem_x509_certificate(read(cert)).public_bytes(
                                 x509.base.serialization.Encoding.DER)])
        family = []
        for i in range(4):
            family.append(self.path("f%d.ttf" % i))
            shutil.copy(DEJAVU, family[-1])
        os.mkdir(self.path("out"))
        self.ok("sign", "--store", other, "--digest", "sha512", "--jobs", "4", "--out-dir",
                self.path("out"), *family)
        for f in family:
            self.assertEqual(blob_of(os.path.join(self.path("out"), os.path.basename(f))), blob)

        removed = self.ok("store", "remove", other[:10])
        self.assertIn(other, removed)
        self.assertEqual(sorted(e["thumbprint"] for e in json.loads(
            self.ok("store", "list", "--json"))), sorted([publisher, ca]))
        self.refused(1, "no certificate in the store", "store", "remove", other)

    def test_refusals_say_what_is_wrong(self):
        publisher = self.ok("store", "import", "--cert", self.cert, "--key", self.pvk,
                            "--password-env", "KEYPASS").strip()
        ca = self.ok("store", "import", "--cert", self.ca).strip()
        out = self.path("out.ttf")
        key_file = os.path.join(self.store, publisher + ".key")
        self.assertTrue(os.path.exists(key_file))
        cases = [
            (1, "has a thumbprint starting with DEADBEEF (code -43)", ["--store", "deadbeef"]),
            (1, "is not a certificate thumbprint (8 to 40 hex digits) (code -42)",
             ["--store", publisher[:7]]),
            (1, "has no private key in the store (code -45)", ["--store", ca]),
            (2, "--store", ["--store", publisher, "--key", self.pvk]),
            (2, "--store", ["--store", publisher, "--password-env", "KEYPASS"]),
        ]
        for code, words, extra in cases:
            with self.subTest(extra=extra):
                self.refused(code, words, "sign", *(extra + [DEJAVU, out]))
                self.assertFalse(os.path.exists(out))
        os.chmod(key_file, 0o640)
        message = self.refused(1, "may be read by other users", "sign", "--store", publisher,
                               DEJAVU, out)
        self.assertIn(key_file, message)
        self.assertIn("(code -46)", message)
        self.assertFalse(os.path.exists(out))
        os.chmod(key_file, 0o600)
        self.ok("sign", "--store", publisher, DEJAVU, out)
        self.verify(out)
        # The store command's own refusals.
        self.refused(2, "import needs --cert FILE", "store", "import")
        self.refused(2, "a password is only used with --key", "store", "import", "--cert",
                     self.ca, "--password-env", "KEYPASS")
        self.refused(2, "fontseal store", "store", "frobnicate")
        self.refused(1, "(code -42)", "store", "remove", "not-hex!")
        self.assertIn("fontseal store list", self.ok("store", "list", "--help"))
        # The options of a signing reach the store route: a time stamp required
        # of a server that does not answer fails the signing.
        self.refused(1, "http://127.0.0.1:9/", "sign", "--store", publisher,
                     "--timestamp-rfc3161", "http://127.0.0.1:9/", "--require-timestamp",
                     DEJAVU, out + ".2")
        self.assertFalse(os.path.exists(out + ".2"))

    def test_request_field_store_thumbprint(self):
        """fontseal_sign: store_thumbprint excludes the key files, and is read
        only when the request's size covers it."""
        publisher = self.ok("store", "import", "--cert", self.cert, "--key", self.pvk,
                            "--password-env", "KEYPASS").strip()
        saved = os.environ.get("XDG_DATA_HOME")
        os.environ["XDG_DATA_HOME"] = self.env["XDG_DATA_HOME"]
        self.addCleanup(lambda: os.environ.pop("XDG_DATA_HOME") if saved is None
                        else os.environ.update(XDG_DATA_HOME=saved))
        lib = ctypes.CDLL(LIB)
        out = self.path("lib.ttf")
        full = ctypes.sizeof(Request)
        older = Request.store_thumbprint.offset
        cases = [  # size, key, cert, store, result
            (full, None, None, publisher[:8], 0),
            (full, self.pvk, None, publisher, FONTSEAL_E_REQUEST),
            (full, None, self.cert, publisher, FONTSEAL_E_REQUEST),
            (older, None, None, publisher, FONTSEAL_E_REQUEST),  # not read: no key at all
            (full, None, None, "0123456789", -43),
        ]
        for size, key, cert, store, result in cases:
            with self.subTest(size=size, key=key, cert=cert, store=store):
                if os.path.exists(out):
                    os.unlink(out)
                enc = lambda t: t.encode() if t else None
                request = Request(size=size, input_path=DEJAVU.encode(),
                                  output_path=out.encode(), key_path=enc(key),
                                  cert_path=enc(cert), store_thumbprint=enc(store))
                report = Report(size=ctypes.sizeof(Report))
                self.assertEqual(lib.fontseal_sign(ctypes.byref(request), ctypes.byref(report)),
                                 result, report.message)
                self.assertEqual(os.path.exists(out), result == 0)
                if result == 0:
                    self.verify(out)
        self.assertIn(b"(code -43)", report.message)


if __name__ == "__main__":
    unittest.main()

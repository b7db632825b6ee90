# SPDX-License-Identifier: Apache-2.0
"""Time stamps end to end: the test servers checked with clients nobody here
wrote (osslsigncode, openssl ts), and fonts signed through the exported
sign_font with a time-stamp URL, their counter-signatures verified by openssl."""
import base64
import ctypes
import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.request

from der_walk import SignedBlob, children, element
from e2e_support import DEJAVU, LIB, check, make_ca, make_signer, open_checked, read, run, write

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tsa_server import TsaServer  # noqa: E402

PASSWORD = "stamp pass"
SIGNED_DATA_OID = bytes.fromhex("06092A864886F70D010702")
DATA_OID = bytes.fromhex("06092A864886F70D010701")
COUNTER_SIGNATURE_OID = bytes.fromhex("06092A864886F70D010906")
MESSAGE_DIGEST_OID = bytes.fromhex("06092A864886F70D010904")
# The request for a 128-byte signature value: 163 bytes beginning with these.
REQUEST_PREFIX = bytes.fromhex("3081A0060A2B060104018237030201308191"
                               "06092A864886F70D010701A08183048180")


def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        size = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        size = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + size + body


def free_port():
    """A loopback port nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pem_to_der(pem):
    return subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER"],
                          capture_output=True, check=True).stdout


class Fixtures:
    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-tsa-")
        d = self.tmp.name
        self.ca_key, self.ca = make_ca(d)
        # 1024 bits: a 128-byte signature value, as in the request example.
        self.signer = make_signer(d, self.ca_key, self.ca, "stamped", bits=1024,
                                  password=PASSWORD)
        self.bundle = os.path.join(d, "bundle.p7b")
        check(["openssl", "crl2pkcs7", "-nocrl", "-certfile", self.ca, "-certfile",
               self.signer[0], "-outform", "DER", "-out", self.bundle])
        # The server's CA shares the publisher CA's serial number (but not its
        # issuer), and every reply also carries the publisher's own CA.
        serial = check(["openssl", "x509", "-in", self.ca, "-noout", "-serial"])
        self.server = TsaServer(os.path.join(d, "tsa"), extra_certs=[self.ca],
                                ca_serial="0x" + serial.strip().split("=")[1],
                                hang_seconds=3).start()
        self.dir = d


FIX = None


def setUpModule():
    global FIX
    FIX = Fixtures()


def tearDownModule():
    FIX.server.stop()
    FIX.tmp.cleanup()


def dsig_blob(path):
    record = open_checked(path)["DSIG"].signatureRecords[0]
    return bytes(record.pkcs7)


def counter_signatures(blob):
    """The SignerInfo elements of the signer's counterSignature attributes,
    and the number of its unauthenticated attributes."""
    parsed = SignedBlob(blob)
    top = children(blob, 0)
    sd = children(blob, children(blob, top[1][1])[0][1])
    si = children(blob, children(blob, sd[-1][1])[0][1])
    unsigned = [c for c in si if c[0] == 0xA1]
    if not unsigned:
        return parsed, [], 0
    attributes = children(blob, unsigned[0][1])
    found = []
    for attribute in attributes:
        oid, values = children(blob, attribute[1])
        if element(blob, oid[1]) == COUNTER_SIGNATURE_OID:
            found += [element(blob, v[1]) for v in children(blob, values[1])]
    return parsed, found, len(attributes)


class TimestampTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-e2e-")
        self.dir = self.tmp.name
        self.lib = ctypes.CDLL(LIB)
        self.lib.sign_font.restype = ctypes.c_int32

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def sign(self, url, name="out.ttf"):
        out = self.path(name)
        rc = self.lib.sign_font(DEJAVU.encode(), out.encode(), FIX.bundle.encode(),
                                FIX.signer[2].encode(), PASSWORD.encode(), 1, 0, None, None,
                                url.encode() if url is not None else None)
        self.assertEqual(rc, 0, url)
        return dsig_blob(out)

    def smime_verify(self, der, content, ca):
        d, c = self.path("verify.der"), self.path("content.bin")
        write(d, der)
        write(c, content)
        return run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-in", d,
                    "-content", c, "-CAfile", ca, "-purpose", "any", "-out", "/dev/null"])

    def test_servers_speak_both_protocols_to_other_clients(self):
        server = FIX.server
        script = self.path("a.ps1")
        write(script, b'Write-Host "fontseal"\r\n')
        cert, key = FIX.signer[0], FIX.signer[1]
        for option, path, verdict in (("-t", "/ts", "ok"), ("-ts", "/rfc3161", "ok"),
                                      ("-t", "/fault=wrong-imprint", "failed"),
                                      ("-ts", "/fault=wrong-imprint", "failed")):
            with self.subTest(option=option, path=path):
                out = self.path("signed.ps1")
                if os.path.exists(out):
                    os.unlink(out)
                r = run(["osslsigncode", "sign", "-certs", cert, "-key", key, option,
                         server.url(path), "-in", script, "-out", out])
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                r = run(["osslsigncode", "verify", "-in", out, "-CAfile", FIX.ca,
                         "-TSA-CAfile", server.pki.ca])
                self.assertIn("Signature verification: ok", r.stdout, r.stdout + r.stderr)
                self.assertIn("Timestamp Server Signature verification: " + verdict, r.stdout,
                              r.stdout + r.stderr)

        # RFC 3161 nonce and imprint as openssl's own client checks them.
        query, reply = self.path("q.tsq"), self.path("r.tsr")
        check(["openssl", "ts", "-query", "-data", script, "-sha256", "-cert", "-out", query])
        for path, ok in (("/", True), ("/fault=wrong-nonce", False),
                         ("/fault=wrong-imprint", False)):
            with self.subTest(path=path):
                posted = urllib.request.Request(
                    server.url(path), data=read(query), method="POST",
                    headers={"Content-Type": "application/timestamp-query"})
                with urllib.request.urlopen(posted, timeout=60) as answer:
                    self.assertEqual(answer.headers["Content-Type"],
                                     "application/timestamp-reply")
                    write(reply, answer.read())
                r = run(["openssl", "ts", "-verify", "-queryfile", query, "-in", reply,
                         "-CAfile", server.pki.ca])
                self.assertEqual(r.returncode == 0, ok, r.stdout + r.stderr)

    def test_counter_signature_verifies_with_openssl(self):
        plain = SignedBlob(self.sign(None, "plain.ttf"))
        server = FIX.server
        # A port in the authority, a backslash in the path, query and fragment.
        blob = self.sign(server.url("/a\\b/ts?x=1#part"))
        stamped, counters, unsigned_count = counter_signatures(blob)
        self.assertEqual(len(counters), 1)
        self.assertEqual(unsigned_count, 1)
        self.assertEqual(stamped.signature, plain.signature)
        self.assertEqual(stamped.inner, plain.inner)

        # What went over the wire.
        request = server.last_request
        self.assertEqual(request["request_line"], "POST /a/b/ts HTTP/1.0")
        headers = {k.lower(): v for k, v in request["headers"]}
        self.assertEqual(set(headers), {"host", "user-agent", "content-type", "content-length",
                                        "accept"}, request["headers"])
        self.assertEqual(headers["user-agent"], "Transport")
        self.assertEqual(headers["content-type"], "application/octet-stream")
        self.assertEqual(headers["accept"], "application/octet-stream")
        body = request["body"]
        self.assertEqual(int(headers["content-length"]), len(body))
        lines = body.split(b"\r\n")
        self.assertGreater(len(lines), 1)
        self.assertTrue(all(len(line) == 72 for line in lines[:-1]), body)
        self.assertTrue(0 < len(lines[-1]) <= 72 and b"\n" not in body.replace(b"\r\n", b""))
        der = base64.b64decode(b"".join(lines), validate=True)
        self.assertEqual(len(der), 163)
        self.assertTrue(der.startswith(REQUEST_PREFIX), der.hex())
        self.assertEqual(der[len(REQUEST_PREFIX):], plain.signature)

        # The counter-signature, wrapped with the blob's certificates in a
        # detached SignedData of type data, verifies over the signature value
        # under the time-stamping CA and for the time-stamping purpose.
        counter = counters[0]
        si = children(counter, 0)
        digest_algorithm = element(counter, si[2][1])
        certificates = b"".join(stamped.certificates)
        signed_data = tlv(0x30, tlv(0x02, b"\x01") + tlv(0x31, digest_algorithm) +
                          tlv(0x30, DATA_OID) + tlv(0xA0, certificates) + tlv(0x31, counter))
        wrapped = tlv(0x30, SIGNED_DATA_OID + tlv(0xA0, signed_data))
        r = self.smime_verify(wrapped, plain.signature, server.pki.ca)
        self.assertEqual(r.returncode, 0, r.stderr)
        w, c = self.path("w.der"), self.path("c.bin")
        write(w, wrapped)
        write(c, plain.signature)
        r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-in", w,
                 "-content", c, "-CAfile", server.pki.ca, "-purpose", "timestampsign",
                 "-out", "/dev/null"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotEqual(self.smime_verify(wrapped, plain.signature[:-1] + b"\0",
                                              server.pki.ca).returncode, 0)
        attributes = [element(counter, a[1]) for a in children(counter, si[3][1])]
        digest = [a for a in attributes if a[2:2 + len(MESSAGE_DIGEST_OID)] == MESSAGE_DIGEST_OID]
        self.assertEqual(len(digest), 1)
        self.assertTrue(digest[0].endswith(hashlib.sha1(plain.signature).digest()))

        # The server's certificates joined the blob's: its CA although its
        # serial number is the publisher CA's, but not the publisher CA it sent
        # again.
        self.assertEqual(stamped.certificates[:2], plain.certificates)
        self.assertEqual(sorted(stamped.certificates[2:]),
                         sorted([pem_to_der(server.pki.cert), pem_to_der(server.pki.ca)]))

        # The font's own signature still verifies.
        r = self.smime_verify(blob, stamped.inner, FIX.ca)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_no_time_stamp_to_be_had_leaves_the_plain_signature(self):
        plain = self.sign(None, "plain.ttf")
        r = self.smime_verify(plain, SignedBlob(plain).inner, FIX.ca)
        self.assertEqual(r.returncode, 0, r.stderr)
        server = FIX.server
        reached = ["status500", "no-content-type", "not-base64", "two-signers", "oversize",
                   "hang", "wrong-imprint"]
        cases = [(server.url("/fault=" + fault), True) for fault in reached]
        cases += [
            ("http://127.0.0.1:%d/ts" % free_port(), False),         # closed port
            (server.url("/ts").replace("http:", "https:"), False),  # TLS to a plain server
            ("http:127.0.0.1/ts", False),                           # no authority: no host
            ("http://127.0.0.1:99999/ts", False),                   # no such port
        ]
        for url, reaches in cases:
            with self.subTest(url=url):
                before = len(server.requests)
                self.assertEqual(self.sign(url), plain)
                self.assertEqual(len(server.requests), before + (1 if reaches else 0))

        # The reply cap is exact: a good reply padded to 4 MiB is still taken.
        blob = self.sign(server.url("/pad=%d" % (4 * 1024 * 1024)))
        self.assertEqual(len(counter_signatures(blob)[1]), 1)


if __name__ == "__main__":
    unittest.main()

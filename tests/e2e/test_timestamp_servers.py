# SPDX-License-Identifier: Apache-2.0
"""Time stamps through fontseal_sign and the CLI: both protocols checked with
openssl (never our own decoder), every fault of the test server with and
without --require-timestamp, fail-over from a failing server to the next,
hosts built with the older, smaller structs, and families on several jobs."""
import calendar
import ctypes
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from der_walk import SignedBlob, children, content, element
from e2e_support import DEJAVU, LIB, check, cli, make_ca, make_signer, open_checked, run, write

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tsa_server import TsaServer  # noqa: E402

PASSWORD = "stamp pass"
COUNTER, RFC3161 = 0, 1
E_REQUEST, E_TIMESTAMP = -14, -15
RFC3161_OID = bytes.fromhex("060A2B0601040182370303 01".replace(" ", ""))
COUNTER_SIGNATURE_OID = bytes.fromhex("06092A864886F70D010906")
SIGNING_TIME_OID = bytes.fromhex("06092A864886F70D010905")
SIGNED_DATA_OID = bytes.fromhex("06092A864886F70D010702")
DATA_OID = bytes.fromhex("06092A864886F70D010701")


class Server(ctypes.Structure):
    _fields_ = [("url", ctypes.c_char_p), ("protocol", ctypes.c_int32)]


class Request(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("input_path", ctypes.c_char_p),
                ("output_path", ctypes.c_char_p), ("cert_path", ctypes.c_char_p),
                ("key_path", ctypes.c_char_p), ("password", ctypes.c_char_p),
                ("password_length", ctypes.c_size_t), ("digest", ctypes.c_int32),
                ("statement", ctypes.c_int32), ("program_name", ctypes.c_char_p),
                ("more_info_url", ctypes.c_char_p),
                ("timestamp_servers", ctypes.POINTER(Server)),
                ("timestamp_server_count", ctypes.c_size_t),
                ("require_timestamp", ctypes.c_int32), ("timestamp_digest", ctypes.c_int32)]


class Report(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("result", ctypes.c_int32),
                ("message", ctypes.c_char * 512), ("timestamp_server", ctypes.c_int32),
                ("timestamp_time", ctypes.c_int64)]


def tlv(tag, body):
    n = len(body)
    if n < 0x80:
        size = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        size = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + size + body


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def dsig_blob(path):
    return bytes(open_checked(path)["DSIG"].signatureRecords[0].pkcs7)


def unsigned_attributes(blob):
    """{attribute OID element: [value elements]} of the one signer."""
    top = children(blob, 0)
    sd = children(blob, children(blob, top[1][1])[0][1])
    si = children(blob, children(blob, sd[-1][1])[0][1])
    found = {}
    for block in [c for c in si if c[0] == 0xA1]:
        for attribute in children(blob, block[1]):
            oid, values = children(blob, attribute[1])
            found.setdefault(element(blob, oid[1]), []).extend(
                element(blob, v[1]) for v in children(blob, values[1]))
    return found


def der_time(value):
    """Seconds since 1970 of a DER UTCTime or GeneralizedTime element."""
    text = content(value, 0).decode()
    if value[0] == 0x17:
        year = int(text[:2])
        text = ("19" if year >= 50 else "20") + text
    return calendar.timegm(time.strptime(text[:14], "%Y%m%d%H%M%S"))


class Fixtures:
    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-tsa2-")
        d = self.tmp.name
        self.ca_key, self.ca = make_ca(d)
        self.signer = make_signer(d, self.ca_key, self.ca, "stamped", password=PASSWORD)
        self.certs = os.path.join(d, "certs.pem")
        with open(self.certs, "w") as f:
            for pem in (self.signer[0], self.ca):
                with open(pem) as g:
                    f.write(g.read())
        self.password_file = os.path.join(d, "password")
        write(self.password_file, PASSWORD.encode() + b"\n")
        self.server = TsaServer(os.path.join(d, "tsa"), hang_seconds=3).start()


FIX = None


def setUpModule():
    global FIX
    FIX = Fixtures()


def tearDownModule():
    FIX.server.stop()
    FIX.tmp.cleanup()


class TimestampServersTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-e2e-")
        self.dir = self.tmp.name
        self.lib = ctypes.CDLL(LIB)
        self.lib.fontseal_sign.restype = ctypes.c_int32

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def sign_request(self, servers, out, require=False, request_size=None, report_size=None,
                     src=DEJAVU, imprint=0):
        """fontseal_sign with (url, protocol) servers; (result, report)."""
        array = (Server * max(1, len(servers)))(*[Server(u.encode(), p) for u, p in servers])
        request = Request()
        request.size = request_size or ctypes.sizeof(Request)
        request.input_path = src.encode()
        request.output_path = out.encode()
        request.cert_path = FIX.certs.encode()
        request.key_path = FIX.signer[2].encode()
        request.password = PASSWORD.encode()
        request.password_length = len(PASSWORD)
        request.timestamp_servers = array
        request.timestamp_server_count = len(servers)
        request.require_timestamp = 1 if require else 0
        request.timestamp_digest = imprint
        report = Report()
        ctypes.memset(ctypes.byref(report), 0x5A, ctypes.sizeof(report))
        report.size = report_size or ctypes.sizeof(Report)
        result = self.lib.fontseal_sign(ctypes.byref(request), ctypes.byref(report))
        return result, report

    def sign_cli(self, *options, out=None):
        out = out or self.path("cli.ttf")
        if os.path.exists(out):
            os.unlink(out)
        return cli("sign", "--cert", FIX.certs, "--key", FIX.signer[2], "--password-file",
                   FIX.password_file, *options, DEJAVU, out), out

    def own_signature_verifies(self, blob):
        b, c = self.path("blob.der"), self.path("inner.bin")
        write(b, blob)
        write(c, SignedBlob(blob).inner)
        r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-content", c,
                 "-in", b, "-CAfile", FIX.ca, "-purpose", "any", "-out", "/dev/null"])
        self.assertEqual(r.returncode, 0, r.stderr)

    def check_rfc3161(self, blob, reported_time):
        """The token verifies with openssl ts against the signature value."""
        parsed = SignedBlob(blob)
        attributes = unsigned_attributes(blob)
        self.assertEqual(list(attributes), [RFC3161_OID])
        self.assertEqual(len(attributes[RFC3161_OID]), 1)
        token, data = self.path("token.der"), self.path("signature.bin")
        write(token, attributes[RFC3161_OID][0])
        write(data, parsed.signature)
        r = run(["openssl", "ts", "-verify", "-data", data, "-in", token, "-token_in",
                 "-CAfile", FIX.server.pki.ca])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        write(data, parsed.signature[:-1] + bytes([parsed.signature[-1] ^ 1]))
        r = run(["openssl", "ts", "-verify", "-data", data, "-in", token, "-token_in",
                 "-CAfile", FIX.server.pki.ca])
        self.assertNotEqual(r.returncode, 0, "a token that verifies over any data")
        # The token carries the time-stamping certificate and its CA.
        certs = check(["openssl", "pkcs7", "-inform", "DER", "-in", token, "-print_certs",
                       "-noout"])
        self.assertIn("CN = Fontseal Test tsa,", certs)
        self.assertIn("CN = Fontseal Test TSA CA,", certs)
        text = check(["openssl", "ts", "-reply", "-in", token, "-token_in", "-text"])
        stamped = re.search(r"Time stamp: (\w+ +\d+ [\d:]+ \d+) GMT", text).group(1)
        self.assertEqual(calendar.timegm(time.strptime(stamped, "%b %d %H:%M:%S %Y")),
                         reported_time)

    def check_counter_signature(self, blob, plain_certificates, reported_time):
        """The counter-signature verifies with openssl over the signature value,
        for the time-stamping purpose, with the certificates of the blob."""
        parsed = SignedBlob(blob)
        attributes = unsigned_attributes(blob)
        self.assertEqual(list(attributes), [COUNTER_SIGNATURE_OID])
        counter = attributes[COUNTER_SIGNATURE_OID][0]
        si = children(counter, 0)
        signed_data = tlv(0x30, tlv(0x02, b"\x01") + tlv(0x31, element(counter, si[2][1])) +
                          tlv(0x30, DATA_OID) + tlv(0xA0, b"".join(parsed.certificates)) +
                          tlv(0x31, counter))
        w, c = self.path("counter.der"), self.path("signature.bin")
        write(w, tlv(0x30, SIGNED_DATA_OID + tlv(0xA0, signed_data)))
        write(c, parsed.signature)
        r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-in", w,
                 "-content", c, "-CAfile", FIX.server.pki.ca, "-purpose", "timestampsign",
                 "-out", "/dev/null"])
        self.assertEqual(r.returncode, 0, r.stderr)
        # The server's certificates joined the blob's.
        self.assertEqual(parsed.certificates[:len(plain_certificates)], plain_certificates)
        self.assertEqual(len(parsed.certificates), len(plain_certificates) + 2)
        times = [a for a in (element(counter, x[1]) for x in children(counter, si[3][1]))
                 if a[2:2 + len(SIGNING_TIME_OID)] == SIGNING_TIME_OID]
        self.assertEqual(len(times), 1)
        value = children(times[0], children(times[0], 0)[1][1])[0]
        self.assertEqual(der_time(element(times[0], value[1])), reported_time)

    def test_each_protocol_stamps_and_openssl_verifies_the_stamp(self):
        result, report = self.sign_request([], self.path("plain.ttf"))
        self.assertEqual(result, 0, report.message)
        self.assertEqual((report.timestamp_server, report.timestamp_time), (-1, 0))
        plain = SignedBlob(dsig_blob(self.path("plain.ttf")))

        nonces = set()
        for protocol in (COUNTER, RFC3161):
            with self.subTest(protocol=protocol):
                out = self.path("stamped%d.ttf" % protocol)
                before = time.time()
                result, report = self.sign_request([(FIX.server.url("/ts"), protocol)], out)
                self.assertEqual(result, 0, report.message)
                self.assertEqual(report.timestamp_server, 0)
                self.assertLessEqual(abs(report.timestamp_time - before), 120)
                blob = dsig_blob(out)
                self.own_signature_verifies(blob)
                self.assertEqual(SignedBlob(blob).signature, plain.signature)
                if protocol == COUNTER:
                    self.check_counter_signature(blob, plain.certificates,
                                                 report.timestamp_time)
                    continue
                self.check_rfc3161(blob, report.timestamp_time)
                self.assertEqual(SignedBlob(blob).certificates, plain.certificates)
                # What went over the wire, read by openssl: version 1, a
                # SHA-256 imprint of the signature value, a nonce, certReq.
                request = FIX.server.last_request
                headers = {k.lower(): v for k, v in request["headers"]}
                self.assertEqual(headers["content-type"], "application/timestamp-query")
                self.assertEqual(headers["accept"], "application/timestamp-reply")
                query = self.path("query.tsq")
                write(query, request["body"])
                text = check(["openssl", "ts", "-query", "-in", query, "-text"])
                self.assertIn("Hash Algorithm: sha256", text)
                self.assertIn("Certificate required: yes", text)
                digest = hashlib.sha256(plain.signature).hexdigest()
                # The hex columns only: the text column beside them may start
                # with characters that look like hex digits.
                dump = "".join(re.findall(r"^\s+[0-9a-f]{4} - ((?:[0-9a-f]{2}[ -]){0,15}[0-9a-f]{2})",
                                          text, re.M))
                self.assertIn(digest, re.sub(r"[ -]", "", dump))
                nonces.add(re.search(r"Nonce: (0x[0-9A-F]+)", text).group(1))
                # A second stamp asks with another nonce.
                self.sign_request([(FIX.server.url("/ts"), protocol)], out)
                write(query, FIX.server.last_request["body"])
                text = check(["openssl", "ts", "-query", "-in", query, "-text"])
                nonces.add(re.search(r"Nonce: (0x[0-9A-F]+)", text).group(1))
                # Another imprint digest when asked for (SHA-512).
                result, report = self.sign_request([(FIX.server.url("/ts"), protocol)], out,
                                                   imprint=3)
                self.assertEqual(result, 0, report.message)
                write(query, FIX.server.last_request["body"])
                text = check(["openssl", "ts", "-query", "-in", query, "-text"])
                self.assertIn("Hash Algorithm: sha512", text)
                self.check_rfc3161(dsig_blob(out), report.timestamp_time)
        self.assertEqual(len(nonces), 2)

    def test_faults_fail_over_and_requirement(self):
        server = FIX.server
        closed = "http://127.0.0.1:%d/ts" % free_port()
        faults = {
            COUNTER: ["status500", "no-content-type", "not-base64", "two-signers", "oversize",
                      "hang", "wrong-imprint", "bad-signature"],
            RFC3161: ["status500", "no-content-type", "not-base64", "oversize", "hang",
                      "wrong-imprint", "wrong-nonce", "bad-signature", "rejected"],
        }
        option = {COUNTER: "--timestamp", RFC3161: "--timestamp-rfc3161"}
        for protocol in (COUNTER, RFC3161):
            cases = [(server.url("/fault=" + f), True) for f in faults[protocol]]
            cases.append((closed, False))
            for url, reaches in cases:
                with self.subTest(protocol=protocol, url=url):
                    # Required: a failure, and nothing written.
                    before = len(server.requests)
                    r, out = self.sign_cli("--require-timestamp", option[protocol], url)
                    self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                    self.assertFalse(os.path.exists(out))
                    self.assertIn(url, r.stderr)
                    self.assertIn("(code -15)", r.stderr)
                    self.assertEqual(len(server.requests), before + (1 if reaches else 0))
                    # Not required: signed, without a stamp, and a warning.
                    r, out = self.sign_cli(option[protocol], url)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertIn("warning", r.stderr)
                    self.assertIn(url, r.stderr)
                    blob = dsig_blob(out)
                    self.assertEqual(unsigned_attributes(blob), {})
                    self.own_signature_verifies(blob)
                    # The failing server first, a good one next: the second's
                    # stamp, reported as such.
                    out = self.path("failover.ttf")
                    result, report = self.sign_request(
                        [(url, protocol), (server.url("/next"), protocol)], out, require=True)
                    self.assertEqual(result, 0, report.message)
                    self.assertEqual(report.timestamp_server, 1)
                    self.assertIn("/next", server.last_request["path"])
                    oid = RFC3161_OID if protocol == RFC3161 else COUNTER_SIGNATURE_OID
                    self.assertEqual(list(unsigned_attributes(dsig_blob(out))), [oid])

    def test_command_line_order_and_usage(self):
        server = FIX.server
        # Servers are asked in command-line order across both options: the
        # failing counter-signature server, then the RFC 3161 one; the last
        # is never asked.
        before = len(server.requests)
        r, out = self.sign_cli("--timestamp", server.url("/fault=status500"),
                               "--timestamp-rfc3161", server.url("/second"),
                               "--timestamp", server.url("/third"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        asked = server.requests[before:]
        self.assertEqual([a["path"] for a in asked], ["/fault=status500", "/second"])
        self.assertEqual(list(unsigned_attributes(dsig_blob(out))), [RFC3161_OID])
        r, out = self.sign_cli("--require-timestamp", out=self.path("none.ttf"))
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertFalse(os.path.exists(out))

    def test_hosts_with_the_older_structs(self):
        request_size = Request.timestamp_servers.offset
        report_size = Report.timestamp_server.offset
        before = len(FIX.server.requests)
        out = self.path("old.ttf")
        # Servers beyond an old request's size are never looked at, and
        # nothing is written past an old report's size.
        result, report = self.sign_request([(FIX.server.url("/ts"), RFC3161)], out,
                                           require=True, request_size=request_size,
                                           report_size=report_size)
        self.assertEqual(result, 0, report.message)
        self.assertEqual(report.message, b"")
        self.assertEqual(len(FIX.server.requests), before)
        self.assertEqual(unsigned_attributes(dsig_blob(out)), {})
        tail = bytes(ctypes.string_at(ctypes.addressof(report) + report_size,
                                      ctypes.sizeof(Report) - report_size))
        self.assertEqual(tail, b"\x5a" * len(tail))
        result, report = self.sign_request([], out, src=self.path("missing.ttf"),
                                           request_size=request_size, report_size=report_size)
        self.assertEqual(result, -3)
        self.assertIn(b"missing.ttf", report.message)
        # A request that is malformed in its new fields.
        md5 = 5
        for servers, require, imprint in (([], True, 0), ([("", RFC3161)], False, 0),
                                          ([(FIX.server.url("/"), 7)], False, 0),
                                          ([(FIX.server.url("/"), RFC3161)], False, md5)):
            with self.subTest(servers=servers, require=require, imprint=imprint):
                result, report = self.sign_request(servers, out, require=require,
                                                   imprint=imprint)
                self.assertEqual(result, E_REQUEST, report.message)

    def test_family_on_several_jobs(self):
        fam, outdir = self.path("fam"), self.path("signed")
        os.mkdir(fam)
        os.mkdir(outdir)
        names = []
        for i in range(7):
            p = os.path.join(fam, "F%d.ttf" % i)
            if i != 3:
                shutil.copy(DEJAVU, p)
            names.append(p)
        # Every answer waits: jobs finish out of order, lines come in order.
        r = cli("sign", "--cert", FIX.certs, "--key", FIX.signer[2], "--password-file",
                FIX.password_file, "--jobs", "4", "--timestamp-rfc3161",
                FIX.server.url("/delay=0.3"), "--out-dir", outdir, *names)
        self.assertEqual(r.returncode, 1, r.stderr)
        lines = r.stdout.splitlines()
        self.assertTrue(lines.pop(0).startswith("signing 7 fonts into "), r.stdout)
        expected = ["signed %s -> %s" % (n, os.path.join(outdir, os.path.basename(n)))
                    for n in names]
        self.assertEqual(lines[:3] + lines[4:7], expected[:3] + expected[4:])
        self.assertTrue(lines[3].startswith("FAILED %s: cannot open input font" % names[3]))
        self.assertEqual(lines[7:], ["6 signed, 1 failed"])
        for name in names[:3] + names[4:]:
            blob = dsig_blob(os.path.join(outdir, os.path.basename(name)))
            self.assertEqual(list(unsigned_attributes(blob)), [RFC3161_OID])
        r = cli("sign", "--cert", FIX.certs, "--key", FIX.signer[2], "--jobs", "0",
                "--out-dir", outdir, names[0])
        self.assertEqual(r.returncode, 2)


if __name__ == "__main__":
    unittest.main()

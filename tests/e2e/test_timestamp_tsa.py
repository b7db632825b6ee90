# SPDX-License-Identifier: Apache-2.0
"""Time-stamp servers as the world runs them: OpenSSL's TSA in its default
configuration and the settings real authorities vary, every stamp fontseal
attaches checked by `openssl ts -verify`; the reason each failing server
gave, in the warning, the -15 message and the report; URLs refused before
any font is read; and stamps by certificates that may not time-stamp, made
by hand at a past time, judged by fontseal verify and by openssl alike."""
import ctypes
import datetime
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import hand_stamps  # noqa: E402
from der_walk import SignedBlob  # noqa: E402
from e2e_support import DEJAVU, LIB, cli, make_ca, make_signer, read, run, write  # noqa: E402
from test_timestamp_servers import (PASSWORD, RFC3161_OID, COUNTER_SIGNATURE_OID,  # noqa: E402
                                    Report, Request, Server, dsig_blob, free_port,
                                    unsigned_attributes)
from test_verify import (HASH_OIDS, INDIRECT, NULL, font_with_dsig, integer,  # noqa: E402
                         layout_without_dsig, oid, rsa_sign, seq, tables, tlv)
from tsa_server import TsaServer  # noqa: E402

FIX = None
COUNTER, RFC3161 = 0, 1
OPTION = {COUNTER: "--timestamp", RFC3161: "--timestamp-rfc3161"}


class ReportNow(ctypes.Structure):
    _fields_ = Report._fields_ + [("certificate_warning", ctypes.c_char * 512),
                                  ("timestamp_warning", ctypes.c_char * 512)]


class Fixture:
    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-tsa3-")
        d = self.dir = self.tmp.name
        self.ca_key, self.ca = make_ca(d)
        self.cert, self.key, self.pvk = make_signer(d, self.ca_key, self.ca, "stamped",
                                                    password=PASSWORD)
        self.password_file = os.path.join(d, "password")
        write(self.password_file, PASSWORD.encode() + b"\n")
        self.server = TsaServer(os.path.join(d, "tsa"), hang_seconds=3).start()


def setUpModule():
    global FIX
    FIX = Fixture()


def tearDownModule():
    FIX.server.stop()
    FIX.tmp.cleanup()


class Base(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-e2e-")

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def sign(self, *options, src=DEJAVU):
        out = self.path("out.ttf")
        if os.path.exists(out):
            os.unlink(out)
        r = cli("sign", "--cert", FIX.cert, "--key", FIX.pvk, "--password-file",
                FIX.password_file, *options, src, out)
        return r, out

    def openssl_ts_verify(self, out):
        """openssl's verdict on the font's RFC 3161 token over its signature."""
        blob = dsig_blob(out)
        [token] = unsigned_attributes(blob)[RFC3161_OID]
        write(self.path("token.der"), token)
        write(self.path("signature.bin"), SignedBlob(blob).signature)
        return run(["openssl", "ts", "-verify", "-data", self.path("signature.bin"), "-in",
                    self.path("token.der"), "-token_in", "-CAfile", FIX.server.pki.ca,
                    "-untrusted", FIX.server.pki.intermediate])


class TsaTest(Base):
    def test_tsa_configurations_give_a_stamp_openssl_accepts_or_say_why_not(self):
        ok = None
        no_cert = "the token carries no certificate of its signer"
        cases = [  # path segments changing OpenSSL's default TSA, expected failure
            ("", ok),  # the default configuration: tsa_name = yes
            ("tsa_name=no", ok),
            ("ess_cert_id_chain=yes", ok),
            ("ess_cert_id_alg=sha256", ok),
            ("ess_cert_id_alg=sha256/ess_cert_id_chain=yes", ok),
            ("signer_digest=sha384", ok),
            ("signer_digest=sha512/ess_cert_id_alg=sha256", ok),
            ("accuracy=none", ok),
            ("ordering=no", ok),
            ("accuracy=none/ordering=no/tsa_name=no/signer_digest=sha512", ok),
            ("signer=itsa", ok),  # issued by an intermediate, chain in the reply
            ("signer=itsa/chain=no", ok),
            ("signer=itsa/chain=no/ess_cert_id_chain=yes", ok),
            ("signer=itsa/chain=no/ess_cert_id_chain=yes/ess_cert_id_alg=sha256/tsa_name=no",
             ok),
            ("chain=no/tsa_name=yes/ess_cert_id_alg=sha256", ok),
            ("cert_req=no", no_cert),
            ("cert_req=no/signer=itsa/tsa_name=no", no_cert),
        ]
        for segments, failure in cases:
            with self.subTest(tsa=segments or "OpenSSL's defaults"):
                url = FIX.server.url("/" + segments)
                r, out = self.sign("--timestamp-rfc3161", url, "--require-timestamp")
                if failure is None:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    v = self.openssl_ts_verify(out)
                    self.assertEqual(v.returncode, 0, v.stdout + v.stderr)
                    self.assertIn("Verification: OK", v.stdout)
                    self.assertNotIn("warning", r.stderr)
                else:
                    self.assertEqual(r.returncode, 1, r.stderr)
                    self.assertIn(url + ": " + failure, r.stderr)
                    self.assertFalse(os.path.exists(out))

    def test_each_failing_server_says_why(self):
        refused = "http://127.0.0.1:%d/ts" % free_port()
        url = FIX.server.url
        purpose = "signer lacks the time-stamping purpose"
        cases = [  # protocol, URL, the reason (None: stamped)
            (COUNTER, refused, "connection refused"),
            (RFC3161, refused, "connection refused"),
            (RFC3161, "http://fontseal-test.invalid/ts", "host not found"),
            (COUNTER, url("/fault=status500"), "HTTP status 500"),
            (RFC3161, url("/fault=status500"), "HTTP status 500"),
            (COUNTER, url("/fault=not-base64"), "not a time-stamp reply"),
            (RFC3161, url("/fault=not-base64"), "not a time-stamp reply"),
            (COUNTER, url("/only=rfc3161"),
             "not a time-stamp reply: this server speaks RFC 3161: use --timestamp-rfc3161"),
            (RFC3161, url("/fault=rejected"), "rejected (rejection"),
            (COUNTER, url("/fault=wrong-imprint"), "imprint mismatch"),
            (RFC3161, url("/fault=wrong-imprint"), "imprint mismatch"),
            (RFC3161, url("/fault=wrong-nonce"), "nonce mismatch"),
            (COUNTER, url("/fault=bad-signature"), "token signature invalid"),
            (RFC3161, url("/fault=bad-signature"), "token signature invalid"),
            (COUNTER, url("/forge=codeSigning"), purpose),
            (RFC3161, url("/forge=codeSigning"), purpose),
            (COUNTER, url("/forge=none"), purpose),
            (RFC3161, url("/forge=none"), purpose),
            (RFC3161, url("/forge=older"), purpose),
            (RFC3161, url("/forge=timeStamping-noncritical"), purpose + ": its signer "
             "certificate lacks the time-stamping purpose (1.3.6.1.5.5.7.3.8) in a critical "
             "extended key usage (the extension is not critical)"),
            (RFC3161, url("/forge=timeStamping/forge_tsa=other"),
             "the reply's TSA name is not its signer certificate's"),
            # The purposes each protocol accepts, in stamps made the same way.
            (RFC3161, url("/forge=timeStamping"), None),
            (RFC3161, url("/forge=timeStamping/forge_tsa=self"), None),
            (COUNTER, url("/forge=timeStamping"), None),
            (COUNTER, url("/forge=older"), None),
            (COUNTER, url("/forge=timeStamping-noncritical"), None),
        ]
        for protocol, server, reason in cases:
            with self.subTest(protocol=protocol, url=server):
                r, out = self.sign(OPTION[protocol], server)
                self.assertEqual(r.returncode, 0, r.stderr)
                stamps = unsigned_attributes(dsig_blob(out))
                if reason is None:
                    self.assertEqual(len(stamps), 1, r.stderr)
                    self.assertNotIn("warning", r.stderr)
                    continue
                self.assertEqual(stamps, {})
                self.assertIn("signed without a time stamp", r.stderr)
                self.assertIn(server + ": " + reason, r.stderr)
                r, out = self.sign(OPTION[protocol], server, "--require-timestamp")
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(server + ": " + reason, r.stderr)
                self.assertIn("(code -15)", r.stderr)
                self.assertFalse(os.path.exists(out))
        # Every server tried is named with its own reason, and a server
        # whose signer may not time-stamp is passed over for the next.
        r, out = self.sign("--timestamp", refused, "--timestamp-rfc3161",
                           url("/forge=codeSigning"), "--timestamp-rfc3161", url("/last"))
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertEqual(list(unsigned_attributes(dsig_blob(out))), [RFC3161_OID])
        r, out = self.sign("--timestamp", refused, "--timestamp-rfc3161",
                           url("/forge=codeSigning"))
        self.assertIn("%s: connection refused; %s: %s" % (refused, url("/forge=codeSigning"),
                                                            purpose), r.stderr)

    def sign_request(self, servers, require=False, src=DEJAVU):
        lib = ctypes.CDLL(LIB)
        array = (Server * len(servers))(*[Server(u.encode(), p) for u, p in servers])
        request = Request()
        request.size = ctypes.sizeof(Request)
        request.input_path = src.encode()
        request.output_path = self.path("lib.ttf").encode()
        request.cert_path = FIX.cert.encode()
        request.key_path = FIX.pvk.encode()
        request.password = PASSWORD.encode()
        request.password_length = len(PASSWORD)
        request.timestamp_servers = array
        request.timestamp_server_count = len(servers)
        request.require_timestamp = 1 if require else 0
        report = ReportNow()
        ctypes.memset(ctypes.byref(report), 0x5A, ctypes.sizeof(report))
        report.size = ctypes.sizeof(report)
        return lib.fontseal_sign(ctypes.byref(request), ctypes.byref(report)), report

    def test_the_report_carries_the_reason(self):
        bad = FIX.server.url("/fault=rejected")
        result, report = self.sign_request([(bad, RFC3161)])
        self.assertEqual((result, report.timestamp_server), (0, -1))
        self.assertEqual(report.timestamp_warning.decode(), bad + ": rejected (rejection)")
        result, report = self.sign_request([(bad, RFC3161)], require=True)
        self.assertEqual(result, -15)
        self.assertIn(bad + ": rejected (rejection)", report.message.decode())
        self.assertEqual(report.timestamp_warning, b"")
        result, report = self.sign_request([(bad, RFC3161), (FIX.server.url("/"), RFC3161)])
        self.assertEqual((result, report.timestamp_server), (0, 1))
        self.assertEqual(report.timestamp_warning, b"")

    def test_urls_that_cannot_be_asked_are_refused_before_any_font_is_read(self):
        port = FIX.server.port
        cases = [  # URL, reason
            ("127.0.0.1:%d/ts" % port, "it has no scheme"),
            ("localhost:%d" % port, "it has no scheme"),
            ("tsa.example/ts", "it has no scheme"),
            ("ftp://127.0.0.1:%d/ts" % port, "its scheme ftp: is not http: or https:"),
            ("htps://127.0.0.1:%d/ts" % port, "its scheme htps: is not http: or https:"),
            ("gopher://127.0.0.1:%d/" % port, "its scheme gopher: is not http: or https:"),
            ("http:///ts", "it names no host"),
            ("http://", "it names no host"),
            ("https:127.0.0.1", "it names no host"),
        ]
        missing = self.path("no such font.ttf")
        asked = len(FIX.server.requests)
        for url, reason in cases:
            for protocol in (COUNTER, RFC3161):
                with self.subTest(url=url, protocol=protocol):
                    # The CLI: a usage error, though the font does not exist.
                    r, out = self.sign(OPTION[protocol], url, src=missing)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    self.assertIn("time-stamp server %s cannot be used: %s" % (url, reason),
                                  r.stderr)
                    # The library, for any caller: a malformed request.
                    result, report = self.sign_request([(url, protocol)], src=missing)
                    self.assertEqual(result, -14, report.message)
                    self.assertIn("time-stamp server %s cannot be used: %s" % (url, reason),
                                  report.message.decode())
                    self.assertFalse(os.path.exists(self.path("lib.ttf")))
        # The original export keeps signing, without a stamp and without
        # posting anywhere.
        lib = ctypes.CDLL(LIB)
        out = self.path("original.ttf")
        result = lib.sign_font(DEJAVU.encode(), out.encode(), FIX.cert.encode(),
                               FIX.pvk.encode(), PASSWORD.encode(), 1, 0, None, None,
                               ("ftp://127.0.0.1:%d/ts" % port).encode())
        self.assertEqual(result, 0)
        self.assertEqual(unsigned_attributes(dsig_blob(out)), {})
        self.assertEqual(len(FIX.server.requests), asked)


# ---- stamps by hand at a past time, for `verify` ---------------------------

def blob_with_stamp(image, key, certs, signer_cert, stamp):
    """A SignedData over `image` by `key`; `stamp(signature)` gives the
    unauthenticated attribute (or None)."""
    algorithm = seq(oid(HASH_OIDS["sha256"]), NULL)
    content_body = seq(oid("1.3.6.1.4.1.311.2.1.25")) + seq(
        algorithm, tlv(0x04, __import__("hashlib").sha256(image).digest()))
    attributes = (seq(oid("1.2.840.113549.1.9.4"),
                      tlv(0x31, tlv(0x04, __import__("hashlib").sha256(content_body).digest()))) +
                  seq(oid("1.2.840.113549.1.9.3"), tlv(0x31, oid(INDIRECT))))
    signature = rsa_sign(key, tlv(0x31, attributes), "sha256")
    unauthenticated = stamp(signature)
    signer = seq(integer(1), seq(signer_cert.issuer.public_bytes(),
                                 integer(signer_cert.serial_number)),
                 algorithm, tlv(0xA0, attributes), seq(oid("1.2.840.113549.1.1.1"), NULL),
                 tlv(0x04, signature), tlv(0xA1, unauthenticated))
    signed_data = seq(integer(1), tlv(0x31, algorithm),
                      seq(oid(INDIRECT), tlv(0xA0, tlv(0x30, content_body))),
                      tlv(0xA0, b"".join(hand_stamps.der(c) for c in certs)), tlv(0x31, signer))
    return seq(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed_data)), signature


class ForgedStampTest(Base):
    def test_a_stamp_counts_only_when_its_signer_may_time_stamp(self):
        utc = datetime.timezone.utc
        day = lambda y, m, d: datetime.datetime(y, m, d, tzinfo=utc)  # noqa: E731
        ca_key = hand_stamps.new_key()
        ca = hand_stamps.issue("Fontseal Test past CA", ca_key, not_before=day(2019, 1, 1),
                               not_after=day(2040, 1, 1), ca=True)
        write(self.path("roots.pem"), hand_stamps.pem(ca))
        signer_key = hand_stamps.new_key()
        write(self.path("signer.key"), hand_stamps.key_pem(signer_key))
        # Expired in 2024, so only a stamp from its lifetime keeps it valid.
        signer = hand_stamps.issue("Fontseal Test expired publisher", signer_key, ca, ca_key,
                                   day(2020, 1, 1), day(2024, 6, 30),
                                   [hand_stamps.CODE_SIGNING])
        when = day(2021, 6, 1, )
        stampers = {
            "timeStamping": ([hand_stamps.TIME_STAMPING], True),
            "none": (None, False),
            "codeSigning": ([hand_stamps.CODE_SIGNING], False),
            "older": ([hand_stamps.OLDER_TIME_STAMPING], False),
            "timeStamping-noncritical": ([hand_stamps.TIME_STAMPING], False),
        }
        purpose = "the time stamp does not count"
        cases = [  # kind, stamper's purposes, fontseal's failure, openssl accepts
            (RFC3161, "timeStamping", None, True),
            (RFC3161, "none", purpose, False),
            (RFC3161, "codeSigning", purpose, False),
            (RFC3161, "older", purpose, False),
            (RFC3161, "timeStamping-noncritical", purpose, False),
            (COUNTER, "timeStamping", None, True),
            (COUNTER, "none", purpose, False),
            (COUNTER, "codeSigning", purpose, False),
            # Accepted for the older protocol, whose servers' certificates
            # carry these; openssl's time-stamping purpose is narrower.
            (COUNTER, "older", None, None),
            (COUNTER, "timeStamping-noncritical", None, None),
        ]
        image = layout_without_dsig(read(DEJAVU), sorted(tables(read(DEJAVU))))
        for kind, name, failure, openssl_accepts in cases:
            with self.subTest(kind=kind, stamper=name):
                key = hand_stamps.new_key()
                purposes, critical = stampers[name]
                stamper = hand_stamps.issue("Fontseal Test stamper " + name, key, ca, ca_key,
                                            day(2020, 1, 1), day(2030, 1, 1), purposes,
                                            critical)
                made = {}

                def stamp(signature):
                    if kind == RFC3161:
                        imprint = __import__("hashlib").sha256(signature).digest()
                        made["token"] = hand_stamps.rfc3161_token(imprint, "sha256", stamper,
                                                                  key, when)
                        return seq(oid("1.3.6.1.4.1.311.3.3.1"), tlv(0x31, made["token"]))
                    counter = hand_stamps.counter_signature(signature, stamper, key, when)
                    made["reply"] = hand_stamps.counter_signature_reply(signature, stamper, key,
                                                                         when)
                    return seq(oid("1.2.840.113549.1.9.6"), tlv(0x31, counter))

                blob, signature = blob_with_stamp(image + b"\x00\x01", self.path("signer.key"),
                                                  [signer, stamper], signer, stamp)
                font = self.path("stamped.ttf")
                write(font, font_with_dsig(image, blob))
                r = cli("verify", "--ca-file", self.path("roots.pem"), font)
                if failure is None:
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                else:
                    self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
                    self.assertIn(failure, r.stdout)
                    self.assertIn("time-stamping purpose", r.stdout)
                if openssl_accepts is None:
                    continue
                # openssl's own judgement of the same stamp at its time.
                write(self.path("signature.bin"), signature)
                attime = str(int(when.timestamp()))
                if kind == RFC3161:
                    write(self.path("token.der"), made["token"])
                    v = run(["openssl", "ts", "-verify", "-data", self.path("signature.bin"),
                             "-in", self.path("token.der"), "-token_in", "-CAfile",
                             self.path("roots.pem"), "-attime", attime])
                else:
                    write(self.path("reply.der"), made["reply"])
                    v = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-in",
                             self.path("reply.der"), "-content", self.path("signature.bin"),
                             "-CAfile", self.path("roots.pem"), "-purpose", "timestampsign",
                             "-attime", attime, "-out", "/dev/null"])
                self.assertEqual(v.returncode == 0, openssl_accepts, v.stdout + v.stderr)
                if not openssl_accepts:
                    self.assertRegex(v.stdout + v.stderr, "purpose")


if __name__ == "__main__":
    unittest.main()

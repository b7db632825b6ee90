# SPDX-License-Identifier: Apache-2.0
"""Time-stamp servers for the tests: loopback only, an ephemeral port, keys and
certificates made with openssl at start-up, replies made by openssl.

Two protocols on one port, told apart by the request's Content-Type:
  * application/timestamp-query: RFC 3161, answered by `openssl ts -reply`;
  * anything else: the counter-signature protocol. The body is base64 of
    SEQUENCE { OID 1.3.6.1.4.1.311.3.2.1, ContentInfo { data, [0] OCTET STRING } };
    the answer is the base64 of a PKCS#7 SignedData made by `openssl smime -sign`
    over the OCTET STRING's content (signed attributes contentType,
    signingTime, messageDigest), Content-Type application/octet-stream.

Faults and options are chosen per request by path segments of the URL, so one
server serves every case: /fault=NAME, /delay=SECONDS, /pad=BYTES, the RFC 3161
settings of TS_SETTINGS (/tsa_name=no/signer=itsa/...: OpenSSL's default TSA
configuration unless changed), /only=rfc3161 (a counter-signature request is
refused as an RFC 3161 server refuses it). Faults:
  status500        a 500 reply with an HTML body
  no-content-type  a good time stamp, but no Content-Type header
  not-base64       a body that is not base64 (RFC 3161: not DER either)
  two-signers      counter-signature: a SignedData with two signer infos (same
                   data, two keys)
  oversize         a good time stamp padded past 4 MiB (line ends; RFC 3161:
                   zero bytes after the DER)
  hang             no answer at all; the connection is closed after
                   `hang_seconds` (or when the server stops)
  wrong-nonce      RFC 3161: the reply carries another nonce
  wrong-imprint    RFC 3161: the reply stamps another message imprint;
                   counter-signature: the reply signs other data
  bad-signature    the last byte of the reply's DER, which lies in the
                   signature of its (last) signer, flipped
  rejected         RFC 3161: a reply with status rejection and no token
forge=PURPOSE answers (either protocol) with a stamp made by hand, signed by a
certificate of the server's CA whose extended key usage is PURPOSE: none (no
extension), codeSigning, timeStamping (critical), timeStamping-noncritical,
older (1.3.6.1.4.1.311.10.3.2). Real TSA software refuses to run as most.
With forge_tsa=self (or other) the TSTInfo names the stamper (or its CA).
pad=N pads a good counter-signature reply with line ends to exactly N bytes.

In-process use:
    with TsaServer(workdir) as server:
        url = server.url("/ts")          # or server.url("/fault=hang")
        ...
        server.last_request              # dict, see Handler._record
Run as a program (for the C++ tests): prints the port on the first line of
its output, then serves until its standard input closes, SIGTERM, or
--lifetime seconds have passed.
"""
import argparse
import base64
import datetime
import http.server
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

import hand_stamps

REQUEST_TYPE = bytes.fromhex("060A2B060104018237030201")  # OID 1.3.6.1.4.1.311.3.2.1
OVERSIZE = 4 * 1024 * 1024 + 1
MAX_REQUEST = 1024 * 1024
MAX_DELAY = 60.0

# OpenSSL's own TSA section (openssl.cnf, tsa_config1), as a server set up
# from the manual runs it; a request changes single settings by path segment
# (see TS_SETTINGS).
TS_DEFAULTS = {
    "signer_digest": "sha256",
    "accuracy": "secs:1, millisecs:500, microsecs:100",
    "clock_precision_digits": "0",
    "ordering": "yes",
    "tsa_name": "yes",
    "ess_cert_id_chain": "no",
    "ess_cert_id_alg": "sha1",
}

TS_CONFIG = """
oid_section = new_oids
[new_oids]
tsa_policy1 = 1.2.3.4.1
tsa_policy2 = 1.2.3.4.5.6
tsa_policy3 = 1.2.3.4.5.7
[tsa]
default_tsa = tsa_config1
[tsa_config1]
dir = {dir}
serial = {dir}/tsaserial
crypto_device = builtin
signer_cert = {signer_cert}
{certs}
signer_key = {signer_key}
default_policy = tsa_policy1
other_policies = tsa_policy2, tsa_policy3
digests = sha1, sha256, sha384, sha512
{settings}
"""

# Path segments that change the RFC 3161 reply, besides the settings of
# TS_DEFAULTS (accuracy=none leaves accuracy out):
#   signer=tsa|itsa   the time-stamping certificate: issued by the CA, or by
#                     an intermediate of it (itsa)
#   chain=yes|no      the issuers' certificates go into the token (certs)
#   cert_req=yes|no   no: certReq is dropped from the query, so the token
#                     carries no certificate (a server that ignores it)
TS_SETTINGS = set(TS_DEFAULTS) | {"signer", "chain", "cert_req"}

CERT_CONFIG = """
[req]
distinguished_name = dn
prompt = no
[dn]
CN = {cn}
O = Fontseal Test Time Stamps
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = keyCertSign, cRLSign
subjectKeyIdentifier = hash
[tsa]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, nonRepudiation
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[intermediate]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tls]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
"""


def _openssl(*args, data=None):
    r = subprocess.run(["openssl"] + list(args), input=data, capture_output=True, timeout=60)
    if r.returncode != 0:
        raise RuntimeError("openssl %s: %s" % (args[0], r.stderr.decode(errors="replace")))
    return r.stdout


class TsaPki:
    """The server's certificates in `directory`: a CA (tsa-ca), the
    time-stamping certificate it issued (tsa, extendedKeyUsage critical
    timeStamping), a second one for two-signer replies (tsa2) and a TLS
    server certificate for 127.0.0.1 (tls). `ca_serial`: the CA certificate's
    serial number as openssl takes it (decimal or 0x hex)."""

    def __init__(self, directory, ca_serial=None):
        self.dir = directory
        p = lambda name: os.path.join(directory, name)
        self.ca, self.ca_key = p("tsa-ca.pem"), p("tsa-ca.key")
        self.cert, self.key = p("tsa.pem"), p("tsa.key")
        self.cert2, self.key2 = p("tsa2.pem"), p("tsa2.key")
        self.tls_cert, self.tls_key = p("tls.pem"), p("tls.key")
        self.intermediate, self.intermediate_key = p("tsa-ica.pem"), p("tsa-ica.key")
        self.icert, self.ikey = p("itsa.pem"), p("itsa.key")
        self.ts_config = p("ts.cnf")
        self._configs = {}
        if os.path.exists(self.ts_config):
            return
        os.makedirs(directory, exist_ok=True)
        conf = p("cert.cnf")
        with open(conf, "w") as f:
            f.write(CERT_CONFIG.format(cn="Fontseal Test TSA CA"))
        args = ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.ca_key,
                "-out", self.ca, "-days", "30", "-config", conf, "-extensions", "ca"]
        if ca_serial is not None:
            args += ["-set_serial", str(ca_serial)]
        _openssl(*args)
        for name, ext, serial, issuer in (
                ("tsa", "tsa", 1001, "tsa-ca"), ("tsa2", "tsa", 1002, "tsa-ca"),
                ("tls", "tls", 1003, "tsa-ca"), ("tsa-ica", "intermediate", 1004, "tsa-ca"),
                ("itsa", "tsa", 1005, "tsa-ica")):
            with open(conf, "w") as f:
                f.write(CERT_CONFIG.format(cn="Fontseal Test " + name))
            _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", p(name + ".key"),
                     "-out", p(name + ".csr"), "-config", conf)
            _openssl("x509", "-req", "-in", p(name + ".csr"), "-CA", p(issuer + ".pem"),
                     "-CAkey", p(issuer + ".key"), "-set_serial", str(serial),
                     "-out", p(name + ".pem"), "-days", "30", "-extfile", conf,
                     "-extensions", ext)
        with open(p("tsaserial"), "w") as f:
            f.write("01\n")
        with open(p("itsa-chain.pem"), "wb") as f:
            for pem in (self.intermediate, self.ca):
                with open(pem, "rb") as g:
                    f.write(g.read())
        with open(self.ts_config, "w") as f:
            f.write(self.config_text({}))

    def config_text(self, settings):
        """The TSA section for `settings` (names of TS_SETTINGS), the rest as
        OpenSSL's defaults."""
        values = dict(TS_DEFAULTS)
        values.update({k: v for k, v in settings.items() if k in TS_DEFAULTS})
        if values.get("accuracy") == "none":
            del values["accuracy"]
        intermediate = settings.get("signer") == "itsa"
        certs = ""
        if settings.get("chain", "yes") == "yes":
            certs = "certs = " + os.path.join(
                self.dir, "itsa-chain.pem" if intermediate else "tsa-ca.pem")
        return TS_CONFIG.format(
            dir=self.dir, certs=certs,
            signer_cert=self.icert if intermediate else self.cert,
            signer_key=self.ikey if intermediate else self.key,
            settings="\n".join("%s = %s" % kv for kv in sorted(values.items())))

    def config_for(self, settings):
        """A configuration file for `settings`, made once per combination."""
        chosen = {k: v for k, v in settings.items() if k in TS_SETTINGS and k != "cert_req"}
        if not chosen:
            return self.ts_config
        key = tuple(sorted(chosen.items()))
        if key not in self._configs:
            path = os.path.join(self.dir, "ts-%d.cnf" % len(self._configs))
            with open(path, "w") as f:
                f.write(self.config_text(chosen))
            self._configs[key] = path
        return self._configs[key]


def _der_header(data, pos):
    """(header length, content length) of the DER element at pos."""
    first = data[pos + 1]
    if first < 0x80:
        return 2, first
    count = first & 0x7F
    return 2 + count, int.from_bytes(data[pos + 2:pos + 2 + count], "big")


def _der_children(data, pos):
    """[(tag, start, header length, content length)] inside the element at pos."""
    h, length = _der_header(data, pos)
    out, p, end = [], pos + h, pos + h + length
    while p < end:
        ch, cl = _der_header(data, p)
        out.append((data[p], p, ch, cl))
        p += ch + cl
    return out


def counter_signature_data(request):
    """The data of a counter-signature request, or None when it is not one."""
    try:
        top = _der_children(request, 0)
        if request[0] != 0x30 or len(top) != 2:
            return None
        oid = request[top[0][1]:top[0][1] + top[0][2] + top[0][3]]
        if oid != REQUEST_TYPE:
            return None
        inner = _der_children(request, top[1][1])
        explicit = _der_children(request, inner[1][1])
        tag, start, h, length = explicit[0]
        if tag != 0x04:
            return None
        return request[start + h:start + h + length]
    except (IndexError, ValueError):
        return None


# TimeStampResp { PKIStatusInfo { rejection, failInfo badDataFormat } }
REJECTED_BAD_FORMAT = bytes.fromhex("3009300702010203020204")


def _without_cert_req(query, fields):
    """The query without its certReq BOOLEAN (a server that ignores it)."""
    kept = [query[start:start + h + length] for tag, start, h, length in fields[1:]
            if tag != 0x01]
    body = b"".join([query[fields[0][1]:fields[0][1] + fields[0][2] + fields[0][3]]] + kept)
    n = len(body)
    size = b"" if n < 0x80 else n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x30, n if n < 0x80 else 0x80 | len(size)]) + size + body


def _flip_last_content_byte(data, element):
    tag, start, h, length = element
    out = bytearray(data)
    out[start + h + length - 1] ^= 0x01
    return bytes(out)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "FontsealTestTSA/1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        owner = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_REQUEST:
            return self._reply(413, b"too large", "text/plain")
        body = self.rfile.read(length)
        self._record(body)
        options = {}
        for segment in self.path.split("?")[0].split("/"):
            if "=" in segment:
                key, value = segment.split("=", 1)
                options[key] = value
        options = dict(owner.defaults, **options)
        fault = options.get("fault")
        delay = min(float(options.get("delay", 0)), MAX_DELAY)
        if delay > 0:
            owner.stopping.wait(delay)
        if fault == "hang":
            owner.stopping.wait(owner.hang_seconds)
            self.close_connection = True
            return
        if self.headers.get("Content-Type", "").lower() == "application/timestamp-query":
            return self._rfc3161(body, fault, options)
        if options.get("only") == "rfc3161":
            # A server of the other protocol refuses the request as RFC 3161
            # servers do: a TimeStampResp with status rejection, badDataFormat.
            return self._reply(200, REJECTED_BAD_FORMAT, "application/timestamp-reply")
        return self._counter_signature(body, fault, options)

    def _record(self, body):
        request = {
            "request_line": self.requestline,
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body,
        }
        self.server.owner.record(request)

    def _reply(self, status, body, content_type):
        self.send_response(status)
        if content_type:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _counter_signature(self, body, fault, options):
        owner = self.server.owner
        if fault == "status500":
            return self._reply(500, b"<html><body>Internal Server Error</body></html>\r\n",
                               "text/html")
        if fault == "not-base64":
            return self._reply(200, b"<html>this is no time stamp</html>\r\n",
                               "application/octet-stream")
        try:
            request = base64.b64decode(b"".join(body.split()), validate=True)
        except ValueError:
            return self._reply(400, b"request is not base64", "text/plain")
        data = counter_signature_data(request)
        if data is None:
            return self._reply(400, b"not a time-stamp request", "text/plain")
        if fault == "wrong-imprint":
            data = bytes([data[0] ^ 0x01]) + data[1:] if data else b"\x01"
        if "forge" in options:
            cert, key = owner.forged_stamper(options["forge"])
            signed = hand_stamps.counter_signature_reply(
                data, cert, key, datetime.datetime.now(datetime.timezone.utc),
                [owner.ca_certificate()])
        else:
            signed = owner.counter_sign(data, two_signers=(fault == "two-signers"))
        if fault == "bad-signature":
            signed = signed[:-1] + bytes([signed[-1] ^ 0x01])
        text = b"\r\n".join(base64.b64encode(signed)[i:i + 64]
                            for i in range(0, len(base64.b64encode(signed)), 64))
        pad = OVERSIZE if fault == "oversize" else int(options.get("pad", 0))
        if pad > len(text):
            text += b"\r\n" * ((pad - len(text)) // 2) + b"\n" * ((pad - len(text)) % 2)
        self._reply(200, text, None if fault == "no-content-type" else "application/octet-stream")

    def _rfc3161(self, query, fault, options):
        owner = self.server.owner
        try:
            fields = _der_children(query, 0)
            if options.get("cert_req") == "no":
                query = _without_cert_req(query, fields)
                fields = _der_children(query, 0)
            if fault == "wrong-imprint":
                imprint = _der_children(query, fields[1][1])
                query = _flip_last_content_byte(query, imprint[1])
            elif fault == "wrong-nonce":
                nonces = [f for f in fields[2:] if f[0] == 0x02]
                if nonces:
                    query = _flip_last_content_byte(query, nonces[0])
        except (IndexError, ValueError):
            return self._reply(400, b"not a time-stamp query", "text/plain")
        try:
            if "forge" in options:
                reply = owner.forged_rfc3161_reply(query, options["forge"],
                                                   options.get("forge_tsa"))
            else:
                reply = owner.rfc3161_reply(query, options)
        except RuntimeError as e:
            return self._reply(400, str(e).encode(), "text/plain")
        if fault == "status500":
            return self._reply(500, b"<html>Internal Server Error</html>", "text/html")
        if fault == "not-base64":
            reply = b"<html>this is no time stamp</html>\r\n"
        elif fault == "oversize":
            reply += bytes(OVERSIZE - len(reply))
        elif fault == "bad-signature":
            reply = reply[:-1] + bytes([reply[-1] ^ 0x01])
        elif fault == "rejected":
            # TimeStampResp { PKIStatusInfo { status rejection(2) } }
            reply = bytes.fromhex("3005300302 0102".replace(" ", ""))
        self._reply(200, reply, None if fault == "no-content-type"
                    else "application/timestamp-reply")


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = False

    def finish_request(self, request, client_address):
        # TLS handshakes run in the request's own thread, so one stuck client
        # cannot hold up the others.
        if self.owner.tls_context is not None:
            request.settimeout(30)
            try:
                request = self.owner.tls_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)


class TsaServer:
    """One server on 127.0.0.1 and an ephemeral port.

    workdir: where the certificates are made (reused when already there).
    tls: serve https with the `tls` certificate (trust pki.ca to accept it).
    extra_certs: PEM files added to every counter-signature reply.
    defaults: options used when the request's path names none, e.g.
        {"fault": "hang"}.
    hang_seconds: how long a hanging request holds its connection.
    """

    def __init__(self, workdir, tls=False, extra_certs=(), defaults=None, hang_seconds=10.0,
                 ca_serial=None, record_file=None):
        self.pki = TsaPki(workdir, ca_serial)
        self.extra_certs = list(extra_certs)
        self.defaults = dict(defaults or {})
        self.hang_seconds = float(hang_seconds)
        self.record_file = record_file
        self.stopping = threading.Event()
        self.requests = []
        self._lock = threading.Lock()
        self._openssl_lock = threading.Lock()
        self.tls_context = None
        if tls:
            self.tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls_context.load_cert_chain(self.pki.tls_cert, self.pki.tls_key)
        self._httpd = None
        self._thread = None

    @property
    def port(self):
        return self._httpd.server_address[1]

    def url(self, path="/"):
        scheme = "https" if self.tls_context else "http"
        return "%s://127.0.0.1:%d%s" % (scheme, self.port, path)

    @property
    def last_request(self):
        with self._lock:
            return self.requests[-1] if self.requests else None

    def record(self, request):
        with self._lock:
            self.requests.append(request)
            if self.record_file:
                saved = dict(request, body=base64.b64encode(request["body"]).decode())
                tmp = self.record_file + ".tmp"
                with open(tmp, "w") as f:
                    json.dump(saved, f)
                os.replace(tmp, self.record_file)

    def start(self):
        self._httpd = _Server(("127.0.0.1", 0), Handler)
        self._httpd.owner = self
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self.stopping.set()
        if self._httpd:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join(10)
            self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def counter_sign(self, data, two_signers=False):
        """DER of a ContentInfo(signedData) over `data`, made by openssl."""
        pki = self.pki
        with tempfile.TemporaryDirectory(prefix="tsa-") as tmp:
            src = os.path.join(tmp, "data.bin")
            with open(src, "wb") as f:
                f.write(data)
            chain = os.path.join(tmp, "chain.pem")
            with open(chain, "wb") as f:
                for pem in [pki.ca] + self.extra_certs:
                    with open(pem, "rb") as g:
                        f.write(g.read())
            args = ["smime", "-sign", "-binary", "-nodetach", "-nosmimecap", "-md", "sha1",
                    "-signer", pki.cert, "-inkey", pki.key]
            if two_signers:
                args += ["-signer", pki.cert2, "-inkey", pki.key2]
            return _openssl(*(args + ["-certfile", chain, "-in", src, "-outform", "DER"]))

    FORGED_PURPOSES = {
        "none": (None, False),
        "codeSigning": ([hand_stamps.CODE_SIGNING], False),
        "timeStamping": ([hand_stamps.TIME_STAMPING], True),
        "timeStamping-noncritical": ([hand_stamps.TIME_STAMPING], False),
        "older": ([hand_stamps.OLDER_TIME_STAMPING], False),
    }

    def ca_certificate(self):
        from cryptography import x509
        with open(self.pki.ca, "rb") as f:
            return x509.load_pem_x509_certificate(f.read())

    def forged_stamper(self, purpose):
        """(certificate, key) of the CA with the extended key usage named."""
        from cryptography.hazmat.primitives import serialization
        with self._lock:
            cache = self.__dict__.setdefault("_forged", {})
            if purpose not in cache:
                purposes, critical = self.FORGED_PURPOSES[purpose]
                with open(self.pki.ca_key, "rb") as f:
                    ca_key = serialization.load_pem_private_key(f.read(), None)
                key = hand_stamps.new_key()
                cert = hand_stamps.issue("Fontseal Test stamper " + purpose, key,
                                         self.ca_certificate(), ca_key, purposes=purposes,
                                         critical=critical)
                cache[purpose] = (cert, key)
            return cache[purpose]

    def forged_rfc3161_reply(self, query, purpose, tsa=None):
        """A granted TimeStampResp for the query, made by hand; `tsa` "self"
        names the stamper in the TSTInfo, "other" someone else."""
        fields = _der_children(query, 0)
        imprint = _der_children(query, fields[1][1])
        alg = _der_children(query, imprint[0][1])[0]
        alg_oid = query[alg[1]:alg[1] + alg[2] + alg[3]]
        name = [n for n, o in hand_stamps.HASHES.items() if hand_stamps.oid(o) == alg_oid][0]
        tag, start, h, length = imprint[1]
        digest = query[start + h:start + h + length]
        nonces = [query[f[1] + f[2]:f[1] + f[2] + f[3]] for f in fields[2:] if f[0] == 0x02]
        cert, key = self.forged_stamper(purpose)
        named = {None: None, "self": cert.subject, "other": self.ca_certificate().subject}[tsa]
        token = hand_stamps.rfc3161_token(digest, name, cert, key,
                                          datetime.datetime.now(datetime.timezone.utc),
                                          nonces[0] if nonces else None,
                                          [self.ca_certificate()], named)
        return hand_stamps.rfc3161_reply(token)

    def rfc3161_reply(self, query, settings=None):
        """DER of a TimeStampResp for the query, made by openssl ts with
        OpenSSL's default TSA settings, changed by `settings` (TS_SETTINGS)."""
        with self._openssl_lock, tempfile.TemporaryDirectory(prefix="tsa-") as tmp:
            q = os.path.join(tmp, "query.tsq")
            with open(q, "wb") as f:
                f.write(query)
            config = self.pki.config_for(dict(settings or {}))
            return _openssl("ts", "-reply", "-config", config, "-queryfile", q)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dir", required=True, help="directory for keys and certificates")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--extra-cert", action="append", default=[])
    parser.add_argument("--fault")
    parser.add_argument("--hang-seconds", type=float, default=10.0)
    parser.add_argument("--record", help="file that receives the last request as JSON")
    parser.add_argument("--lifetime", type=float, default=600.0)
    args = parser.parse_args()
    defaults = {"fault": args.fault} if args.fault else {}
    server = TsaServer(args.dir, tls=args.tls, extra_certs=args.extra_cert, defaults=defaults,
                       hang_seconds=args.hang_seconds, record_file=args.record).start()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: done.set())

    def watch_stdin():
        try:
            sys.stdin.buffer.read()
        finally:
            done.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    print(server.port, flush=True)
    done.wait(args.lifetime)
    server.stop()


if __name__ == "__main__":
    main()

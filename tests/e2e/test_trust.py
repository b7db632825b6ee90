# SPDX-License-Identifier: Apache-2.0
"""Trust decisions end to end: a CA made with `openssl ca` (root, intermediate,
leaves, revoked leaves, CRLs from `openssl ca -gencrl`), OCSP answers made by
`openssl ocsp -index` behind a loopback HTTP server that also serves the
intermediate and the CRL at the URLs the certificates name, and fonts stamped
by the test TSA (`openssl ts -reply`). Every outcome, in text, JSON and HTML,
is held against `openssl verify -crl_check` or `openssl ocsp` on the same
certificates."""
import html
import http.server
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from e2e_support import CLI, DEJAVU, check, read, run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tsa_server import TsaServer  # noqa: E402

CA_CONF = """
[ca]
default_ca = CA_default
[CA_default]
dir = {dir}
database = $dir/index.txt
new_certs_dir = $dir/new
serial = $dir/serial
crlnumber = $dir/crlnumber
certificate = $dir/ca.pem
private_key = $dir/ca.key
default_md = sha256
default_days = 30
default_crl_days = 7
policy = policy_any
unique_subject = no
[policy_any]
commonName = supplied
[req]
distinguished_name = dn
[dn]
[inter_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
authorityInfoAccess = caIssuers;URI:$ENV::AIA_CA,OCSP;URI:$ENV::AIA_OCSP
crlDistributionPoints = URI:$ENV::CDP
[ocsp_ext]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = OCSPSigning
"""


# The leaf extensions read their URLs from the environment; other sections of
# the same file are read without any.
for _name in ("AIA_CA", "AIA_OCSP", "CDP"):
    os.environ.setdefault(_name, "http://127.0.0.1/")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Ca:
    """A CA directory run by `openssl ca`."""

    def __init__(self, d, name, subject, parent=None):
        self.dir = os.path.join(d, name)
        os.makedirs(os.path.join(self.dir, "new"))
        open(os.path.join(self.dir, "index.txt"), "w").close()
        for f in ("serial", "crlnumber"):
            with open(os.path.join(self.dir, f), "w") as out:
                out.write("1000\n" if f == "serial" else "01\n")
        self.conf = os.path.join(self.dir, "ca.cnf")
        with open(self.conf, "w") as f:
            f.write(CA_CONF.format(dir=self.dir))
        self.key, self.cert = self.file("ca.key"), self.file("ca.pem")
        if parent is None:
            check(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                   self.key, "-out", self.cert, "-days", "60", "-subj", subject, "-config",
                   self.conf, "-extensions", "inter_ext"])
        else:
            parent.issue(subject, "inter_ext", self.key, self.cert)

    def file(self, name):
        return os.path.join(self.dir, name)

    def issue(self, subject, ext, key, cert, env=None):
        csr = cert + ".csr"
        check(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
               "-out", csr, "-subj", subject, "-config", self.conf])
        r = run(["openssl", "ca", "-batch", "-notext", "-config", self.conf, "-extensions", ext,
                 "-in", csr, "-out", cert], env=dict(os.environ, **(env or {})))
        assert r.returncode == 0, r.stderr

    def revoke(self, cert, reason, when=None):
        check(["openssl", "ca", "-config", self.conf, "-revoke", cert, "-crl_reason", reason])
        if when is not None:
            # `openssl ca` revokes as of now; the index is where it keeps the date.
            serial = check(["openssl", "x509", "-in", cert, "-noout", "-serial"]).split("=")[1]
            stamp = time.strftime("%y%m%d%H%M%SZ", time.gmtime(when))
            lines = []
            with open(self.file("index.txt")) as f:
                for line in f:
                    fields = line.split("\t")
                    if fields[3].upper() == serial.strip().upper():
                        fields[2] = stamp + "," + fields[2].split(",", 1)[1]
                    lines.append("\t".join(fields))
            with open(self.file("index.txt"), "w") as f:
                f.writelines(lines)

    def crl(self, out, *validity):
        check(["openssl", "ca", "-gencrl", "-config", self.conf, "-out", out, *validity])
        der = out + ".der"
        check(["openssl", "crl", "-in", out, "-outform", "DER", "-out", der])
        return der


class Server:
    """Loopback HTTP: the intermediate, its CRL, OCSP answers made by
    `openssl ocsp -index`, and faults: /hang never answers, /big sends 10 MB,
    /loop redirects to itself."""

    def __init__(self, d):
        self.d = d
        self.files = {}
        self.hits = {}
        self.responders = {}  # path: (index, ca, rsigner, rkey)
        self.stopping = threading.Event()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def count(self):
                owner.hits[self.path] = owner.hits.get(self.path, 0) + 1

            def reply(self, body, kind="application/octet-stream", status=200):
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                self.count()
                if self.path == "/hang":
                    owner.stopping.wait(120)
                    return
                if self.path == "/big":
                    self.send_response(200)
                    self.send_header("Content-Length", str(10 << 20))
                    self.end_headers()
                    try:
                        for _ in range(160):
                            self.wfile.write(b"\0" * 65536)
                    except OSError:
                        pass
                    return
                if self.path == "/loop":
                    self.send_response(302)
                    self.send_header("Location", "/loop")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if self.path in owner.files:
                    return self.reply(owner.files[self.path])
                self.reply(b"not here", "text/plain", 404)

            def do_POST(self):
                self.count()
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                tmp = tempfile.mkdtemp(dir=owner.d)
                req, resp = os.path.join(tmp, "req"), os.path.join(tmp, "resp")
                with open(req, "wb") as f:
                    f.write(body)
                if self.path not in owner.responders:
                    return self.reply(b"not here", "text/plain", 404)
                index, ca, rsigner, rkey = owner.responders[self.path]
                r = run(["openssl", "ocsp", "-index", index, "-CA", ca, "-rsigner", rsigner,
                         "-rkey", rkey, "-reqin", req, "-respout", resp, "-nmin", "10"])
                if r.returncode != 0:
                    return self.reply(r.stderr.encode(), "text/plain", 500)
                with open(resp, "rb") as f:
                    self.reply(f.read(), "application/ocsp-response")

        class Threading(http.server.ThreadingHTTPServer):
            daemon_threads = True

        self.httpd = Threading(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.httpd.server_address[1], path)

    def stop(self):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def leaf_env(server, dead, ca="/inter.der", ocsp="/ocsp"):
    base = server.url("") if not dead else "http://127.0.0.1:%d" % dead
    return {"AIA_CA": server.url(ca), "AIA_OCSP": server.url(ocsp) if ocsp != "/ocsp" else
            base + "/ocsp", "CDP": base + "/inter.crl"}


def verify(*args):
    return run([CLI, "verify", *args])


class TrustTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="fontseal-trust-")
        d = cls.d = cls.tmp.name
        cls.server = Server(d)
        cls.tsa = TsaServer(os.path.join(d, "tsa")).start()
        cls.root = Ca(d, "root", "/CN=Trust Test Root")
        cls.inter = Ca(d, "inter", "/CN=Trust Test Intermediate", parent=cls.root)
        inter = cls.inter
        cls.server.files["/inter.der"] = subprocess.run(
            ["openssl", "x509", "-in", inter.cert, "-outform", "DER"], capture_output=True,
            check=True).stdout
        ocsp_key, ocsp_cert = inter.file("ocsp.key"), inter.file("ocsp.pem")
        inter.issue("/CN=Trust Test OCSP Responder", "ocsp_ext", ocsp_key, ocsp_cert)
        cls.server.files["/inter.p7c"] = subprocess.run(
            ["openssl", "crl2pkcs7", "-nocrl", "-certfile", inter.cert, "-outform", "DER"],
            capture_output=True, check=True).stdout
        cls.server.responders["/ocsp"] = (inter.file("index.txt"), inter.cert, ocsp_cert,
                                          ocsp_key)
        # A responder nobody delegated: its own self-signed certificate.
        stranger_key, stranger = inter.file("stranger.key"), inter.file("stranger.pem")
        check(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
               stranger_key, "-out", stranger, "-days", "30", "-subj", "/CN=Stranger",
               "-config", inter.conf, "-extensions", "ocsp_ext"])
        cls.server.responders["/ocsp-stranger"] = (inter.file("index.txt"), inter.cert, stranger,
                                                   stranger_key)
        dead = cls.dead = free_port()
        cls.leaves = {}
        for name, env in [("good", leaf_env(cls.server, None)),
                          ("before", leaf_env(cls.server, None)),
                          ("after", leaf_env(cls.server, None)),
                          ("compromise", leaf_env(cls.server, None)),
                          ("down", leaf_env(cls.server, dead)),
                          ("p7", leaf_env(cls.server, None, "/inter.p7c")),
                          ("stranger", leaf_env(cls.server, dead, ocsp="/ocsp-stranger")),
                          ("hang", leaf_env(cls.server, dead, "/hang")),
                          ("big", leaf_env(cls.server, dead, "/big")),
                          ("loop", leaf_env(cls.server, dead, "/loop"))]:
            key, cert = inter.file(name + ".key"), inter.file(name + ".pem")
            inter.issue("/CN=Trust Test Publisher " + name, "leaf_ext", key, cert, env)
            with open(inter.file(name + "-chain.pem"), "w") as f:
                f.write((read(cert) + read(inter.cert)).decode())
            cls.leaves[name] = (key, cert)
        time.sleep(1.1)
        cls.fonts = {}
        for name, (key, cert) in cls.leaves.items():
            # "bare": without the intermediate, which must then be found.
            for suffix, certs in (("", inter.file(name + "-chain.pem")), ("-bare", cert)):
                out = os.path.join(d, "fonts", "%s%s font.ttf" % (name, suffix))
                os.makedirs(os.path.dirname(out), exist_ok=True)
                r = run([CLI, "sign", "--key", key, "--cert", certs, "--timestamp-rfc3161",
                         cls.tsa.url("/ts"), DEJAVU, out], stdin=subprocess.DEVNULL)
                assert r.returncode == 0, r.stderr
                cls.fonts[name + suffix] = out
        cls.stamped = time.time()
        time.sleep(1.1)
        inter.revoke(cls.leaves["before"][1], "superseded", when=int(cls.stamped) - 3600)
        inter.revoke(cls.leaves["after"][1], "superseded")
        inter.revoke(cls.leaves["compromise"][1], "keyCompromise")
        cls.crl = inter.crl(inter.file("inter.crl.pem"))
        cls.server.files["/inter.crl"] = read(cls.crl)
        cls.expired = inter.crl(inter.file("expired.crl.pem"), "-crlsec", "1")
        time.sleep(2.1)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tsa.stop()
        cls.tmp.cleanup()

    def openssl_verify(self, name, crl=None, untrusted=True):
        args = ["openssl", "verify", "-CAfile", self.root.cert]
        if untrusted:
            args += ["-untrusted", self.inter.cert]
        if crl:
            args += ["-crl_check", "-CRLfile", crl]
        r = run(args + [self.leaves[name][1]])
        return (r.stdout + r.stderr).strip()

    def openssl_ocsp(self, name, url):
        r = run(["openssl", "ocsp", "-issuer", self.inter.cert, "-cert", self.leaves[name][1],
                 "-url", url, "-CAfile", self.root.cert, "-verify_other", self.inter.cert,
                 "-timeout", "5"])
        return (r.stdout + r.stderr).strip()

    def three_ways(self, font, args):
        """The verdict of one font as text, JSON and an HTML report."""
        text = verify(*args, font)
        js = verify(*args, "--json", font)
        page = os.path.join(self.d, "report page.html")
        ht = verify(*args, "--html", page, font)
        self.assertEqual({text.returncode, js.returncode, ht.returncode} - {0, 1}, set(),
                         text.stderr + js.stderr)
        self.assertEqual(text.returncode, js.returncode)
        self.assertEqual(text.returncode, ht.returncode)
        with open(page, encoding="utf-8") as f:
            return text, json.loads(js.stdout)[0], html.unescape(f.read())

    def test_matrix_agrees_with_openssl(self):
        s = self.server
        # The publisher's root and the time-stamp authority's: a stamp's time
        # counts against revocation only when its signer chains to the roots.
        bundle = os.path.join(self.d, "roots and tsa.pem")
        with open(bundle, "wb") as f:
            f.write(read(self.root.cert) + read(self.tsa.pki.ca))
        roots = ["--ca-file", bundle]
        # name: font, options, verdict, failed check, chain, revocation, revocation reason
        # pattern, the independent answer and its expected pattern.
        cases = [
            ("good chain", "good", ["--crl-file", self.crl], "valid", None, "pass", "pass",
             r"not revoked", lambda: self.openssl_verify("good", self.crl), r": OK$"),
            ("missing intermediate fetched", "good-bare", ["--online"], "valid", None, "pass",
             "pass", r"not revoked",
             lambda: self.openssl_ocsp("good", s.url("/ocsp")), r"good"),
            ("missing intermediate fetched as PKCS#7", "p7-bare", ["--online"], "valid", None,
             "pass", "pass", r"not revoked",
             lambda: self.openssl_ocsp("p7", s.url("/ocsp")), r"good"),
            ("OCSP answer signed by a stranger", "stranger", ["--online"], "valid", None,
             "pass", "unknown", r"not signed by the issuer or its responder",
             lambda: self.openssl_ocsp("stranger", s.url("/ocsp-stranger")),
             r"Response Verify Failure"),
            ("revoked before stamp", "before", ["--crl-file", self.crl], "invalid",
             "revocation", "pass", "fail", r"revoked at .*superseded.*before the time stamp",
             lambda: self.openssl_verify("before", self.crl), r"certificate revoked"),
            ("revoked after stamp", "after-bare", ["--online"], "valid", None, "pass", "pass",
             r"revoked at .*superseded.*after the time stamp.*came first",
             lambda: self.openssl_ocsp("after", s.url("/ocsp")),
             r"revoked(.|\n)*Reason: superseded"),
            ("revoked after an untrusted stamp", "after", ["--online", "--ca-file",
             self.root.cert], "invalid", "revocation", "pass", "fail",
             r"superseded.*before now.*time stamp's signer does not chain to the roots", None,
             None),
            ("keyCompromise", "compromise", ["--online"], "invalid", "revocation", "pass",
             "fail", r"revoked at .*keyCompromise.*after the time stamp.*compromised key",
             lambda: self.openssl_ocsp("compromise", s.url("/ocsp")),
             r"revoked(.|\n)*Reason: keyCompromise"),
            ("responder down", "down", ["--online"], "valid", None, "pass", "unknown",
             r"OCSP responder http://127\.0\.0\.1:\d+/ocsp: .*(onnect|refused)",
             lambda: self.openssl_ocsp("down", "http://127.0.0.1:%d/ocsp" % self.dead),
             r"(?i)error|connect"),
            ("responder down, check required", "down", ["--online",
             "--require-revocation-check"], "invalid", "revocation", "pass", "fail",
             r"required.*OCSP responder", None, None),
            ("CRL expired", "good", ["--crl-file", self.expired], "valid", None, "pass",
             "unknown", r"CRL from .* expired at",
             lambda: self.openssl_verify("good", self.expired), r"CRL has expired"),
            ("CRL expired, check required", "good", ["--crl-file", self.expired,
             "--require-revocation-check"], "invalid", "revocation", "pass", "fail",
             r"expired", None, None),
            ("no roots: nothing trusted", "good", ["--crl-file", self.crl], "valid", None,
             "not checked", "not checked", r"chain to given roots", None, None),
        ]
        for (name, font, options, verdict, failed, chain, revocation, why, oracle,
             expected) in cases:
            with self.subTest(name):
                given = name == "no roots: nothing trusted" or "--ca-file" in options
                args = ([] if given else roots) + options
                text, js, page = self.three_ways(self.fonts[font], args)
                self.assertEqual(js["status"], verdict, js)
                self.assertEqual(js.get("failed_check"), failed, js)
                checks = js["checks"]
                self.assertEqual(checks["chain"]["outcome"], chain, checks)
                self.assertEqual(checks["revocation"]["outcome"], revocation, checks)
                self.assertRegex(checks["revocation"]["reason"], why)
                self.assertEqual(checks["timestamp"]["outcome"], "pass")
                first = text.stdout.splitlines()[0]
                self.assertTrue(first.endswith(": " + verdict), text.stdout)
                if failed:
                    self.assertRegex(text.stdout, r"why: revocation check failed: .*" + why)
                    self.assertRegex(page, r"revocation</span> check failed: .*" + why)
                else:
                    self.assertRegex(text.stdout, r"revocation: %s" % revocation)
                    self.assertRegex(page, r"revocation %s" % revocation)
                self.assertIn('class="%s' % verdict, page)
                if oracle:
                    self.assertRegex(oracle(), expected)
        # One run fetches each URL once however many fonts need it.
        before = dict(s.hits)
        r = verify(*roots, "--online", self.fonts["good-bare"], self.fonts["after-bare"],
                   self.fonts["good-bare"])
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(s.hits.get("/inter.p7c"), 3)  # one run each: text, JSON, HTML
        for path in ("/inter.der", "/inter.crl"):
            self.assertEqual(s.hits[path] - before.get(path, 0), 1, (path, s.hits))

    def test_policy_options(self):
        sha1 = os.path.join(self.d, "sha1 font.ttf")
        key, cert = self.leaves["good"]
        check([CLI, "sign", "--key", key, "--cert", self.inter.file("good-chain.pem"),
               "--digest", "sha1", DEJAVU, sha1])
        roots = ["--ca-file", self.root.cert]
        later = time.strftime("%Y-%m-%dT%H:%M", time.gmtime(time.time() + 90 * 86400))
        cases = [
            # font, options, exit status, failed check, reason pattern
            (sha1, ["--min-digest", "sha256"], 1, "digest", r"SHA-1, weaker than the SHA-256"),
            (self.fonts["good"], ["--min-digest", "SHA-256"], 0, None, None),
            (sha1, ["--require-timestamp"], 1, "timestamp", r"time stamp is required"),
            (self.fonts["good"], ["--require-timestamp"], 0, None, None),
            (self.fonts["good"], ["--require-chain"], 1, "chain", r"no roots were given"),
            (self.fonts["good"], ["--require-chain"] + roots, 0, None, None),
            (self.fonts["good-bare"], roots, 1, "chain", r"unable to get local issuer"),
            (self.fonts["good-bare"], roots + ["--untrusted", self.inter.cert], 0, None, None),
            (sha1, roots + ["--at", later], 1, "chain", r"expired"),
            (sha1, ["--ca-path", os.path.join(self.d, "hashed")], 0, None, None),
            (sha1, ["--system-roots"], 1, "chain", r"unable to get local issuer"),
        ]
        hashed = os.path.join(self.d, "hashed")
        os.makedirs(hashed, exist_ok=True)
        shutil.copy(self.root.cert, os.path.join(hashed, "root.pem"))
        check(["openssl", "rehash", hashed])
        for font, options, status, failed, why in cases:
            with self.subTest(options=options):
                r = verify(*options, "--json", font)
                self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                report = json.loads(r.stdout)[0]
                self.assertEqual(report.get("failed_check"), failed, report)
                if why:
                    self.assertRegex(report["message"], why)
        for bad in (["--min-digest", "crc32"], ["--at", "yesterday"],
                    ["--ca-path", os.path.join(self.d, "none")],
                    ["--crl-file", os.path.join(self.d, "none.crl")]):
            with self.subTest(bad=bad):
                r = verify(*bad, self.fonts["good"])
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(bad[1], r.stderr)

    def test_network_faults_are_bounded(self):
        # (leaf, what the reason must say, seconds the fetch may take at most)
        cases = [("loop", r"redirects", 10), ("big", r"larger than 1048576 bytes", 10),
                 ("hang", r"no complete reply within the time allowed", 40)]
        for name, why, limit in cases:
            with self.subTest(name):
                started = time.monotonic()
                r = verify("--ca-file", self.root.cert, "--online", "--json",
                           self.fonts[name + "-bare"])
                took = time.monotonic() - started
                self.assertLess(took, limit)
                report = json.loads(r.stdout)[0]
                self.assertEqual((r.returncode, report["failed_check"]), (1, "chain"), report)
                self.assertRegex(report["message"], why)


if __name__ == "__main__":
    unittest.main()

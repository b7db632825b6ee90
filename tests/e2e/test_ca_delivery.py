# SPDX-License-Identifier: Apache-2.0
"""Certificates as CAs deliver them, and the sign command as a newcomer
meets it. A throw-away CA made with openssl issues through an intermediate
(root -> intermediate -> leaf, and a two-intermediate variant); its PKCS#12
and PEM deliveries go into the store and sign by every store route, checked by
openssl smime against the root alone. Certificates that verifying refuses are
signed with a warning, judged against osslsigncode and openssl. Traps of the
CLI (an overwritten glob, unknown digest names, a key without certificate,
family runs, interruptions) and terminal escapes in names and paths are
driven through the CLI."""
import ctypes
import datetime
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID, ObjectIdentifier

from der_walk import SignedBlob
from e2e_support import CLI, DEJAVU, LIB, check, cli, open_checked, read, run, write

FONTS = "/usr/share/fonts/truetype/dejavu/"
PASSWORD = "foundry pass"
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
MS_INDIVIDUAL = "1.3.6.1.4.1.311.2.1.21"
MS_COMMERCIAL = "1.3.6.1.4.1.311.2.1.22"
ANY_EKU = "2.5.29.37.0"

CA_CONF = """[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def der_of(pem_path):
    return x509.load_pem_x509_certificate(read(pem_path)).public_bytes(
        serialization.Encoding.DER)


class Pki:
    """A CA as CAs are: a root, intermediates issued down from it, and a leaf
    issued by the last one, all made with openssl req/x509."""

    def __init__(self, directory, depth=1):
        self.dir = directory
        conf = self.path("ca.cnf")
        with open(conf, "w") as f:
            f.write(CA_CONF)
        self.root_key, self.root = self.path("root.key"), self.path("root.pem")
        check(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
               self.root_key, "-out", self.root, "-days", "30", "-subj", "/CN=Test Root CA",
               "-config", conf, "-extensions", "root"])
        self.intermediates = []  # issuer order seen from the leaf: last made first
        issuer, issuer_key = self.root, self.root_key
        for i in range(depth):
            cert, key = self.issue("Test Intermediate CA %d" % (i + 1), "intermediate%d" % i,
                                   issuer, issuer_key, "intermediate")
            self.intermediates.insert(0, cert)
            issuer, issuer_key = cert, key
        self.issuer, self.issuer_key = issuer, issuer_key
        self.leaf, self.leaf_key = self.issue("Test Foundry", "leaf", issuer, issuer_key, "leaf")

    def path(self, name):
        return os.path.join(self.dir, name)

    def issue(self, cn, name, issuer, issuer_key, extensions):
        key, csr, cert = self.path(name + ".key"), self.path(name + ".csr"), self.path(
            name + ".pem")
        check(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
               "-out", csr, "-subj", "/CN=" + cn, "-config", self.path("ca.cnf")])
        check(["openssl", "x509", "-req", "-in", csr, "-CA", issuer, "-CAkey", issuer_key,
               "-CAcreateserial", "-out", cert, "-days", "30", "-extfile", self.path("ca.cnf"),
               "-extensions", extensions])
        return cert, key

    def bundle(self, name, *pems):
        out = self.path(name)
        with open(out, "wb") as f:
            for pem in pems:
                f.write(read(pem))
        return out

    def pkcs12(self, name, chain_order):
        """openssl pkcs12 -export of the leaf and its key, with chain_order's
        certificates as -certfile (a CA may list them in any order)."""
        out = self.path(name)
        check(["openssl", "pkcs12", "-export", "-inkey", self.leaf_key, "-in", self.leaf,
               "-certfile", self.bundle(name + ".chain.pem", *chain_order), "-out", out,
               "-passout", "pass:" + PASSWORD])
        return out

    def made_leaf(self, name, cn=None, eku=None, ku=None, days_from=-1, days_to=30):
        """A leaf of the last intermediate with any validity and usages (what
        openssl req/x509 cannot backdate), made with python3-cryptography."""
        issuer_key = serialization.load_pem_private_key(read(self.issuer_key), None)
        issuer = x509.load_pem_x509_certificate(read(self.issuer))
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        now = datetime.datetime.now(datetime.timezone.utc)
        builder = (x509.CertificateBuilder()
                   .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME,
                                                               cn or name)]))
                   .issuer_name(issuer.subject).public_key(key.public_key())
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(now + datetime.timedelta(days=days_from))
                   .not_valid_after(now + datetime.timedelta(days=days_to))
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                       issuer_key.public_key()), False))
        if eku is not None:
            builder = builder.add_extension(
                x509.ExtendedKeyUsage([ObjectIdentifier(o) for o in eku]), False)
        if ku is not None:
            flags = dict.fromkeys(
                ("digital_signature", "content_commitment", "key_encipherment",
                 "data_encipherment", "key_agreement", "key_cert_sign", "crl_sign",
                 "encipher_only", "decipher_only"), False)
            flags.update(dict.fromkeys(ku, True))
            builder = builder.add_extension(x509.KeyUsage(**flags), True)
        cert = builder.sign(issuer_key, hashes.SHA256())
        cert_path, key_path = self.path(name + ".pem"), self.path(name + ".key")
        write(cert_path, cert.public_bytes(serialization.Encoding.PEM))
        write(key_path, key.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
        return cert_path, key_path


PKI = DEEP = None
TMP = None


def setUpModule():
    global PKI, DEEP, TMP
    TMP = tempfile.TemporaryDirectory(prefix="fontseal-ca-")
    os.mkdir(os.path.join(TMP.name, "one"))
    os.mkdir(os.path.join(TMP.name, "two"))
    PKI = Pki(os.path.join(TMP.name, "one"))
    DEEP = Pki(os.path.join(TMP.name, "two"), depth=2)


def tearDownModule():
    TMP.cleanup()


class Base(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="fontseal-ca-")
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.work.name, "data"),
                        KEYPASS=PASSWORD)

    def tearDown(self):
        self.work.cleanup()

    def path(self, *names):
        return os.path.join(self.work.name, *names)

    def fontseal(self, *args, **kw):
        return cli(*args, env=self.env, stdin=subprocess.DEVNULL, start_new_session=True, **kw)

    def ok(self, *args):
        r = self.fontseal(*args)
        self.assertEqual(r.returncode, 0, (args, r.stdout, r.stderr))
        return r

    def smime(self, font, root):
        """openssl's verdict on the signature, trusting `root` alone."""
        blob = bytes(open_checked(font)["DSIG"].signatureRecords[0].pkcs7)
        b, c = self.path("blob.der"), self.path("inner.bin")
        write(b, blob)
        write(c, SignedBlob(blob).inner)
        return run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-content", c,
                    "-in", b, "-out", "/dev/null", "-CAfile", root, "-purpose", "any"])


class ChainTest(Base):
    def test_every_store_route_signs_with_the_chain(self):
        """Each delivery, imported, keeps the issuing chain (issuer order, root
        left out); sign --store and win_sign_font put it into the signature,
        so that the root alone verifies it."""
        lib = ctypes.CDLL(LIB)
        lib.create_win_csp.restype = ctypes.c_void_p
        lib.create_win_csp.argtypes = [ctypes.c_void_p]
        lib.release_win_csp.argtypes = [ctypes.c_void_p]
        lib.fontseal_store_find.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32,
                                            ctypes.POINTER(ctypes.c_void_p), ctypes.c_void_p]
        lib.win_sign_font.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p,
                                      ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p,
                                      ctypes.c_char_p, ctypes.c_char_p]
        for pki in (PKI, DEEP):
            # The chain a CA hands out, in the order it likes, root included.
            scrambled = [pki.root] + pki.intermediates[::-1]
            cases = [
                ("PKCS#12 from openssl pkcs12 -export",
                 ["--key", pki.pkcs12("foundry.pfx", scrambled), "--password-env", "KEYPASS"]),
                ("PEM key with a PEM chain file",
                 ["--key", pki.leaf_key, "--cert",
                  pki.bundle("chain.pem", pki.root, pki.leaf, *scrambled[1:])]),
            ]
            for what, args in cases:
                with self.subTest(depth=len(pki.intermediates), delivery=what):
                    shutil.rmtree(self.path("data"), ignore_errors=True)
                    thumb = self.ok("store", "import", *args).stdout.strip()
                    listed = json.loads(self.ok("store", "list", "--json").stdout)
                    self.assertEqual([(e["thumbprint"], e["chain_certificates"]) for e in listed],
                                     [(thumb, len(pki.intermediates))])
                    self.assertIn("chain:         %d issuing certificate" %
                                  len(pki.intermediates), self.ok("store", "list").stdout)
                    expected = [der_of(pki.leaf)] + [der_of(c) for c in pki.intermediates]
                    routes = {"sign --store": self.path("store.ttf"),
                              "win_sign_font": self.path("win.ttf")}
                    self.ok("sign", "--store", thumb, DEJAVU, routes["sign --store"])
                    self.win_sign(lib, thumb, routes["win_sign_font"])
                    for route, font in routes.items():
                        self.assertEqual(SignedBlob(bytes(open_checked(font)["DSIG"]
                                                          .signatureRecords[0].pkcs7))
                                         .certificates, expected, route)
                        r = self.smime(font, pki.root)
                        self.assertEqual(r.returncode, 0, (route, r.stderr))
                        v = self.fontseal("verify", "--ca-file", pki.root, font)
                        self.assertEqual(v.returncode, 0, (route, v.stdout))
                        self.assertIn("chain: checked", v.stdout)

        # A chain file without a key: every certificate becomes an entry with
        # the chain it has in the file; the key imported later keeps it.
        shutil.rmtree(self.path("data"), ignore_errors=True)
        self.ok("store", "import", "--cert",
                DEEP.bundle("all.pem", DEEP.root, *DEEP.intermediates, DEEP.leaf))
        counts = {e["subject"]: e["chain_certificates"]
                  for e in json.loads(self.ok("store", "list", "--json").stdout)}
        self.assertEqual(counts, {"Test Root CA": 0, "Test Intermediate CA 1": 0,
                                  "Test Intermediate CA 2": 1, "Test Foundry": 2})
        thumb = self.ok("store", "import", "--key", DEEP.leaf_key, "--cert",
                        DEEP.leaf).stdout.strip()
        self.ok("sign", "--store", thumb, DEJAVU, self.path("later.ttf"))
        self.assertEqual(self.smime(self.path("later.ttf"), DEEP.root).returncode, 0)

    def win_sign(self, lib, thumb, out):
        saved = os.environ.get("XDG_DATA_HOME")
        os.environ["XDG_DATA_HOME"] = self.env["XDG_DATA_HOME"]
        try:
            csp = lib.create_win_csp(None)
            entry = ctypes.c_void_p()
            self.assertEqual(lib.fontseal_store_find(csp, thumb.encode(), 1,
                                                     ctypes.byref(entry), None), 0)
            self.assertEqual(lib.win_sign_font(DEJAVU.encode(), out.encode(), entry, 1, 0, None,
                                               None, None), 0)
            lib.release_win_csp(csp)
        finally:
            if saved is None:
                os.environ.pop("XDG_DATA_HOME")
            else:
                os.environ["XDG_DATA_HOME"] = saved


class CertificateWarningTest(Base):
    def test_sign_warns_where_verify_refuses(self):
        """Signing goes on with a warning exactly where verify --ca-file
        refuses, saying what verify says; osslsigncode (extended key usage)
        and openssl verify (key usage, validity) judge the same certificates."""
        script = self.path("s.ps1")
        write(script, b'Write-Host "fontseal"\r\n')
        cases = [  # name, eku, ku, from, to, words of the warning (None: none)
            ("code-signing", [CODE_SIGNING], ["digital_signature"], -1, 30, None),
            ("code-signing-and-commercial", [CODE_SIGNING, MS_COMMERCIAL],
             ["digital_signature"], -1, 30, None),
            ("no-usages", None, None, -1, 30, None),
            ("individual-only", [MS_INDIVIDUAL], ["digital_signature"], -1, 30,
             "is not for code signing"),
            ("commercial-only", [MS_COMMERCIAL], None, -1, 30, "is not for code signing"),
            ("any-purpose", [ANY_EKU], None, -1, 30, "is not for code signing"),
            ("e-mail", ["1.3.6.1.5.5.7.3.4"], None, -1, 30, "is not for code signing"),
            ("key-encipherment", None, ["key_encipherment"], -1, 30,
             "its key usage does not include digitalSignature"),
            ("expired", [CODE_SIGNING], ["digital_signature"], -60, -1,
             "certificate has expired"),
            ("not-yet-valid", [CODE_SIGNING], ["digital_signature"], 2, 30,
             "certificate is not yet valid"),
        ]
        for name, eku, ku, start, end, words in cases:
            with self.subTest(certificate=name):
                cert, key = PKI.made_leaf(name, eku=eku, ku=ku, days_from=start, days_to=end)
                chain = PKI.bundle(name + ".chain.pem", cert, *PKI.intermediates)
                out = self.path(name + ".ttf")
                r = self.ok("sign", "--key", key, "--cert", chain, DEJAVU, out)
                v = self.fontseal("verify", "--ca-file", PKI.root, out)
                if words is None:
                    self.assertEqual(r.stderr, "")
                    self.assertEqual(v.returncode, 0, v.stdout)
                else:
                    warning = r.stderr.strip()
                    self.assertTrue(warning.startswith("fontseal sign: warning: the signing "
                                                       "certificate '%s' " % name), warning)
                    self.assertIn(words, warning)
                    self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                    self.assertEqual(v.returncode, 1, v.stdout)
                    # What the warning said verify would say, verify says.
                    said = re.search(r'will say "([^"]*)"', warning).group(1)
                    self.assertIn(said, v.stdout)
                # The independent judges of the same certificate.
                if eku is not None and ku != ["key_encipherment"] and start < 0 < end:
                    signed = self.path(name + ".ps1")
                    check(["osslsigncode", "sign", "-certs", chain, "-key", key, "-in", script,
                           "-out", signed])
                    o = run(["osslsigncode", "verify", "-CAfile", PKI.root, "-in", signed])
                    self.assertEqual(o.returncode == 0, words is None, o.stdout + o.stderr)
                else:
                    # Key usage and validity, as openssl's signing purpose checks them.
                    o = run(["openssl", "verify", "-purpose", "smimesign", "-CAfile", PKI.root,
                             "-untrusted", PKI.intermediates[0], cert])
                    self.assertEqual(o.returncode == 0, words is None, o.stdout + o.stderr)


class SlowServer:
    """An HTTP server that answers every request late and with an error, so
    that each font of a family takes a known while and gets no stamp."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            time.sleep(self.server.delay)
            self.send_response(503)
            self.send_header("Content-Length", "0")
            self.end_headers()

    def __init__(self, delay):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self.Handler)
        self.httpd.delay = delay
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class SignCommandTest(Base):
    def setUp(self):
        super().setUp()
        self.key = ["--key", PKI.leaf_key, "--cert",
                    PKI.bundle("leaf-chain.pem", PKI.leaf, *PKI.intermediates)]

    def fonts(self, folder, names):
        os.makedirs(self.path(folder), exist_ok=True)
        out = []
        for name, source in names:
            out.append(self.path(folder, name))
            shutil.copy(FONTS + source, out[-1])
        return out

    def test_outputs_are_never_someone_elses_font(self):
        """Two positional fonts: the second is replaced only when it is the
        first, the first's own signed font, no font at all, or --force says
        so; --in-place signs a family where it lies and loses nothing."""
        a, b = self.fonts("glob", [("a.ttf", "DejaVuSans.ttf"), ("b.ttf", "DejaVuSerif.ttf")])
        original_b = read(b)
        self.ok("sign", *self.key, a, self.path("a-signed.ttf"))
        write(self.path("notes.ttf"), b"not a font")
        refusal = ("%s exists and is a different font: use --force to replace it, or "
                   "--out-dir / --in-place for a family")
        cases = [  # arguments, exit status, words on stderr
            ([a, b], 2, refusal % b),
            ([b, a], 2, refusal % a),
            ([self.path("a-signed.ttf"), b], 2, refusal % b),
            ([a, self.path("a-signed.ttf")], 0, ""),  # signed again over its own output
            ([self.path("a-signed.ttf"), a], 0, ""),  # the same font, signed or not
            ([a, self.path("notes.ttf")], 0, ""),
            ([b, b], 0, ""),
            (["--force", a, b], 0, ""),
        ]
        for args, status, words in cases:
            with self.subTest(args=[os.path.basename(x) for x in args]):
                before = {p: read(p) for p in (a, b)}
                r = self.fontseal("sign", *self.key, *args)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(words, r.stderr)
                if status:
                    self.assertEqual({p: read(p) for p in (a, b)}, before)
                    self.assertEqual(r.stdout, "")
        self.assertNotEqual(read(b), original_b)  # --force did replace it
        self.assertEqual(self.fontseal("verify", "--ca-file", PKI.root, b).returncode, 0)

        # --in-place: the good fonts signed where they lie, a bad one left as
        # it was, no temporary left behind.
        family = self.fonts("family", [("Sans Bold.ttf", "DejaVuSans-Bold.ttf"),
                                       ("Mono.ttf", "DejaVuSansMono.ttf")])
        broken = self.path("family", "Broken.ttf")
        write(broken, b"\0\1\0\0" + b"\xff" * 60)
        r = self.fontseal("sign", *self.key, "--in-place", family[0], broken, family[1])
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(r.stdout.splitlines()[-1], "2 signed, 1 failed")
        self.assertEqual(read(broken), b"\0\1\0\0" + b"\xff" * 60)
        self.assertEqual(sorted(os.listdir(self.path("family"))),
                         ["Broken.ttf", "Mono.ttf", "Sans Bold.ttf"])
        for font in family:
            self.assertEqual(self.smime(font, PKI.root).returncode, 0)
        self.assertEqual(self.fontseal("sign", *self.key, "--in-place", "--out-dir",
                                       self.path("family"), family[0]).returncode, 2)

    def test_messages_speak_the_command_line(self):
        out = self.path("out.ttf")
        cases = [  # arguments, exit status, the whole first line of stderr
            (["--key", PKI.leaf_key, DEJAVU, out], 1,
             "fontseal sign: a certificate is needed: give --cert (%s holds only a key)"
             % PKI.leaf_key),
            (self.key + ["--digest", "1", DEJAVU, out], 2,
             "fontseal sign: --digest must be one of sha256, sha384, sha512, sha1, md5"),
            (self.key + ["--digest", "sha3-256", DEJAVU, out], 2,
             "fontseal sign: --digest must be one of sha256, sha384, sha512, sha1, md5"),
            (self.key + ["--statement", "2", DEJAVU, out], 2,
             "fontseal sign: --statement must be one of auto, individual, commercial"),
            (self.key + ["--statement", "personal", DEJAVU, out], 2,
             "fontseal sign: --statement must be one of auto, individual, commercial"),
        ]
        for args, status, line in cases:
            with self.subTest(args=args[-4:-2]):
                r = self.fontseal("sign", *args)
                self.assertEqual((r.returncode, r.stderr.splitlines()[0]), (status, line))
                self.assertFalse(os.path.exists(out))
        # Names are taken in any case.
        self.ok("sign", *self.key, "--digest", "SHA384", "--statement", "Individual", DEJAVU,
                out)

    def test_family_runs_say_what_they_do(self):
        """A start line, paths without doubled slashes, the unstamped fonts
        counted, and an interrupted run's summary that matches the files."""
        names = self.fonts("in", [("A.ttf", "DejaVuSans.ttf"), ("B.ttf", "DejaVuSerif.ttf"),
                                  ("C.ttf", "DejaVuSansMono.ttf")])
        os.mkdir(self.path("out"))
        server = SlowServer(0.0)
        self.addCleanup(server.stop)
        r = self.fontseal("sign", *self.key, "--jobs", "2", "--digest", "sha512",
                          "--timestamp-rfc3161", server.url, "--out-dir",
                          self.path("out") + "//", *names)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], "signing 3 fonts into %s/: 2 jobs, digest sha512, time "
                                   "stamps from %s" % (self.path("out"), server.url))
        self.assertEqual(lines[1:4], ["signed %s -> %s" % (n, self.path("out",
                                                                       os.path.basename(n)))
                                      for n in names])
        self.assertEqual(lines[4:], ["3 signed (3 without a time stamp), 0 failed"])

        slow = SlowServer(1.0)
        self.addCleanup(slow.stop)
        many = self.fonts("many", [("F%d.ttf" % i, "DejaVuSans.ttf") for i in range(8)])
        os.mkdir(self.path("signed"))
        p = subprocess.Popen([CLI, "sign", *self.key, "--jobs", "1", "--timestamp-rfc3161",
                              slow.url, "--out-dir", self.path("signed"), *many],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             stdin=subprocess.DEVNULL, text=True)
        # Stopped while the second font awaits its server.
        self.assertTrue(p.stdout.readline().startswith("signing 8 fonts"))
        self.assertTrue(p.stdout.readline().startswith("signed "))
        p.send_signal(signal.SIGINT)
        stdout, _ = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 128 + signal.SIGINT)
        done = sorted(os.listdir(self.path("signed")))
        self.assertIn(len(done), (1, 2), done)
        self.assertEqual(stdout.splitlines()[-1],
                         "interrupted: %d of 8 signed, no partial files" % len(done))
        for name in done:
            self.assertEqual(self.smime(self.path("signed", name), PKI.root).returncode, 0)

    def test_demo_ends_with_the_next_step(self):
        build = self.path("build")
        os.mkdir(build)
        os.symlink(CLI, os.path.join(build, "fontseal"))
        source = os.path.abspath(os.environ.get("FONTSEAL_SOURCE_DIR") or os.path.join(
            os.path.dirname(__file__), "..", ".."))
        r = subprocess.run([os.path.join(source, "scripts", "demo.sh")], capture_output=True,
                           text=True, env=dict(os.environ, BUILD_DIR=build), cwd=self.work.name)
        self.assertEqual(r.returncode, 0, r.stderr)
        tail = r.stdout.rstrip().splitlines()[-4:]
        self.assertTrue(tail[0].startswith("Next:"), tail)
        self.assertIn("fontseal sign", "\n".join(tail))


ESCAPES = "\x1b]0;owned\x07\x1b[2J\x9b31m"


class TerminalEscapeTest(Base):
    def test_names_and_paths_cannot_drive_the_terminal(self):
        """Texts from certificates, the store and file names reach the
        terminal with their control characters replaced."""
        cert, key = PKI.made_leaf("evil", cn="Foundry " + ESCAPES, eku=[CODE_SIGNING],
                                  ku=["digital_signature"], days_from=-60, days_to=-1)
        thumb = self.ok("store", "import", "--key", key, "--cert", cert, "--name",
                        "name " + ESCAPES).stdout.strip()
        font = self.path("font " + ESCAPES + ".ttf")
        shutil.copy(DEJAVU, font)
        os.mkdir(self.path("out"))
        commands = [  # arguments, exit status
            (["store", "list"], 0),
            (["store", "list", "--json"], 0),
            (["sign", "--store", thumb, font, self.path("signed " + ESCAPES + ".ttf")], 0),
            (["sign", "--store", thumb, "--out-dir", self.path("out"), font], 0),
            (["sign", "--store", thumb, self.path("missing " + ESCAPES + ".ttf"),
              self.path("x.ttf")], 1),
            (["sign", "--store", thumb, FONTS + "DejaVuSerif.ttf", font], 2),
            (["verify", font], 1),
            (["verify", self.path("signed " + ESCAPES + ".ttf")], 0),
            (["verify", "--ca-file", self.path("missing " + ESCAPES + ".pem"), font], 2),
        ]
        for args, status in commands:
            with self.subTest(args=args[:2]):
                r = self.fontseal(*args)
                self.assertEqual(r.returncode, status, (r.stdout, r.stderr))
                for stream in (r.stdout, r.stderr):
                    controls = [c for c in stream if c != "\n" and
                                (ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0)]
                    self.assertEqual(controls, [], stream)
                self.assertIn("\ufffd", r.stdout + r.stderr)
        listed = json.loads(self.ok("store", "list", "--json").stdout)[0]
        self.assertEqual(listed["subject"], "Foundry \ufffd]0;owned\ufffd\ufffd[2J\ufffd31m")
        self.assertEqual(listed["friendly_name"], "name \ufffd]0;owned\ufffd\ufffd[2J\ufffd31m")


if __name__ == "__main__":
    unittest.main()

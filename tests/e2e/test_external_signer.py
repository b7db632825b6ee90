# SPDX-License-Identifier: Apache-2.0
"""Keys that never come to this machine: sign --signer-command, prepare and
attach, and the Python binding's signer callable. The signatures are made by
openssl and python3-cryptography with the same key as a key file holds, so
every route must give the key file's bytes exactly (PKCS#1 v1.5 is
deterministic), and openssl must accept them."""
import base64
import ctypes
import glob
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import unittest

from der_walk import SignedBlob, children, content
from e2e_support import CLI, DEJAVU, LIB, TempDirTest, check, cli, make_ca, make_signer, read, \
    run, write
from test_keys import blob_of

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
os.environ.setdefault("FONTSEAL_LIBRARY", LIB)
import fontseal  # noqa: E402
from tsa_server import TsaServer  # noqa: E402

# A stand-in for a key service's CLI: reads what to sign, answers as told.
SIGNER = r'''#!/usr/bin/python3
import base64, json, os, subprocess, sys, time
mode, key, log = sys.argv[1], sys.argv[2], sys.argv[3]
data = sys.stdin.buffer.read()
with open(log, "a") as f:
    f.write(json.dumps({"start": time.time(), "input": data.hex(), "argv": sys.argv[4:],
                        "env": {k: v for k, v in os.environ.items()
                                if k.startswith("FONTSEAL_")}}) + "\n")
if mode == "fail":
    print("connecting to the vault", file=sys.stderr)
    print("KMS: AccessDeniedException for key alias/fonts", file=sys.stderr)
    sys.exit(1)
if mode == "silent":
    sys.exit(0)
if mode == "hang":
    child = subprocess.Popen(["sleep", "60"])
    with open(log + ".pid", "w") as f:
        f.write("%d %d" % (os.getpid(), child.pid))
    child.wait()
if mode.startswith("slow"):
    time.sleep(float(mode[4:]))
# pkeyutl takes no DigestInfo longer than 64 bytes; rsautl pads any.
args = (["openssl", "pkeyutl", "-sign", "-inkey", key, "-pkeyopt",
         "digest:" + os.environ["FONTSEAL_DIGEST"]]
        if os.environ["FONTSEAL_SIGN_INPUT"] == "digest" else
        ["openssl", "rsautl", "-sign", "-inkey", key])
sig = subprocess.run(args, input=data, capture_output=True, check=True).stdout
if mode == "half":
    sig = sig[:len(sig) // 2]
if mode == "base64":
    sig = base64.encodebytes(sig)
with open(log, "a") as f:
    f.write(json.dumps({"end": time.time()}) + "\n")
sys.stdout.buffer.write(sig)
'''


def alive(pid):
    """A process that still runs (a zombie waiting for its reaper is not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class ExternalSignerTest(TempDirTest):
    @classmethod
    def setUpClass(cls):
        cls._pki = __import__("tempfile").TemporaryDirectory(prefix="fontseal-ext-")
        d = cls.pki = cls._pki.name
        ca_key, ca = make_ca(d)
        cls.ca = ca
        cls.cert, cls.key, _ = make_signer(d, ca_key, ca, "publisher", pvk_option="-pvk-none")
        cls.other_cert, cls.other_key, _ = make_signer(d, ca_key, ca, "other",
                                                       pvk_option="-pvk-none")
        # The chain as users keep it: the signer's certificate, then its CA.
        cls.chain = os.path.join(d, "publisher chain.pem")
        write(cls.chain, read(cls.cert) + read(ca))
        cls.signer = os.path.join(d, "signer.py")
        write(cls.signer, SIGNER.encode())
        os.chmod(cls.signer, 0o755)

    @classmethod
    def tearDownClass(cls):
        cls._pki.cleanup()

    def setUp(self):
        super().setUp()
        self.fonts = os.path.join(self.dir, "My Fonts [v2]")
        os.mkdir(self.fonts)
        self.font = os.path.join(self.fonts, "Sans Regular.ttf")
        shutil.copy(DEJAVU, self.font)
        self.log = self.path("signer.log")

    def reference(self, digest):
        out = self.path("reference-%s.ttf" % digest)
        if not os.path.exists(out):
            r = cli("sign", "--cert", self.chain, "--key", self.key, "--digest", digest,
                    self.font, out)
            self.assertEqual(r.returncode, 0, r.stderr)
        return read(out)

    def assert_openssl_accepts(self, path):
        blob = blob_of(path)
        b, c = self.path("blob.der"), self.path("inner.bin")
        write(b, blob)
        write(c, SignedBlob(blob).inner)
        v = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-content", c,
                 "-in", b, "-out", "/dev/null", "-CAfile", self.ca, "-purpose", "any"])
        self.assertEqual(v.returncode, 0, v.stderr)

    def script(self, mode, key=None):
        return "%s %s '%s' '%s'" % (self.signer, mode, key or self.key, self.log)

    def log_entries(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f]

    def test_every_route_gives_the_key_files_bytes(self):
        key = self.key.replace("'", "")
        pkeyutl = "openssl pkeyutl -sign -inkey '%s'" % key
        for digest in ("sha256", "sha384"):
            reference = self.reference(digest)
            # The wrappers of the manual page, word for word.
            info = ("openssl pkeyutl -sign -inkey '%s' -pkeyopt rsa_padding_mode:pkcs1" % key
                    if digest == "sha256" else "openssl rsautl -sign -inkey '%s'" % key)
            commands = [
                ("digest", "sh -c \"%s -pkeyopt digest:\\$FONTSEAL_DIGEST\"" % pkeyutl),
                ("digest, base64 answer", "sh -c '%s -pkeyopt digest:$FONTSEAL_DIGEST | base64'"
                 % pkeyutl.replace("'", "")),
                ("digest, hex answer", "sh -c '%s -pkeyopt digest:$FONTSEAL_DIGEST | od -An -v -tx1'"
                 % pkeyutl.replace("'", "")),
                ("digestinfo", info),
            ]
            routes = []
            for name, command in commands:
                out = self.path("%s %s.ttf" % (digest, name))
                args = ["--signer-input", "digestinfo"] if name == "digestinfo" else []
                r = cli("sign", "--cert", self.chain, "--digest", digest, "--signer-command",
                        command, *args, self.font, out)
                self.assertEqual(r.returncode, 0, (name, r.stderr))
                routes.append((name, out))

            # Out of band: prepare, openssl over the request's digest, attach.
            req, sigs, outdir = (self.path(n + "-" + digest) for n in ("req", "sig", "out"))
            for d in (req, sigs, outdir):
                os.mkdir(d)
            second = os.path.join(self.fonts, "Sans Bold*.ttf")
            shutil.copy(DEJAVU, second)
            r = cli("prepare", "--cert", self.chain, "--digest", digest, "--out-dir", req,
                    self.font, second)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            for request in glob.glob(os.path.join(glob.escape(req), "*.json")):
                fields = json.loads(read(request))
                self.assertEqual(fields["digest_algorithm"], digest)
                self.assertTrue(fields["digest_info"].endswith(fields["digest"]))
                signature = subprocess.run(
                    ["openssl", "pkeyutl", "-sign", "-inkey", self.key, "-pkeyopt",
                     "digest:" + digest], input=bytes.fromhex(fields["digest"]),
                    capture_output=True, check=True).stdout
                name = os.path.basename(fields["font"]["path"]) + ".sig"
                # One signature raw, the other as a service hands it out.
                write(os.path.join(sigs, name),
                      signature if "Bold" in name else base64.b64encode(signature))
            r = cli("attach", "--signature-dir", sigs, "--out-dir", outdir,
                    *sorted(glob.glob(os.path.join(glob.escape(req), "*.json"))))
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            routes.append(("prepare + attach", os.path.join(outdir, "Sans Regular.ttf")))
            routes.append(("prepare + attach, second font", os.path.join(outdir,
                                                                         "Sans Bold*.ttf")))

            # The binding's callable, python3-cryptography holding the key,
            # four fonts on four threads at once.
            from cryptography.hazmat.primitives import hashes, serialization
            from cryptography.hazmat.primitives.asymmetric import padding, utils
            pkey = serialization.load_pem_private_key(read(self.key), None)
            algorithms = {"sha256": hashes.SHA256(), "sha384": hashes.SHA384()}
            seen = []

            def sign_digest(value, algorithm):
                seen.append((len(value), algorithm, threading.get_ident()))
                time.sleep(0.1)
                return pkey.sign(value, padding.PKCS1v15(), utils.Prehashed(algorithms[algorithm]))

            outs = [self.path("python-%s-%d.ttf" % (digest, i)) for i in range(4)]
            threads = [threading.Thread(target=fontseal.sign, args=(self.font, o),
                                        kwargs=dict(cert=self.chain, digest=digest,
                                                    signer=sign_digest)) for o in outs]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(len(seen), 4)
            self.assertEqual({s[:2] for s in seen},
                             {(32 if digest == "sha256" else 48, digest)})
            routes += [("python callable", o) for o in outs]

            for name, out in routes:
                with self.subTest(digest=digest, route=name):
                    expected = reference if "second" not in name else self.reference_of(second,
                                                                                         digest)
                    self.assertEqual(read(out), expected)
            self.assert_openssl_accepts(routes[0][1])
            os.remove(second)

    def reference_of(self, font, digest):
        out = self.path("reference-other.ttf")
        r = cli("sign", "--cert", self.chain, "--key", self.key, "--digest", digest, font, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        return read(out)

    def test_the_command_gets_its_input_and_environment(self):
        # Split without a shell: quotes and backslashes as a shell reads them,
        # nothing expanded.
        words = r""" 'a b'  "c \"d\" \$HOME \x" e\ f $HOME '' "*.ttf" """
        expected = ["a b", 'c "d" $HOME \\x', "e f", "$HOME", "", "*.ttf"]
        for form in ("digest", "digestinfo"):
            out = self.path(form + ".ttf")
            r = cli("sign", "--cert", self.chain, "--signer-input", form, "--digest", "sha384",
                    "--signer-command", self.script("base64") + words, self.font, out)
            self.assertEqual(r.returncode, 0, r.stderr)
            entry = self.log_entries()[-2]
            self.assertEqual(entry["argv"], expected)
            self.assertEqual({k: v for k, v in entry["env"].items()
                              if k in ("FONTSEAL_DIGEST", "FONTSEAL_SIGN_INPUT", "FONTSEAL_FONT")},
                             {"FONTSEAL_DIGEST": "sha384",
                                            "FONTSEAL_SIGN_INPUT": form,
                                            "FONTSEAL_FONT": self.font})
            # 48 bytes of SHA-384, or its DigestInfo (19 bytes of header).
            self.assertEqual(len(entry["input"]) // 2, 48 if form == "digest" else 67)
            self.assertEqual(read(out), self.reference("sha384"))

    def test_jobs_run_that_many_commands_at_once(self):
        family = self.path("family")
        outdir = self.path("signed")
        os.mkdir(family)
        os.mkdir(outdir)
        names = []
        for i in range(8):
            names.append(os.path.join(family, "Font %d.ttf" % i))
            shutil.copy(DEJAVU, names[-1])
        r = cli("sign", "--cert", self.chain, "--jobs", "4", "--signer-command",
                self.script("slow0.4"), "--out-dir", outdir, *names)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        events = sorted([(e["start"], 1) for e in self.log_entries() if "start" in e] +
                        [(e["end"], -1) for e in self.log_entries() if "end" in e])
        running, most = 0, 0
        for _, step in events:
            running += step
            most = max(most, running)
        self.assertEqual(len(events), 16)
        self.assertLessEqual(most, 4)
        self.assertGreaterEqual(most, 2)

    def test_an_interrupt_stops_the_running_commands(self):
        out = self.path("out.ttf")
        p = subprocess.Popen([CLI, "sign", "--cert", self.chain, "--signer-command",
                              self.script("hang"), self.font, out], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while not os.path.exists(self.log + ".pid") and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        p.send_signal(2)
        p.communicate(timeout=20)
        self.assertEqual(p.returncode, 128 + 2)
        script_pid, sleep_pid = map(int, read(self.log + ".pid").split())
        # The commands run in process groups of their own, out of the
        # terminal's reach: the tool ends them itself.
        deadline = time.monotonic() + 5
        while (alive(sleep_pid) or alive(script_pid)) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(alive(sleep_pid))
        self.assertFalse(alive(script_pid))
        self.assertFalse(os.path.exists(out))

    def test_faults_fail_alone_with_their_own_message(self):
        other = self.path("other chain.pem")
        write(other, read(self.other_cert))
        sign = ["sign", "--cert", self.chain, "--signer-command"]

        def prepared(change=None):
            """A request for the font and its signature, with one thing
            changed afterwards."""
            req, sigs = self.path("req"), self.path("sig")
            shutil.rmtree(req, ignore_errors=True)
            shutil.rmtree(sigs, ignore_errors=True)
            os.mkdir(req)
            os.mkdir(sigs)
            check([CLI, "prepare", "--cert", self.chain, "--out-dir", req, self.font])
            request = os.path.join(req, "Sans Regular.ttf.json")
            fields = json.loads(read(request))
            signature = subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", self.key,
                                        "-pkeyopt", "digest:sha256"],
                                       input=bytes.fromhex(fields["digest"]),
                                       capture_output=True, check=True).stdout
            write(os.path.join(sigs, "Sans Regular.ttf.sig"), signature)
            if change == "font":
                with open(self.font, "ab") as f:
                    f.write(b"\0\0\0\0")
            elif change == "missing":
                os.remove(os.path.join(sigs, "Sans Regular.ttf.sig"))
            elif change == "version":
                fields["fontseal_version"] = "0.9.0"
                write(request, json.dumps(fields).encode())
            return ["attach", "--signature-dir", sigs, "--out-dir", self.out_dir, request]

        def python_raising():
            def refuse(digest, algorithm):
                raise PermissionError("approval queue: request 4711 was rejected")
            try:
                fontseal.sign(self.font, self.out, cert=self.chain, signer=refuse)
            except fontseal.Error as e:
                return 1, str(e), e.code
            return 0, "", 0

        def python_with_key_file():
            try:
                fontseal.sign(self.font, self.out, cert=self.chain, key=self.key,
                              signer=lambda d, a: b"")
            except fontseal.Error as e:
                return 1, str(e), e.code
            return 0, "", 0

        cases = [
            ("command fails", sign + [self.script("fail")],
             "(exit status 1): KMS: AccessDeniedException for key alias/fonts", -18),
            ("command prints nothing", sign + [self.script("silent")], "printed no signature",
             -18),
            ("command outlives the time-out", sign + [self.script("hang"), "--signer-timeout",
                                                      "1"],
             "did not finish within 1 s", -18),
            ("another key's signature", sign + [self.script("digest", self.other_key)],
             "does not verify under the key of the first certificate", -19),
            ("half a signature", sign + [self.script("half")],
             "returned 128 bytes for", -19),
            ("no such program", sign + ["fontseal-no-such-signer --key x"],
             "no program fontseal-no-such-signer found in PATH", -18),
            ("attach: font changed", lambda: prepared("font"), "has changed since", None),
            ("attach: another certificate", lambda: prepared() + ["--cert", other],
             "was prepared for another certificate", None),
            ("attach: signature missing", lambda: prepared("missing"),
             "Sans Regular.ttf.sig does not exist", None),
            ("attach: another version", lambda: prepared("version"),
             "was prepared by fontseal 0.9.0", None),
            ("python: the callable raises", python_raising,
             "PermissionError: approval queue: request 4711 was rejected", -18),
            ("python: a key file besides the signer", python_with_key_file, "malformed request",
             -14),
        ]
        messages = set()
        pristine = read(DEJAVU)
        for name, args, message, code in cases:
            with self.subTest(name):
                write(self.font, pristine)
                self.out_dir = self.path("out")
                shutil.rmtree(self.out_dir, ignore_errors=True)
                os.mkdir(self.out_dir)
                self.out = os.path.join(self.out_dir, "signed.ttf")
                if callable(args) and args.__name__.startswith("python"):
                    status, text, got = args()
                    self.assertEqual(got, code)
                else:
                    argv = args() if callable(args) else args + [self.font, self.out]
                    t = time.monotonic()
                    r = cli(*argv)
                    status, text = r.returncode, r.stdout + r.stderr
                    self.assertLess(time.monotonic() - t, 30)
                    if code is not None:
                        self.assertIn("(code %d)" % code, text)
                self.assertEqual(status, 1, text)
                self.assertIn(message, text)
                # Nothing written, not even a temporary.
                self.assertEqual(os.listdir(self.out_dir), [])
                self.assertEqual(sorted(os.listdir(self.fonts)), ["Sans Regular.ttf"])
                messages.add(message)
                if name == "command outlives the time-out":
                    script_pid, sleep_pid = map(int, read(self.log + ".pid").split())
                    # The command's whole process group went, its child too.
                    deadline = time.monotonic() + 5
                    while (alive(sleep_pid) or alive(script_pid)) and time.monotonic() < deadline:
                        time.sleep(0.05)
                    self.assertFalse(alive(sleep_pid))
                    self.assertFalse(alive(script_pid))
        self.assertEqual(len(messages), len(cases))

    def test_attach_with_a_time_stamp_keeps_the_signature(self):
        """prepare + attach + an RFC 3161 stamp: the signature value is the
        key file's; openssl verifies the SignedData and the stamp over it."""
        req, sigs, outdir = self.path("req"), self.path("sig"), self.path("out")
        for d in (req, sigs, outdir):
            os.mkdir(d)
        check([CLI, "prepare", "--cert", self.chain, "--digest", "sha384", "--program-name",
               "Sans \u00e9dition", "--out-dir", req, self.font])
        request = os.path.join(req, "Sans Regular.ttf.json")
        fields = json.loads(read(request))
        signature = subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", self.key,
                                    "-pkeyopt", "digest:sha384"],
                                   input=bytes.fromhex(fields["digest"]), capture_output=True,
                                   check=True).stdout
        write(os.path.join(sigs, "Sans Regular.ttf.sig"), signature.hex().encode())
        with TsaServer(self.path("tsa")) as server:
            r = cli("attach", "--signature-dir", sigs, "--out-dir", outdir,
                    "--timestamp-rfc3161", server.url("/ts"), "--require-timestamp", request)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            tsa_ca = server.pki.ca
        stamped = os.path.join(outdir, "Sans Regular.ttf")
        self.assert_openssl_accepts(stamped)
        reference = self.path("reference.ttf")
        check([CLI, "sign", "--cert", self.chain, "--key", self.key, "--digest", "sha384",
               "--program-name", "Sans \u00e9dition", self.font, reference])
        blob, plain = blob_of(stamped), blob_of(reference)
        # The signer info's fields: the stamped one has an unsigned attribute
        # more; everything before it is the key file's.
        info = children(blob, children(blob, children(blob, children(blob, 0)[1][1])[0][1])[-1][1])[0][1]
        fields_of = children(blob, info)
        value = content(blob, fields_of[5][1])
        self.assertIn(value, plain)
        self.assertEqual(value, signature)
        self.assertEqual(len(fields_of), 7)
        token = content(blob, children(blob, children(blob, fields_of[6][1])[0][1])[1][1])
        write(self.path("token.der"), token)
        write(self.path("value.bin"), value)
        v = run(["openssl", "ts", "-verify", "-data", self.path("value.bin"), "-in",
                 self.path("token.der"), "-token_in", "-CAfile", tsa_ca])
        self.assertEqual(v.returncode, 0, v.stdout + v.stderr)


if __name__ == "__main__":
    unittest.main()

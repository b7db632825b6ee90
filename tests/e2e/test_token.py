# SPDX-License-Identifier: Apache-2.0
"""Keys on a PKCS#11 token, without hardware: a SoftHSM2 token of its own per
test run, the key imported not extractable with pkcs11-tool, calls watched
through OpenSC's pkcs11-spy. Signatures are checked with openssl and compared
with the same key signing in software (PKCS#1 v1.5 is deterministic)."""
import json
import os
import pty
import select
import signal
import re
import shutil
import subprocess
import time
import unittest

from der_walk import SignedBlob
from e2e_support import CLI, DEJAVU, TempDirTest, check, cli, make_ca, make_signer, run, write
from test_keys import blob_of

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
SPY = "/usr/lib/x86_64-linux-gnu/pkcs11-spy.so"
PIN = "1234"


@unittest.skipUnless(os.path.exists(SOFTHSM) and shutil.which("pkcs11-tool"),
                     "softhsm2 and opensc are needed (make deps)")
class TokenKeyTest(TempDirTest):
    def setUp(self):
        super().setUp()
        tokens = self.path("tokens")
        os.mkdir(tokens)
        write(self.path("softhsm2.conf"),
              ("directories.tokendir = %s\nobjectstore.backend = file\n"
               "log.level = ERROR\n" % tokens).encode())
        self.env = dict(os.environ, SOFTHSM2_CONF=self.path("softhsm2.conf"),
                        FONTSEAL_PKCS11_MODULE=SOFTHSM, PIN=PIN)
        self.env.pop("FONTSEAL_PIN_SOURCE", None)
        ca_key, self.ca = make_ca(self.dir)
        self.cert, self.key, _ = make_signer(self.dir, ca_key, self.ca, "publisher",
                                             pvk_option="-pvk-none")
        der_key, der_cert = self.path("key.der"), self.path("cert.der")
        check(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", self.key, "-outform", "DER",
               "-out", der_key])
        check(["openssl", "x509", "-in", self.cert, "-outform", "DER", "-out", der_cert])
        self.tool(["softhsm2-util", "--init-token", "--free", "--label", "fonts", "--pin", PIN,
                   "--so-pin", "5678"])
        p11 = ["pkcs11-tool", "--module", SOFTHSM, "--login", "--pin", PIN]
        # The same key twice: plain, and asking for the PIN before every use.
        self.tool(p11 + ["--write-object", der_key, "--type", "privkey", "--id", "01",
                         "--label", "k", "--usage-sign"])
        self.tool(p11 + ["--write-object", der_key, "--type", "privkey", "--id", "02",
                         "--label", "ka", "--usage-sign", "--always-auth"])
        self.tool(p11 + ["--write-object", der_cert, "--type", "cert", "--id", "01",
                         "--label", "k"])
        listing = self.tool(p11 + ["--list-objects", "--type", "privkey"])
        # The key cannot leave the token: the signer has to ask it.
        self.assertNotIn("extractable", listing)
        self.assertIn("sensitive", listing)
        soft = self.path("soft.ttf")
        self.sign(["--key", self.key, "--cert", self.cert], soft)
        self.software_blob = blob_of(soft)

    def tool(self, args):
        r = run(args, env=self.env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return r.stdout

    def sign(self, args, out, env=None, spy=None):
        env = dict(env or self.env)
        if spy:
            env.update(FONTSEAL_PKCS11_MODULE=SPY, PKCS11SPY=SOFTHSM, PKCS11SPY_OUTPUT=spy)
        # A session of its own: no terminal to be asked on, whoever runs the test.
        return cli("sign", *args, DEJAVU, out, env=env, start_new_session=True,
                   stdin=subprocess.DEVNULL)

    def calls(self, spy):
        with open(spy, errors="replace") as f:
            text = f.read()
        return re.findall(r"^\d+: (C_\w+)", text, re.M), re.findall(r"userType = (\w+)", text)

    def test_token_key_signs_like_the_same_key_in_software(self):
        pin_file = self.path("pin")
        write(pin_file, b"1234\n")
        cases = [
            ("object + --cert", ["--key", "pkcs11:token=fonts;object=k", "--pin-env", "PIN",
                                 "--cert", self.cert], {}, ["CKU_USER"]),
            ("id, certificate from the token",
             ["--key", "pkcs11:token=fonts;id=%01", "--pin-file", pin_file], {}, ["CKU_USER"]),
            ("always-authenticate key, PIN from FONTSEAL_PIN_SOURCE",
             ["--key", "pkcs11:token=fon%74s;object=ka", "--cert", self.cert],
             {"FONTSEAL_PIN_SOURCE": "file:" + pin_file}, ["CKU_USER", "CKU_CONTEXT_SPECIFIC"]),
        ]
        for name, args, extra, logins in cases:
            with self.subTest(name):
                out, spy = self.path("token.ttf"), self.path("spy.log")
                r = self.sign(args, out, dict(self.env, **extra), spy=spy)
                self.assertEqual(r.returncode, 0, r.stderr)
                blob = blob_of(out)
                self.assertEqual(blob, self.software_blob)
                # openssl: the SignedData over the content, chained to the CA.
                b, c = self.path("blob.der"), self.path("inner.bin")
                write(b, blob)
                write(c, SignedBlob(blob).inner)
                v = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-content",
                         c, "-in", b, "-out", "/dev/null", "-CAfile", self.ca, "-purpose",
                         "any"])
                self.assertEqual(v.returncode, 0, v.stderr)
                calls, users = self.calls(spy)
                self.assertEqual(users, logins)
                self.assertEqual(calls.count("C_Sign"), 1)
                # Everything opened is closed again: login, session, module.
                self.assertEqual(calls[-3:], ["C_Logout", "C_CloseSession", "C_Finalize"])
                os.remove(spy)

    def test_failures_are_clear_and_a_wrong_pin_is_tried_once(self):
        out, spy = self.path("out.ttf"), self.path("spy.log")
        key = ["--key", "pkcs11:token=fonts;object=k", "--cert", self.cert]
        cases = [
            ("wrong PIN", key + ["--pin-env", "PIN"], {"PIN": "9999"}, True,
             "refused the PIN"),
            ("no PIN and no terminal", key, {}, False, "needs a PIN"),
            ("missing module", key + ["--pin-env", "PIN"],
             {"FONTSEAL_PKCS11_MODULE": self.path("none.so")}, False,
             "cannot load the PKCS#11 module"),
            ("no such token", ["--key", "pkcs11:token=other;object=k", "--pin-env", "PIN"], {},
             False, "cannot use the token key"),
            ("no such key", ["--key", "pkcs11:token=fonts;object=x", "--pin-env", "PIN"], {},
             False, "cannot use the token key"),
            ("no certificate for the key", ["--key", "pkcs11:token=fonts;id=%02",
                                            "--pin-env", "PIN"], {}, False,
             "cannot use the token key"),
            ("PIN on the command line", key + ["--pin", PIN], {}, False,
             "never taken on the command line"),
        ]
        for name, args, extra, watch, message in cases:
            with self.subTest(name):
                r = self.sign(args, out, dict(self.env, **extra), spy=spy if watch else None)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(out))
                if watch:
                    calls, users = self.calls(spy)
                    self.assertEqual(users, ["CKU_USER"])  # one attempt, never retried
                    self.assertNotIn("C_Sign", calls)
                    os.remove(spy)
        # The wrong PIN cost one try only: the right one still opens the token.
        r = self.sign(key + ["--pin-env", "PIN"], out)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_pin_is_asked_on_the_controlling_terminal_without_echo(self):
        """No PIN given and none named: the library asks on the terminal the
        process controls, with echo off, once for a family."""
        fonts = [self.path("a.ttf"), self.path("b.ttf")]
        for f in fonts:
            shutil.copy(DEJAVU, f)
        out = self.path("out")
        os.mkdir(out)
        pid, master = pty.fork()
        if pid == 0:  # the child: the terminal is its controlling one
            try:
                os.execve(CLI, [CLI, "sign", "--key", "pkcs11:token=fonts;object=k", "--cert",
                                self.cert, "--jobs", "2", "--out-dir", out] + fonts, self.env)
            finally:
                os._exit(127)
        seen, answered = b"", False
        deadline = time.monotonic() + 60
        while True:
            if not select.select([master], [], [], max(0, deadline - time.monotonic()))[0]:
                os.kill(pid, signal.SIGKILL)
                self.fail("no end after 60 s: " + seen.decode(errors="replace"))
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the child has gone
                break
            if not chunk:
                break
            seen += chunk
            if not answered and b"PIN for token fonts: " in seen:
                os.write(master, (PIN + "\n").encode())
                answered = True
        os.close(master)
        _, status = os.waitpid(pid, 0)
        text = seen.decode(errors="replace")
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, text)
        self.assertEqual(text.count("PIN for token fonts: "), 1, text)
        self.assertNotIn(PIN, text)  # not echoed
        for f in fonts:
            self.assertEqual(blob_of(os.path.join(out, os.path.basename(f))), self.software_blob)

    def fingerprint(self, pem):
        line = self.tool(["openssl", "x509", "-in", pem, "-noout", "-fingerprint", "-sha1"])
        return line.split("=", 1)[1].strip().replace(":", "")

    def test_store_lists_token_entries_beside_file_entries_and_signs_on_the_token(self):
        """The user's store shows a file entry and the token's certificates
        together; a token entry signs on the token, through the module
        named and through p11-kit's proxy, exactly as the key in software."""
        env = dict(self.env, XDG_DATA_HOME=self.path("xdg"))
        ca_key = self.path("ca.key")
        file_cert, file_key, _ = make_signer(self.dir, ca_key, self.ca, "filed",
                                             pvk_option="-pvk-none")
        lonely, _, _ = make_signer(self.dir, ca_key, self.ca, "lonely", pvk_option="-pvk-none")
        check(["openssl", "x509", "-in", lonely, "-outform", "DER", "-out", self.path("l.der")])
        self.tool(["pkcs11-tool", "--module", SOFTHSM, "--login", "--pin", PIN,
                   "--write-object", self.path("l.der"), "--type", "cert", "--id", "03"])
        r = cli("store", "import", "--cert", file_cert, "--key", file_key, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        on_token, keyless = self.fingerprint(self.cert), self.fingerprint(lonely)

        r = cli("store", "list", "--json", env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        listed = {e["thumbprint"]: e for e in json.loads(r.stdout)}
        self.assertEqual(set(listed), {self.fingerprint(file_cert), on_token, keyless})
        self.assertEqual(listed[self.fingerprint(file_cert)]["token"], None)
        self.assertIs(listed[self.fingerprint(file_cert)]["has_private_key"], True)
        serial = listed[on_token]["token"]["serial"]
        for thumbprint in (on_token, keyless):
            self.assertEqual(listed[thumbprint]["token"]["label"], "fonts")
            # SoftHSM hides private objects until login: unknown, not "no".
            self.assertIsNone(listed[thumbprint]["has_private_key"])
        self.assertTrue(listed[on_token]["key"].startswith("pkcs11:"))
        text = cli("store", "list", env=env).stdout
        self.assertIn("on token:      fonts (serial %s)" % serial, text)
        self.assertIn("unknown until login", text)

        out, spy = self.path("store.ttf"), self.path("spy.log")
        proxy = [p for p in ("/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so",)
                 if os.path.exists(p)]
        cases = [
            ("token entry", on_token, {"PIN": PIN}, True, None, ["CKU_USER"]),
            ("wrong PIN", on_token, {"PIN": "9999"}, True, "refused the PIN", ["CKU_USER"]),
            ("certificate without key", keyless, {"PIN": PIN}, False,
             "has no private key on its token", None),
            ("missing module", on_token, {"FONTSEAL_PKCS11_MODULE": self.path("none.so")}, False,
             "cannot load the PKCS#11 module", None),
        ]
        if proxy:
            # As root p11-kit reads only the system's module list; SoftHSM
            # there still follows SOFTHSM2_CONF, so only our serial is ours.
            cases.append(("through the p11-kit proxy", on_token,
                          {"PIN": PIN, "FONTSEAL_PKCS11_MODULE": ""}, False, None, None))
        for name, thumbprint, extra, watch, failure, logins in cases:
            with self.subTest(name):
                case_env = dict(env, **extra)
                if case_env.get("FONTSEAL_PKCS11_MODULE") == "":
                    del case_env["FONTSEAL_PKCS11_MODULE"]
                    r = cli("store", "list", "--json", env=case_env)
                    mine = [e for e in json.loads(r.stdout)
                            if e["token"] and e["token"]["serial"] == serial]
                    self.assertEqual({e["thumbprint"] for e in mine}, {on_token, keyless})
                r = self.sign(["--store", thumbprint[:12], "--pin-env", "PIN"], out, case_env,
                              spy=spy if watch else None)
                if failure:
                    self.assertNotEqual(r.returncode, 0)
                    self.assertIn(failure, r.stderr)
                    self.assertFalse(os.path.exists(out))
                else:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(blob_of(out), self.software_blob)
                    os.remove(out)
                if watch:
                    calls, users = self.calls(spy)
                    self.assertEqual(users, logins)
                    self.assertEqual(calls.count("C_Sign"), 0 if failure else 1)
                    os.remove(spy)

    def test_a_family_shares_one_login_and_one_wrong_pin_costs_one_try(self):
        fonts = os.path.join(self.dir, "in")
        os.mkdir(fonts)
        for i in range(8):
            shutil.copy(DEJAVU, os.path.join(fonts, "f%d.ttf" % i))
        inputs = sorted(os.path.join(fonts, n) for n in os.listdir(fonts))
        key = ["--key", "pkcs11:token=fonts;object=ka", "--cert", self.cert, "--pin-env", "PIN"]
        spy = self.path("spy.log")
        for pin, signed in (("9999", False), (PIN, True)):
            with self.subTest(pin=pin):
                out = self.path("out-" + pin)
                os.mkdir(out)
                env = dict(self.env, PIN=pin, FONTSEAL_PKCS11_MODULE=SPY, PKCS11SPY=SOFTHSM,
                           PKCS11SPY_OUTPUT=spy)
                # Parallel jobs log in to one token: the first to finish must
                # not log the others out.
                r = cli("sign", *key, "--out-dir", out, "--jobs", "4", *inputs, env=env,
                        start_new_session=True, stdin=subprocess.DEVNULL)
                calls, users = self.calls(spy)
                if signed:
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                    for name in os.listdir(fonts):
                        self.assertEqual(blob_of(os.path.join(out, name)), self.software_blob)
                    self.assertEqual(calls.count("C_Sign"), len(inputs))
                else:
                    self.assertNotEqual(r.returncode, 0)
                    self.assertEqual(os.listdir(out), [])
                    # Eight fonts, one wrong PIN: the token saw it once.
                    self.assertEqual(users, ["CKU_USER"])
                os.remove(spy)


if __name__ == "__main__":
    unittest.main()

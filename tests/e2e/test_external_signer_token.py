# SPDX-License-Identifier: Apache-2.0
"""Tokens that are not on this machine, and the ways cloud key services'
PKCS#11 modules differ from a smart card: a SoftHSM2 token forwarded by
`p11-kit server` and reached through p11-kit-client.so, and the quirks
reproduced on SoftHSM2 (with a small shim module, pkcs11_quirks.c, where
SoftHSM2 itself cannot behave that way). Every route must give the bytes of
the same key in a file."""
import os
import shutil
import signal
import subprocess
import time
import unittest

from e2e_support import DEJAVU, TempDirTest, check, cli, make_ca, make_signer, read, run, write

HERE = os.path.dirname(os.path.abspath(__file__))
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
CLIENT = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so"
# What cloud modules' users are handed: a PIN that is a user name and a
# password, colons and all.
PIN = "fonts-ci:s3cr:et"
LONG_ID = bytes(range(1, 121))             # 120 bytes
LONG_LABEL = "projects/foundry/locations/global/keyRings/fonts/cryptoKeys/" \
             "code-signing/cryptoKeyVersions/1-" + "x" * 40  # 135 bytes


def uri_bytes(data):
    return "".join("%%%02x" % b for b in data)


@unittest.skipUnless(all(os.path.exists(p) for p in (SOFTHSM, CLIENT)) and
                     shutil.which("p11-kit") and shutil.which("pkcs11-tool") and
                     shutil.which("cc"), "softhsm2, p11-kit, p11-kit-modules, opensc and a C "
                     "compiler are needed (make deps)")
class RemoteTokenTest(TempDirTest):
    def setUp(self):
        super().setUp()
        tokens = self.path("tokens")
        os.mkdir(tokens)
        write(self.path("softhsm2.conf"),
              ("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
               % tokens).encode())
        self.env = dict(os.environ, SOFTHSM2_CONF=self.path("softhsm2.conf"), PIN=PIN)
        self.env.pop("FONTSEAL_PIN_SOURCE", None)
        ca_key, ca = make_ca(self.dir)
        self.cert, self.key, _ = make_signer(self.dir, ca_key, ca, "publisher",
                                             pvk_option="-pvk-none")
        der_key = self.path("key.der")
        check(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", self.key, "-outform", "DER",
               "-out", der_key])
        self.tool(["softhsm2-util", "--init-token", "--free", "--label", "cloud", "--pin", PIN,
                   "--so-pin", "5678"])
        # The key only: the certificate is never on the token.
        self.tool(["pkcs11-tool", "--module", SOFTHSM, "--login", "--pin", PIN,
                   "--write-object", der_key, "--type", "privkey", "--id", "01", "--label",
                   "short", "--usage-sign"])
        # pkcs11-tool takes no CKA_ID past 100 bytes: the shim's tool sets it.
        shim_source = os.path.join(HERE, "pkcs11_quirks.c")
        self.shim, tool = self.path("quirks.so"), self.path("quirks-tool")
        flags = ["-Wall", "-I/usr/include/p11-kit-1"]
        check(["cc", "-shared", "-fPIC"] + flags + [shim_source, "-ldl", "-o", self.shim])
        check(["cc", "-DQUIRKS_TOOL"] + flags + [shim_source, "-ldl", "-o", tool])
        self.tool([tool, SOFTHSM, "cloud", PIN, "short", LONG_ID.hex(), LONG_LABEL])
        self.fonts = []
        for i in range(4):
            self.fonts.append(self.path("Family %d.ttf" % i))
            shutil.copy(DEJAVU, self.fonts[-1])
        reference = self.path("reference.ttf")
        r = cli("sign", "--cert", self.cert, "--key", self.key, self.fonts[0], reference)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.reference = read(reference)

    def tool(self, args):
        r = run(args, env=self.env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return r.stdout

    def sign_family(self, args, env):
        outdir = self.path("signed")
        shutil.rmtree(outdir, ignore_errors=True)
        os.mkdir(outdir)
        r = cli("sign", *args, "--jobs", "2", "--out-dir", outdir, *self.fonts,
                env=dict(self.env, **env), start_new_session=True, stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for font in self.fonts:
            self.assertEqual(read(os.path.join(outdir, os.path.basename(font))), self.reference)

    def test_a_family_through_a_forwarded_token(self):
        socket = self.path("p11-kit.sock")
        server = subprocess.Popen(["p11-kit", "server", "-f", "--provider", SOFTHSM, "-n",
                                   socket, "pkcs11:token=cloud"], env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  start_new_session=True)
        try:
            deadline = time.monotonic() + 20
            while not os.path.exists(socket) and time.monotonic() < deadline:
                self.assertIsNone(server.poll(), server.stderr.read() if server.poll() else "")
                time.sleep(0.05)
            remote = {"FONTSEAL_PKCS11_MODULE": CLIENT,
                      "P11_KIT_SERVER_ADDRESS": "unix:path=" + socket,
                      # The client must not reach the token by itself.
                      "SOFTHSM2_CONF": self.path("nowhere.conf")}
            self.sign_family(["--key", "pkcs11:token=cloud;object=" + LONG_LABEL,
                              "--cert", self.cert, "--pin-env", "PIN"], remote)
        finally:
            os.killpg(server.pid, signal.SIGTERM)
            server.communicate(timeout=10)

    def test_cloud_module_quirks(self):
        pin_file = self.path("pin")
        write(pin_file, (PIN + "\n").encode())
        log = self.path("calls.log")
        shim = {"FONTSEAL_PKCS11_MODULE": self.shim, "QUIRKS_MODULE": SOFTHSM,
                "QUIRKS_LOG": log}
        cases = [
            ("CKA_ID of 120 bytes", ["--key", "pkcs11:token=cloud;id=" + uri_bytes(LONG_ID),
                                     "--pin-env", "PIN"], {}),
            ("label of 135 bytes", ["--key", "pkcs11:token=cloud;object=" + LONG_LABEL,
                                    "--pin-file", pin_file], {}),
            ("user:password PIN from FONTSEAL_PIN_SOURCE",
             ["--key", "pkcs11:token=cloud;object=" + LONG_LABEL],
             {"FONTSEAL_PIN_SOURCE": "env:PIN"}),
            ("no login required (the module logs itself in)",
             ["--key", "pkcs11:token=cloud;object=" + LONG_LABEL],
             dict(shim, QUIRKS_LOGIN_PIN=PIN)),
            ("single-part operations only", ["--key", "pkcs11:token=cloud;object=" + LONG_LABEL,
                                             "--pin-env", "PIN"],
             dict(shim, QUIRKS_SINGLE_PART="1")),
        ]
        for name, args, env in cases:
            with self.subTest(name):
                if os.path.exists(log):
                    os.remove(log)
                env = dict({"FONTSEAL_PKCS11_MODULE": SOFTHSM}, **env)
                # No certificate on the token: --cert brings it.
                self.sign_family(args + ["--cert", self.cert], env)
                if "QUIRKS_MODULE" in env:
                    calls = read(log).decode().split()
                    self.assertEqual(calls.count("C_Sign"), len(self.fonts))
                    self.assertNotIn("C_SignUpdate", calls)
                    if "QUIRKS_LOGIN_PIN" in env:
                        self.assertNotIn("C_Login", calls)
        # Without --cert the token has none to offer, and says so.
        r = cli("sign", "--key", "pkcs11:token=cloud;object=" + LONG_LABEL, "--pin-env",
                "PIN", self.fonts[0], self.path("none.ttf"),
                env=dict(self.env, FONTSEAL_PKCS11_MODULE=SOFTHSM), start_new_session=True,
                stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot use the token key", r.stderr)
        self.assertFalse(os.path.exists(self.path("none.ttf")))


if __name__ == "__main__":
    unittest.main()

"""The Debian package, made by cpack from this build, read by dpkg's own tools:
its control fields (dependencies found by dpkg-shlibdeps, the shlibs entry,
the ldconfig trigger), its files under /usr, and, unpacked with `dpkg -x`
into a scratch root, its CLI signing and verifying a font on its library."""
import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from e2e_support import (BUILD, DEJAVU, check, directory, make_ca, make_signer,  # noqa: E402
                          open_checked, run)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="fontseal-package-")
        cls.dir = cls._tmp.name
        out = os.path.join(cls.dir, "out")
        r = run(["cpack", "-G", "DEB", "-B", out, "--config",
                 os.path.join(BUILD, "CPackConfig.cmake")], cwd=BUILD)
        if r.returncode != 0:
            raise AssertionError("cpack failed:\n" + r.stdout + r.stderr)
        debs = glob.glob(os.path.join(out, "*.deb"))
        if len(debs) != 1:
            raise AssertionError("cpack made %r" % debs)
        cls.deb = debs[0]
        cls.version = check([os.path.join(BUILD, "fontseal"), "--version"]).split()[1]
        cls.root = os.path.join(cls.dir, "root")
        check(["dpkg", "-x", cls.deb, cls.root])
        cls.control = os.path.join(cls.dir, "control")
        check(["dpkg-deb", "-e", cls.deb, cls.control])
        # Debian's place for the libraries of /usr.
        cls.libdir = "usr/lib/" + check(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).strip()

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def field(self, name):
        return check(["dpkg-deb", "-f", self.deb, name]).strip()

    def test_control_fields_name_the_libraries_the_binaries_need(self):
        self.assertEqual(os.path.basename(self.deb), "fontseal_%s_amd64.deb" % self.version)
        self.assertEqual(self.field("Package"), "fontseal")
        self.assertEqual(self.field("Version"), self.version)
        depends = {re.sub(r"\s*\(.*", "", d.strip()) for d in self.field("Depends").split(",")}
        # What the library and CLI are linked against, as dpkg-shlibdeps saw it.
        self.assertTrue({"libc6", "libssl3", "libcurl4", "libstdc++6"} <= depends, depends)
        self.assertNotIn("fontseal", depends)
        major = self.version.split(".")[0]
        with open(os.path.join(self.control, "shlibs")) as f:
            self.assertEqual(f.read().split(), ["libfontseal", major, "fontseal", "(>=",
                                                self.version + ")"])
        with open(os.path.join(self.control, "triggers")) as f:
            self.assertEqual(f.read().split(), ["activate-noawait", "ldconfig"])
        for script in ("postinst", "postrm", "preinst", "prerm"):
            self.assertFalse(os.path.exists(os.path.join(self.control, script)), script)

    def test_files_are_under_usr_with_no_build_paths(self):
        listing = check(["dpkg-deb", "-c", self.deb])
        for line in listing.splitlines():
            self.assertRegex(line, r" root/root ")
            self.assertRegex(line, r" \./usr/")
        major = self.version.split(".")[0]
        for path in ("usr/bin/fontseal", self.libdir + "/libfontseal.so." + self.version,
                     "usr/include/fontseal/fontseal.h", "usr/include/fontseal/store.h",
                     "usr/include/fontseal/csp.h", self.libdir + "/pkgconfig/fontseal.pc",
                     "usr/share/man/man1/fontseal.1.gz", "usr/share/man/man3/fontseal.3.gz",
                     "usr/share/doc/fontseal/copyright", "usr/share/doc/fontseal/changelog.gz"):
            self.assertTrue(os.path.isfile(os.path.join(self.root, path)), path)
        self.assertEqual(os.readlink(os.path.join(self.root, self.libdir, "libfontseal.so." + major)),
                         "libfontseal.so." + self.version)
        # The package's CLI finds the library where the system keeps it, so it
        # carries no run path (least of all one into this build tree).
        dynamic = check(["readelf", "-d", os.path.join(self.root, "usr/bin/fontseal")])
        self.assertNotRegex(dynamic, r"RPATH|RUNPATH")
        self.assertIn("Shared library: [libfontseal.so.%s]" % major, dynamic)
        with open(os.path.join(self.root, self.libdir, "pkgconfig/fontseal.pc")) as f:
            pc = f.read()
        self.assertIn("\nprefix=/usr\n", pc)
        self.assertIn("\nlibdir=${prefix}/%s\n" % self.libdir[len("usr/"):], pc)
        self.assertNotIn(self.dir, pc)
        self.assertNotIn(os.path.realpath(BUILD), pc)

    def test_unpacked_cli_signs_and_verifies_a_font_on_its_own_library(self):
        lib_dir = os.path.join(self.root, self.libdir)
        env = dict(os.environ, LD_LIBRARY_PATH=lib_dir)
        cli = os.path.join(self.root, "usr", "bin", "fontseal")
        ldd = check_env(["ldd", cli], env)
        m = re.search(r"libfontseal\.so\.\d+ => (\S+)", ldd)
        self.assertTrue(m, ldd)
        self.assertEqual(os.path.realpath(m.group(1)),
                         os.path.realpath(os.path.join(lib_dir, "libfontseal.so." + self.version)))

        ca_key, ca_cert = make_ca(self.dir)
        cert, _, pvk = make_signer(self.dir, ca_key, ca_cert, password="unpacked")
        password = os.path.join(self.dir, "password")
        with open(password, "w") as f:
            f.write("unpacked\n")
        out = os.path.join(self.dir, "signed.ttf")
        signed = subprocess.run([cli, "sign", "--cert", cert, "--key", pvk, "--password-file",
                                 password, DEJAVU, out], capture_output=True, text=True, env=env)
        self.assertEqual(signed.returncode, 0, signed.stdout + signed.stderr)
        self.assertEqual(len(open_checked(out)["DSIG"].signatureRecords), 1)

        verified = subprocess.run([cli, "verify", "--json", "--ca-file", ca_cert, out],
                                  capture_output=True, text=True, env=env)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertRegex(verified.stdout, r'"status": "valid"')
        self.assertRegex(verified.stdout, r'"chain_checked": true')
        # A glyph changed after signing does not verify.
        data = bytearray(open(out, "rb").read())
        glyf = [offset for tag, _, offset, _ in directory(bytes(data))[5] if tag == b"glyf"][0]
        data[glyf + 100] ^= 0xFF
        tampered = os.path.join(self.dir, "tampered.ttf")
        with open(tampered, "wb") as f:
            f.write(data)
        refused = subprocess.run([cli, "verify", tampered], capture_output=True, text=True,
                                 env=env)
        self.assertEqual(refused.returncode, 1, refused.stdout + refused.stderr)


def check_env(args, env):
    r = subprocess.run(args, capture_output=True, text=True, env=env)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(args), r.returncode, r.stderr))
    return r.stdout


if __name__ == "__main__":
    unittest.main(verbosity=2)

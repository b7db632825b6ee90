# SPDX-License-Identifier: Apache-2.0
"""The Debian packages of debian/, built by `scripts/package.sh` (what `make
package` runs: dpkg-buildpackage in a scratch copy) and judged by Debian's
own tools: dpkg-deb for their fields and files, lintian for policy,
hardening-check for the binaries (those of this build too); then the
autopkgtest script runs over the packages unpacked into a scratch root, and
the Python wheel built from python/ is installed into a virtual environment
and signs there. lintian and devscripts are installed here when missing
(root only): no other test needs them."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from e2e_support import (BUILD, DEJAVU, check, make_ca, make_signer,  # noqa: E402
                          open_checked, run)

SOURCE = os.path.abspath(os.environ.get("FONTSEAL_SOURCE_DIR") or os.path.join(
    os.path.dirname(__file__), "..", ".."))
PYTHON = "/usr/bin/python3"
CHECK_TOOLS = {"lintian": "lintian", "hardening-check": "devscripts"}


def ensure_check_tools():
    missing = sorted({pkg for tool, pkg in CHECK_TOOLS.items() if not shutil.which(tool)})
    if not missing:
        return
    if os.geteuid() != 0:
        raise AssertionError("install %s (Debian packages) to run this test" % " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for args in (["apt-get", "update", "-qq"],
                 ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing):
        r = run(args, env=env)
        if r.returncode != 0:
            raise AssertionError("%s: %s" % (" ".join(args), r.stdout + r.stderr))


def field(deb, name):
    return check(["dpkg-deb", "-f", deb, name]).strip()


def depends(deb):
    """{package: version constraint or ''} of the Depends field."""
    out = {}
    for item in field(deb, "Depends").split(","):
        m = re.match(r"\s*([\w.+-]+)(?:\s*\((.*)\))?", item)
        out[m.group(1)] = (m.group(2) or "").replace(" ", "")
    return out


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ensure_check_tools()
        cls._tmp = tempfile.TemporaryDirectory(prefix="fontseal-package-")
        cls.dir = cls._tmp.name
        # FONTSEAL_PACKAGE_DIR: packages already built (make package) to judge.
        cls.out = os.environ.get("FONTSEAL_PACKAGE_DIR") or os.path.join(cls.dir, "out")
        if not os.environ.get("FONTSEAL_PACKAGE_DIR"):
            started = time.monotonic()
            r = run([os.path.join(SOURCE, "scripts", "package.sh"), cls.out, "2"])
            if r.returncode != 0:
                raise AssertionError("scripts/package.sh failed:\n" + r.stdout[-6000:] +
                                     r.stderr)
            print("\ndpkg-buildpackage in a scratch copy, -j2: %.0f s" %
                  (time.monotonic() - started), file=sys.stderr)
        cls.debs = {os.path.basename(d).split("_")[0]: d
                    for d in glob.glob(os.path.join(cls.out, "*.deb"))}
        cls.version = check([os.path.join(BUILD, "fontseal"), "--version"]).split()[1]
        cls.multiarch = check(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).strip()
        cls.libdir = "usr/lib/" + cls.multiarch
        cls.root = os.path.join(cls.dir, "root")
        for deb in cls.debs.values():
            check(["dpkg", "-x", deb, cls.root])

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_four_packages_split_the_files_and_name_what_they_need(self):
        v, lib = self.version, self.libdir
        # package: (architecture, files it holds, what it depends on, with which constraint)
        expected = {
            "libfontseal1": ("amd64", [lib + "/libfontseal.so." + v, lib + "/libfontseal.so.1",
                                       "usr/share/doc/libfontseal1/copyright"],
                             {"libc6": ">=", "libssl3": ">=", "libcurl4": ">=",
                              "libstdc++6": ">="}),
            "libfontseal-dev": ("amd64", [lib + "/libfontseal.so", lib + "/pkgconfig/fontseal.pc",
                                          "usr/include/fontseal/fontseal.h",
                                          "usr/include/fontseal/store.h",
                                          "usr/include/fontseal/csp.h",
                                          "usr/share/man/man3/fontseal.3.gz"],
                                {"libfontseal1": "=" + v}),
            "fontseal": ("amd64", ["usr/bin/fontseal", "usr/share/man/man1/fontseal.1.gz",
                                   "usr/share/doc/fontseal/NOTICE"],
                         {"libfontseal1": ">=" + v, "libc6": ">=", "libstdc++6": ">="}),
            "python3-fontseal": ("all", ["usr/lib/python3/dist-packages/fontseal/__init__.py",
                                         "usr/lib/python3/dist-packages/fontseal/_native.py",
                                         "usr/lib/python3/dist-packages/fontseal-%s.dist-info/"
                                         "METADATA" % v],
                                 {"libfontseal1": ">=" + v, "python3": ""}),
        }
        self.assertEqual(sorted(self.debs), sorted(expected))
        owners = {}
        for name, (arch, files, needs) in expected.items():
            deb = self.debs[name]
            self.assertEqual(os.path.basename(deb), "%s_%s_%s.deb" % (name, v, arch))
            self.assertEqual(field(deb, "Version"), v)
            listing = check(["dpkg-deb", "-c", deb])
            paths = re.findall(r" \./(\S+?)(?: -> \S+)?$", listing, re.M)
            for line in listing.splitlines():
                self.assertRegex(line, r" root/root ", name)
            for path in files:
                self.assertIn(path, paths, name)
            self.assertIn("usr/share/doc/%s/copyright" % name, paths)
            for path in paths:
                if not path.endswith("/"):
                    self.assertNotIn(path, owners, "%s and %s" % (owners.get(path), name))
                    owners[path] = name
            got = depends(deb)
            for dep, constraint in needs.items():
                self.assertIn(dep, got, name)
                self.assertTrue(got[dep].startswith(constraint), (name, dep, got[dep]))
            self.assertNotIn("fontseal", got, name)

        # The library's control files: its symbols (each export since v), the
        # loader's cache refreshed by dpkg's trigger, no maintainer scripts.
        control = os.path.join(self.dir, "control")
        check(["dpkg-deb", "-e", self.debs["libfontseal1"], control])
        with open(os.path.join(control, "symbols")) as f:
            symbols = dict(re.findall(r"(?m)^ (\w+)@Base (\S+)$", f.read()))
        exported = check(["nm", "-D", "--defined-only",
                          os.path.join(self.root, lib, "libfontseal.so." + v)])
        self.assertEqual(sorted(symbols), sorted(re.findall(r" T (\w+)$", exported, re.M)))
        self.assertIn("fontseal_verify", symbols)
        with open(os.path.join(control, "triggers")) as f:
            self.assertIn("activate-noawait ldconfig", f.read())
        self.assertEqual(sorted(set(os.listdir(control)) & {"postinst", "postrm", "preinst",
                                                            "prerm"}), [])

        # The CLI finds the library where the system keeps it: no run path.
        dynamic = check(["readelf", "-d", os.path.join(self.root, "usr/bin/fontseal")])
        self.assertNotRegex(dynamic, r"RPATH|RUNPATH")
        self.assertIn("Shared library: [libfontseal.so.1]", dynamic)
        with open(os.path.join(self.root, lib, "pkgconfig/fontseal.pc")) as f:
            pc = f.read()
        self.assertIn("\nprefix=/usr\n", pc)
        self.assertIn("\nlibdir=${prefix}/lib/%s\n" % self.multiarch, pc)
        self.assertIn("\nLicense: Apache-2.0\n", pc)
        self.assertNotIn(self.dir, pc)
        self.assertEqual(os.readlink(os.path.join(self.root, lib, "libfontseal.so")),
                         "libfontseal.so.1")
        with open(os.path.join(self.root, "usr/share/doc/fontseal/copyright")) as f:
            self.assertRegex(f.read(), r"(?m)^License: Apache-2.0$")

    def test_lintian_finds_nothing(self):
        changes = glob.glob(os.path.join(self.out, "*.changes"))
        self.assertEqual(len(changes), 1, changes)
        r = run(["lintian", "--fail-on", "error,warning", changes[0]])
        self.assertEqual((r.returncode, r.stdout.strip()), (0, ""), r.stderr)

    def test_binaries_are_hardened(self):
        library = "libfontseal.so." + self.version
        binaries = [os.path.join(BUILD, library), os.path.join(BUILD, "fontseal"),
                    os.path.join(self.root, self.libdir, library),
                    os.path.join(self.root, "usr/bin/fontseal")]
        # What hardening-check may say other than "yes": a library is no
        # executable, and one without frames of a page or more has no probes
        # to find; Debian 12's toolchain gives no binary control-flow integrity.
        excused = {
            ("Position Independent Executable", "no, regular shared library (ignored)", True),
            ("Stack clash protection", "unknown, no -fstack-clash-protection instructions found",
             True),
            ("Control flow integrity", "no, not found!", True),
            ("Control flow integrity", "no, not found!", False),
        }
        for binary in binaries:
            # Its exit status is 1 whenever a check fails, CFI included.
            report = run(["hardening-check", binary]).stdout
            checks = dict(re.findall(r"(?m)^ (.+?): (.+)$", report))
            self.assertEqual(len(checks), 7, report)
            shared = binary.endswith(library)
            bad = {k: v for k, v in checks.items()
                   if not v.startswith("yes") and (k, v, shared) not in excused}
            self.assertEqual(bad, {}, binary)
        # The library of this build was compiled with the probes all the same.
        producers = set(re.findall(r"DW_AT_producer\s*:.*?: (GNU C.*)",
                                   check(["readelf", "--debug-dump=info", binaries[0]])))
        self.assertTrue(producers)
        for producer in producers:
            self.assertIn("-fstack-clash-protection", producer)
            self.assertIn("-fstack-protector-strong", producer)

    def test_autopkgtest_script_signs_and_verifies_with_the_unpacked_packages(self):
        r = lambda *p: os.path.join(self.root, *p)  # noqa: E731
        work = os.path.join(self.dir, "autopkgtest")
        os.mkdir(work)
        env = dict(os.environ, AUTOPKGTEST_TMP=work, LD_LIBRARY_PATH=r(self.libdir),
                   PATH=r("usr/bin") + ":/usr/bin:/bin", PYTHONPATH=r("usr/lib/python3/dist-packages"),
                   PKG_CONFIG_PATH=r(self.libdir, "pkgconfig"), PKG_CONFIG_SYSROOT_DIR=self.root,
                   PYTHONDONTWRITEBYTECODE="1")
        env.pop("FONTSEAL_LIBRARY", None)
        test = os.path.join(SOURCE, "debian", "tests", "sign-verify")
        with open(os.path.join(SOURCE, "debian", "tests", "control")) as f:
            self.assertRegex(f.read(), r"(?m)^Tests: sign-verify$")
        done = subprocess.run([test], capture_output=True, text=True, env=env, cwd=work)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("fontseal %s\n" % self.version, done.stdout)
        self.assertIn("python3-fontseal %s signed and verified" % self.version, done.stdout)
        self.assertTrue(done.stdout.rstrip().endswith("sign-verify: passed"), done.stdout)
        # What ran was the unpacked package's, not this build's.
        ldd = check_env(["ldd", r("usr/bin/fontseal")], env)
        self.assertIn(r(self.libdir, "libfontseal.so.1"), ldd)

    def test_wheel_installs_into_a_virtual_environment_and_signs(self):
        src = os.path.join(self.dir, "python")
        shutil.copytree(os.path.join(SOURCE, "python"), src)  # LICENSE, NOTICE: links followed
        dist = os.path.join(self.dir, "dist")
        check([PYTHON, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
               "--no-index", "-w", dist, src])
        check([PYTHON, "-m", "build", "--sdist", "--no-isolation", "--outdir", dist, src])
        wheel = os.path.join(dist, "fontseal-%s-py3-none-any.whl" % self.version)
        sdist = os.path.join(dist, "fontseal-%s.tar.gz" % self.version)
        self.assertEqual(sorted(os.listdir(dist)), sorted([os.path.basename(wheel),
                                                           os.path.basename(sdist)]))
        names = check(["unzip", "-Z1", wheel]).split()
        self.assertEqual(sorted(n for n in names if not n.startswith("fontseal-")),
                         ["fontseal/__init__.py", "fontseal/_native.py"])
        info = "fontseal-%s.dist-info/" % self.version
        self.assertTrue({info + "LICENSE", info + "NOTICE"} <= set(names), names)
        metadata = check(["unzip", "-p", wheel, info + "METADATA"])
        self.assertIn("\nLicense: Apache-2.0\n", metadata)
        listing = check(["tar", "-tvzf", sdist])
        self.assertRegex(listing, r"(?m)^-.* fontseal-%s/LICENSE$" % re.escape(self.version))

        venv = os.path.join(self.dir, "venv")
        check([PYTHON, "-m", "venv", "--system-site-packages", venv])
        vpython = os.path.join(venv, "bin", "python")
        check([vpython, "-m", "pip", "install", "--no-index", "--no-deps", wheel])
        ca_key, ca_cert = make_ca(self.dir)
        cert, _, pvk = make_signer(self.dir, ca_key, ca_cert, password="wheel")
        out = os.path.join(self.dir, "from wheel.ttf")
        script = ("import fontseal, sys\n"
                  "print(fontseal.__file__, fontseal.__version__)\n"
                  "fontseal.sign(sys.argv[1], sys.argv[2], cert=sys.argv[3], key=sys.argv[4],\n"
                  "              password='wheel', program_name='From the wheel')\n"
                  "r = fontseal.verify(sys.argv[2], ca_file=sys.argv[5])\n"
                  "print(r.valid, r.program_name, r.chain_checked)\n")
        env = dict(os.environ, FONTSEAL_LIBRARY=os.path.join(BUILD, "libfontseal.so"),
                   PYTHONDONTWRITEBYTECODE="1")
        env.pop("PYTHONPATH", None)
        done = subprocess.run([vpython, "-c", script, DEJAVU, out, cert, pvk, ca_cert],
                              capture_output=True, text=True, env=env, cwd=self.dir)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        where, version = done.stdout.splitlines()[0].split()
        self.assertTrue(where.startswith(os.path.join(venv, "lib")), where)
        self.assertEqual(version, self.version)
        self.assertEqual(done.stdout.splitlines()[1], "True From the wheel True")
        self.assertEqual(len(open_checked(out)["DSIG"].signatureRecords), 1)


def check_env(args, env):
    r = subprocess.run(args, capture_output=True, text=True, env=env)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(args), r.returncode, r.stderr))
    return r.stdout


if __name__ == "__main__":
    unittest.main(verbosity=2)

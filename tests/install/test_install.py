# SPDX-License-Identifier: Apache-2.0
"""`cmake --install` into a scratch prefix, then used as a stranger to the
build tree would use it: a C host built with `pkg-config --cflags --libs
fontseal` alone signs and verifies a font, the installed CLI runs from the
prefix on the installed library, and both manual pages render without a
warning from man and cover every option, command, export and result code."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from e2e_support import BUILD, DEJAVU, check, make_ca, make_signer, open_checked, run  # noqa: E402

SOURCE = os.environ.get("FONTSEAL_SOURCE_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..")
HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    out = check([os.path.join(BUILD, "fontseal"), "--version"])
    return out.split()[1]


def without_loader_path():
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    return env


def rendered_page(path):
    """The page as man shows it, with its warnings (lintian's invocation)."""
    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")
    warnings = run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", path], env=env)
    text = run(["man", "-E", "ascii", "-l", path], env=dict(env, MANPAGER="cat", PAGER="cat"))
    if text.returncode != 0:
        raise AssertionError("man -l %s: %s" % (path, text.stderr))
    # Bold and underline are overstrikes: keep the letters.
    return warnings, re.sub(r".\x08", "", text.stdout)


def loaded_from(binary, library, env):
    """Where the loader finds `library` for `binary`."""
    out = check_env(["ldd", binary], env)
    m = re.search(r"^\s*%s => (.+) \(0x" % re.escape(library), out, re.M)
    if not m:
        raise AssertionError("%s does not load %s:\n%s" % (binary, library, out))
    return os.path.realpath(m.group(1))


def check_env(args, env):
    r = subprocess.run(args, capture_output=True, text=True, env=env)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (" ".join(args), r.returncode, r.stdout,
                                                      r.stderr))
    return r.stdout


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="fontseal-install-")
        cls.dir = cls._tmp.name
        cls.prefix = os.path.join(cls.dir, "prefix")
        r = run(["cmake", "--install", BUILD, "--prefix", cls.prefix])
        if r.returncode != 0:
            raise AssertionError("cmake --install failed:\n" + r.stdout + r.stderr)
        cls.version = project_version()

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def p(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_library_headers_and_cli_are_laid_out_as_a_linux_library(self):
        lib = self.p("lib", "libfontseal.so." + self.version)
        self.assertTrue(os.path.isfile(lib) and not os.path.islink(lib), lib)
        major = self.version.split(".")[0]
        self.assertEqual(os.readlink(self.p("lib", "libfontseal.so." + major)),
                         "libfontseal.so." + self.version)
        self.assertEqual(os.path.realpath(self.p("lib", "libfontseal.so")), lib)
        dynamic = check(["readelf", "-d", lib])
        self.assertIn("Library soname: [libfontseal.so.%s]" % major, dynamic)

        headers = sorted(os.listdir(os.path.join(SOURCE, "include", "fontseal")))
        self.assertEqual(sorted(os.listdir(self.p("include", "fontseal"))), headers)
        for h in headers:
            with open(self.p("include", "fontseal", h), "rb") as a, \
                    open(os.path.join(SOURCE, "include", "fontseal", h), "rb") as b:
                self.assertEqual(a.read(), b.read(), h)

        # The CLI's run path leads to the installed library, never into the
        # build tree, and it runs from the prefix with no loader path set.
        cli = self.p("bin", "fontseal")
        runpath = check(["readelf", "-d", cli])
        self.assertNotIn(os.path.realpath(BUILD), runpath)
        self.assertNotIn(os.path.abspath(BUILD), runpath)
        self.assertEqual(loaded_from(cli, "libfontseal.so." + major, without_loader_path()),
                         os.path.realpath(lib))
        self.assertEqual(check_env([cli, "--version"], without_loader_path()).strip(),
                         "fontseal " + self.version)

    def test_host_built_with_pkg_config_alone_signs_and_verifies(self):
        env = dict(os.environ, PKG_CONFIG_PATH=self.p("lib", "pkgconfig"))
        self.assertEqual(check_env(["pkg-config", "--modversion", "fontseal"], env).strip(),
                         self.version)
        flags = check_env(["pkg-config", "--cflags", "--libs", "fontseal"], env).split()
        # Every installed header stands alone with those flags (csp.h is C++).
        for header, compiler in (("fontseal.h", "cc"), ("store.h", "cc"), ("csp.h", "c++")):
            source = os.path.join(self.dir, "only_" + header + (".c" if compiler == "cc" else
                                                               ".cpp"))
            with open(source, "w") as f:
                f.write("#include <fontseal/%s>\n" % header)
            check_env([compiler, "-fsyntax-only", "-Wall", "-Werror", source] +
                      [f for f in flags if f.startswith("-I")], env)
        host = os.path.join(self.dir, "host")
        check_env(["cc", "-std=c11", "-Wall", "-Werror", "-o", host,
                   os.path.join(HERE, "host.c")] + flags, env)

        ca_key, ca_cert = make_ca(self.dir)
        cert, key, _ = make_signer(self.dir, ca_key, ca_cert)
        out = os.path.join(self.dir, "signed.ttf")
        run_env = dict(without_loader_path(), LD_LIBRARY_PATH=self.p("lib"))
        self.assertEqual(loaded_from(host, "libfontseal.so.1", run_env),
                         os.path.realpath(self.p("lib", "libfontseal.so." + self.version)))
        report = check_env([host, DEJAVU, out, cert, key, ca_cert], run_env)
        self.assertRegex(report, r"signer=.*CN=Fontseal Test Publisher signer\n")
        self.assertIn("digest=SHA-384", report)
        self.assertIn("program=Installed host", report)
        self.assertIn("chain=1", report)
        self.assertIn("version=%s/%s %s\n" % (self.version, self.version, self.version), report)

        # fontTools reads the signed font, checksums and all, and finds one
        # signature; the installed CLI agrees that it verifies.
        font = open_checked(out)
        self.assertEqual(len(font["DSIG"].signatureRecords), 1)
        verdict = run([self.p("bin", "fontseal"), "verify", "--ca-file", ca_cert, out],
                      env=without_loader_path())
        self.assertEqual(verdict.returncode, 0, verdict.stdout + verdict.stderr)
        self.assertIn(": valid", verdict.stdout)

    def test_manual_pages_render_cleanly_and_cover_the_interfaces(self):
        pages = {s: self.p("share", "man", "man" + s, "fontseal.%s.gz" % s) for s in "13"}
        text = {}
        for section, page in pages.items():
            warnings, text[section] = rendered_page(page)
            self.assertEqual((warnings.returncode, warnings.stderr), (0, ""), page)
            self.assertIn("fontseal " + self.version, text[section])

        # fontseal(1): every command and every option that any --help lists.
        cli = os.path.join(BUILD, "fontseal")
        helps = [check([cli, "--help"])]
        commands = re.findall(r"^  (\w+)\s{2,}", helps[0].split("Commands:")[1].split(
            "Options:")[0], re.M)
        self.assertIn("verify", commands)
        for command in commands:
            helps.append(check([cli, command, "--help"]))
            self.assertRegex(text["1"], r"(?m)^ +fontseal %s$" % command)
        options = set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]+|-h)\b", "\n".join(helps)))
        self.assertGreater(len(options), 20)
        missing = sorted(o for o in options if not re.search(r"(?<![\w-])%s\b" % o, text["1"]))
        self.assertEqual(missing, [], "options missing from fontseal(1)")
        for section in ("SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "ENVIRONMENT", "EXAMPLES"):
            self.assertRegex(text["1"], r"(?m)^%s$" % section)

        # fontseal(3): every exported function and every result code.
        names = set()
        for h in ("fontseal.h", "store.h"):
            with open(self.p("include", "fontseal", h)) as f:
                header = f.read()
            names |= set(re.findall(r"(?m)^FONTSEAL_API [\w\s\*]*?\b(\w+)\(", header))
            names |= set(re.findall(r"\b(FONTSEAL_(?:OK|E_\w+[A-Z]))\b", header))
        self.assertGreater(len(names), 40)
        self.assertTrue({"sign_font", "fontseal_verify", "FONTSEAL_E_TOKEN_PIN"} <= names)
        missing = sorted(n for n in names if not re.search(r"\b%s\b" % n, text["3"]))
        self.assertEqual(missing, [], "names missing from fontseal(3)")
        for section in ("SYNOPSIS", "FUNCTIONS", "STRUCTURES", "RESULT CODES", "THREADS"):
            self.assertRegex(text["3"], r"(?m)^%s$" % section)


if __name__ == "__main__":
    unittest.main(verbosity=2)

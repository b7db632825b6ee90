# SPDX-License-Identifier: Apache-2.0
"""What a person watching a family run sees: the progress and ETA of `fontseal
sign --out-dir` on a terminal (and nothing of it when piped), and the page of
`fontseal verify --html`, read back with Python's own HTML parser."""
import html as htmllib
import html.parser
import json
import os
import pty
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from e2e_support import CLI, DEJAVU, TempDirTest, check, cli, make_ca, make_signer  # noqa: E402
from tsa_server import TsaServer  # noqa: E402

FIX = None
# Characters that end elements and attributes, in a subject and a file name.
HOSTILE = "<b>&\"q'"


class Fixture:
    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="fontseal-report-")
        d = self.dir = self.tmp.name
        self.ca_key, self.ca = make_ca(d)
        self.cert, self.key, _ = make_signer(d, self.ca_key, self.ca, "publisher")
        # A self-signed signer whose subject is made to break a page.
        self.hostile_key, self.hostile_cert = os.path.join(d, "h.key"), os.path.join(d, "h.pem")
        check(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
               self.hostile_key, "-out", self.hostile_cert, "-days", "5", "-subj",
               "/CN=Publisher " + HOSTILE + "/O=Fontseal Test", "-addext",
               "extendedKeyUsage=codeSigning"])
        self.server = TsaServer(os.path.join(d, "tsa")).start()


def setUpModule():
    global FIX
    FIX = Fixture()


def tearDownModule():
    FIX.server.stop()
    FIX.tmp.cleanup()


def on_terminal(args, stdout_too):
    """Runs args with standard error (and standard output when stdout_too) on
    a pseudo-terminal; returns (exit code, terminal text, piped stdout)."""
    master, slave = pty.openpty()
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL,
                         stdout=slave if stdout_too else subprocess.PIPE, stderr=slave)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the last writer has closed its end
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    piped = p.stdout.read().decode() if p.stdout else ""
    if p.stdout:
        p.stdout.close()
    return p.wait(), seen.decode().replace("\r\n", "\n"), piped


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class ProgressTest(TempDirTest):
    def test_eta_on_a_terminal_only(self):
        fam, out = self.path("fam"), self.path("out")
        os.mkdir(fam)
        os.mkdir(out)
        names = [os.path.join(fam, n) for n in ("A.ttf", "B.ttf", "C.ttf", "D.ttf")]
        for n in names[:3]:
            shutil.copy(DEJAVU, n)
        with open(names[3], "wb") as f:
            f.write(b"\0\1\0\0" + b"\xff" * 60)  # fails, and is the last line
        # One font at a time, each waiting 0.6 s for its time stamp: a known pace.
        args = [CLI, "sign", "--cert", FIX.cert, "--key", FIX.key, "--jobs", "1",
                "--timestamp-rfc3161", FIX.server.url("/delay=0.6"), "--out-dir", out] + names

        piped = subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        self.assertEqual(piped.returncode, 1, piped.stderr)
        expected = ["signed %s -> %s" % (n, os.path.join(out, os.path.basename(n)))
                    for n in names[:3]]
        lines = piped.stdout.splitlines()
        self.assertTrue(lines.pop(0).startswith("signing 4 fonts into "), piped.stdout)
        self.assertEqual(lines[:3], expected)
        self.assertTrue(lines[3].startswith("FAILED " + names[3] + ": "), lines)
        self.assertEqual(lines[4:], ["3 signed, 1 failed"])

        # Only standard error on a terminal: the lines, which go elsewhere, stay.
        code, terminal, stdout = on_terminal(args, stdout_too=False)
        self.assertEqual((code, stdout, terminal), (1, piped.stdout, ""))

        code, terminal, _ = on_terminal(args, stdout_too=True)
        self.assertEqual(code, 1)
        shown = terminal.splitlines()
        self.assertTrue(shown.pop(0).startswith("signing 4 fonts into "), terminal)
        self.assertEqual(len(shown), 5, terminal)
        for i, line in enumerate(shown[:4]):
            m = re.fullmatch(r"\[(\d+)/4\] (.*?)(?:  ETA (\d+):(\d\d))?", line)
            self.assertTrue(m, line)
            self.assertEqual((int(m.group(1)), m.group(2)), (i + 1, lines[i]))
            if i == 3 or (i > 0 and m.group(3) is None):
                # Nothing left after the last; a line shown once the fonts
                # after it have finished has nothing left either. The first
                # line always has two fonts of 0.6 s each still to come.
                self.assertIsNone(m.group(3), line)
                continue
            self.assertIsNotNone(m.group(3), line)
            # The rest at the pace so far, rounded up: while fonts are left it
            # is never 0:00; a loaded machine may make it anything longer.
            eta = int(m.group(3)) * 60 + int(m.group(4))
            left = 4 - (i + 1)
            self.assertTrue(1 <= eta <= 60 * left, line)
        self.assertEqual(shown[4], "3 signed, 1 failed")


class RowParser(html.parser.HTMLParser):
    """The rows of the page's table body: (class, [cell text]) each, the
    title attributes (hover texts) met in each row, the banner's text, and
    every tag and attribute met."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.rows, self.titles, self.tags, self.attributes = [], [], [], set()
        self.in_body = False
        self.cell = None
        self.banner = None

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attributes.update(name for name, _ in attrs)
        attrs = dict(attrs)
        if tag == "p" and "banner" in attrs.get("class", "").split():
            self.banner = ""
        if tag == "tbody":
            self.in_body = True
        elif tag == "tr" and self.in_body:
            self.rows.append((attrs.get("class", ""), []))
            self.titles.append([])
        elif tag == "td" and self.in_body:
            self.cell = ""
        elif tag == "br" and self.cell is not None:
            self.cell += "\n"
        if "title" in attrs and self.cell is not None:
            self.titles[-1].append(attrs["title"])

    def handle_endtag(self, tag):
        if tag == "tbody":
            self.in_body = False
        elif tag == "td" and self.cell is not None:
            self.rows[-1][1].append(self.cell)
            self.cell = None
        elif tag == "p" and self.banner is not None and not self.banner.endswith("\0"):
            self.banner += "\0"

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data
        if self.banner is not None and not self.banner.endswith("\0"):
            self.banner += data


class HtmlReportTest(TempDirTest):
    def test_family_page(self):
        fam = self.path("fam")
        os.mkdir(fam)
        good, tampered, hostile, unsigned = (os.path.join(fam, n) for n in (
            "Good.ttf", "Tampered.ttf", "x" + HOSTILE + ".ttf", "Unsigned.ttf"))
        r = cli("sign", "--cert", FIX.cert, "--key", FIX.key, "--timestamp-rfc3161",
                FIX.server.url("/"), "--require-timestamp", DEJAVU, good)
        self.assertEqual(r.returncode, 0, r.stderr)
        r = cli("sign", "--cert", FIX.cert, "--key", FIX.key, DEJAVU, tampered)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.tamper(tampered)
        r = cli("sign", "--cert", FIX.hostile_cert, "--key", FIX.hostile_key, DEJAVU, hostile)
        self.assertEqual(r.returncode, 0, r.stderr)
        shutil.copy(DEJAVU, unsigned)
        fonts = [good, tampered, hostile, unsigned]

        report = self.path("report.html")
        plain = cli("verify", "--json", *fonts)
        with_page = cli("verify", "--json", "--html", report, *fonts)
        self.assertEqual((with_page.returncode, with_page.stdout), (1, plain.stdout))
        self.assertEqual(plain.returncode, 1)
        found = {o["font"]: o for o in json.loads(plain.stdout)}
        # Written through a temporary that is gone, with an ordinary file's mode.
        self.assertEqual(sorted(os.listdir(self.dir)), ["fam", "report.html"])
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(os.stat(report).st_mode & 0o777, 0o666 & ~umask)

        with open(report, encoding="utf-8") as f:
            page = f.read()
        parser = RowParser()
        parser.feed(page)
        parser.close()
        # Nothing from elsewhere, nothing to run, nothing a subject or a name made.
        self.assertLessEqual(set(parser.tags), {
            "html", "head", "meta", "title", "style", "body", "h1", "p", "table", "thead",
            "tbody", "tr", "th", "td", "br", "small", "span", "wbr"})
        self.assertFalse(parser.attributes & {"src", "href", "style"} or
                         any(a.startswith("on") for a in parser.attributes))
        self.assertNotIn("url(", page)
        self.assertNotIn("@import", page)

        # A banner counts the verdicts; failed fonts come first, each group
        # in the order the fonts were given.
        self.assertEqual(parser.banner, "4 fonts: 2 failed, 2 valid\0")
        failed = [f for f in fonts if not found[f]["valid"]]
        self.assertEqual([cells[0] for _, cells in parser.rows],
                         failed + [f for f in fonts if f not in failed])
        self.assertEqual(failed, [tampered, unsigned])
        # A file name wraps only after a slash, never inside a name.
        for font in fonts:
            escaped = htmllib.escape(font).replace("&#x27;", "&#39;")
            self.assertIn('<td class="font">' + escaped.replace("/", "/<wbr>") + "</td>", page)
        self.assertNotRegex(page, r"break-all|break-word|anywhere")
        # Jargon in words: the checks and the table order.
        words = {"digest": "font digest", None: None}
        orders = {"writer": "fontseal's", None: ""}
        for (klass, cells), titles in zip(parser.rows, parser.titles):
            o = found[cells[0]]
            self.assertEqual(len(cells), 7, cells)
            _, verdict, signer, digest, stamp, order, why = cells
            self.assertEqual(verdict.split("\n")[0], o["status"])
            self.assertEqual("failed" in klass.split(), not o["valid"], klass)
            if o["signer"]:
                # Its common name and organisation; the whole name on hover.
                cn, org = (re.search(r"(?:^|,)%s=((?:\\.|[^,\\])*)" % k,
                                     o["signer"]["subject"]).group(1) for k in ("CN", "O"))
                unescape = lambda v: re.sub(r"\\(.)", r"\1", v)  # noqa: E731
                self.assertEqual(signer.split("\n")[0], unescape(cn) + ", " + unescape(org))
                self.assertEqual(titles[:2], [o["signer"]["subject"], o["signer"]["issuer"]])
                self.assertIn(o["signer"]["serial"], signer)
            else:
                self.assertEqual((signer, titles), ("", []))
            self.assertEqual(digest.split("\n")[0], o["digest"] or "")
            self.assertEqual(order, orders[o["layout"]])
            if o["timestamp"]:
                self.assertEqual(stamp.split("\n")[0], o["timestamp"]["utc"])
                self.assertIn("rfc3161", stamp)
            else:
                self.assertEqual(stamp, "none")
            if o["failed_check"]:
                self.assertEqual(why, words[o["failed_check"]] + " check failed: " +
                                 o["message"][len(cells[0]) + 2:])
            else:
                self.assertNotIn("check failed", why)
        self.assertTrue(found[good]["timestamp"]["utc"])
        self.assertEqual(found[tampered]["failed_check"], "digest")
        self.assertIn(HOSTILE, found[hostile]["signer"]["subject"].replace("\\", ""))
        hostile_row = [cells for _, cells in parser.rows if cells[0] == hostile][0]
        self.assertEqual(hostile_row[2].split("\n")[0], "Publisher " + HOSTILE + ", Fontseal Test")

        # A page that cannot be written fails the run, even when every font verifies.
        r = cli("verify", "--html", self.path("no/such/dir/r.html"), good)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no/such/dir", r.stderr)
        self.assertEqual(cli("verify", "--html", report, good).returncode, 0)

    def test_report_never_replaces_what_it_should_not(self):
        """REPORT is a new file or a page an earlier run wrote: never a font
        (a glob's first name), a foreign file, a device, a FIFO, a directory
        or a link. Refused before any font is read, exit 2, nothing touched."""
        a, b = self.path("A.ttf"), self.path("B.ttf")
        r = cli("sign", "--cert", FIX.cert, "--key", FIX.key, DEJAVU, a)
        self.assertEqual(r.returncode, 0, r.stderr)
        shutil.copy(a, b)
        foreign, fifo, device, folder, link, ours, new = (self.path(n) for n in (
            "index.html", "report.fifo", "null", "folder", "link.html", "ours.html",
            "new.html"))
        with open(foreign, "w") as f:
            f.write("<!DOCTYPE html><html><head><title>the team's page</title></head></html>\n")
        os.mkfifo(fifo)
        os.mkdir(folder)
        os.symlink(b, link)
        self.assertEqual(cli("verify", "--html", ours, a).returncode, 0)
        cases = [  # REPORT, fonts, exit, why
            (a, [b], 2, "it exists and is not a report fontseal wrote"),  # --html *.ttf
            (b, [b], 2, "it is one of the fonts to verify"),
            (foreign, [a, b], 2, "it exists and is not a report fontseal wrote"),
            (fifo, [a], 2, "it is not a regular file"),
            (folder, [a], 2, "it is a directory"),
            (link, [a], 2, "it is a symbolic link"),
            (ours, [a, b], 0, None),
            (new, [b], 0, None),
        ]
        if os.geteuid() == 0:
            # A device node of our own, as /dev/null is.
            os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            cases.append((device, [a], 2, "it is not a regular file"))
        for report, fonts, exit_code, why in cases:
            with self.subTest(report=os.path.basename(report)):
                before = {p: os.lstat(p) for p in (a, b, report) if os.path.lexists(p)}
                kept = {p: read_bytes(p) for p in (a, b, foreign)}
                r = cli("verify", "--html", report, *fonts, timeout=30)
                self.assertEqual(r.returncode, exit_code, r.stderr)
                self.assertEqual({p: read_bytes(p) for p in kept}, kept)
                for p in (a, b):
                    self.assertEqual(os.lstat(p).st_ino, before[p].st_ino)
                if why:
                    self.assertEqual(r.stdout, "")
                    self.assertIn("--html %s: %s" % (report, why), r.stderr)
                    self.assertEqual(stat.S_IFMT(os.lstat(report).st_mode),
                                     stat.S_IFMT(before[report].st_mode))
                else:
                    with open(report, encoding="utf-8") as f:
                        page = f.read()
                    self.assertIn('<meta name="generator" content="fontseal verify">', page)
                    self.assertEqual(page.count("<tr class="), len(fonts))
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(
            ["A.ttf", "B.ttf", "index.html", "report.fifo", "folder", "link.html", "ours.html",
             "new.html"] + (["null"] if os.geteuid() == 0 else [])))

    def tamper(self, path):
        """One byte of glyph outlines changed, the checksums mended by fontTools:
        only the signature's digest can tell."""
        from fontTools.ttLib import TTFont
        with open(path, "rb") as f:
            data = bytearray(f.read())
        glyf = TTFont(path).reader.tables["glyf"]
        data[glyf.offset + glyf.length // 2] ^= 0x01
        with open(path, "wb") as f:
            f.write(data)
        font = TTFont(path)
        font.save(path, reorderTables=False)


if __name__ == "__main__":
    unittest.main()

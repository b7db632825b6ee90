#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Turns a manual page kept as plain text (docs/man/*.txt) into troff, and a
gzip copy of it as Debian installs manual pages.

    mkman.py --version 1.0.0 docs/man/fontseal.1.txt build/man/fontseal.1

The text is a small subset of markdown, enough for a manual page:

    = fontseal(1) | 2026-12-08 | fontseal manual     first line: page, date, manual
    # SECTION                                        .SH
    ## Subsection                                    .SS
    a paragraph of lines                             .PP
    | a line kept as a line                          a line block (a synopsis): .br
    | and the next                                   between its lines
    - `--option` *ARG*                               .TP item: the tag on this line,
      indented lines below are its text              the body indented under it;
                                                     a blank line then more indented
                                                     lines is a second paragraph
    ```                                              a literal block, not filled
    fontseal sign ...
    ```
    `literal` **bold** *placeholder*                 bold, bold, italic

Inside `...` and literal blocks every '-' is a minus (\\-), as options must be
for copy and paste and searching; elsewhere it stays a hyphen. Only ASCII is
taken, so that no locale or font can garble a page."""
import argparse
import gzip
import os
import re
import sys

INLINE = re.compile(r"`([^`]+)`|\*\*([^*]+)\*\*|\*([^*\s][^*]*)\*")


def escape(text, minus=False):
    text = text.replace("\\", "\\e")
    if minus:
        text = text.replace("-", "\\-")
    return text


def inline(text):
    out = []
    pos = 0
    for m in INLINE.finditer(text):
        out.append(escape(text[pos:m.start()]))
        if m.group(1) is not None:
            out.append("\\fB" + escape(m.group(1), minus=True) + "\\fR")
        elif m.group(2) is not None:
            out.append("\\fB" + escape(m.group(2), minus=True) + "\\fR")
        else:
            out.append("\\fI" + escape(m.group(3)) + "\\fR")
        pos = m.end()
    out.append(escape(text[pos:]))
    line = "".join(out)
    if line.startswith((".", "'")):
        line = "\\&" + line
    return line


class Page:
    def __init__(self, source, version):
        self.lines = source.split("\n")
        self.version = version
        self.out = []
        self.section = ""

    def fail(self, number, message):
        raise SystemExit("%s:%d: %s" % (self.name, number + 1, message))

    def header(self):
        m = re.match(r"= (\S+)\((\d)\) \| (\d{4}-\d\d-\d\d) \| (.+)$", self.lines[0])
        if not m:
            self.fail(0, "the first line must be '= name(section) | YYYY-MM-DD | manual'")
        name, section, date, manual = m.groups()
        self.out += [
            '.TH "%s" "%s" "%s" "fontseal %s" "%s"' % (name.upper(), section, date, self.version,
                                                     manual),
            # Options and paths must not be split across lines at a hyphen.
            ".nh",
            ".ad l",
        ]

    def text(self, line):
        if self.section == "NAME":
            # The one place where a dash is the apropos separator.
            return inline(line).replace(" - ", " \\- ")
        return inline(line)

    def literal(self, number, fence_indent):
        self.out += [".sp", ".RS 4", ".nf"]
        i = number + 1
        while i < len(self.lines) and self.lines[i].strip() != "```":
            line = self.lines[i][fence_indent:] if self.lines[i].strip() else ""
            line = escape(line, minus=True)
            self.out.append("\\&" + line if line.startswith((".", "'")) else line)
            i += 1
        if i == len(self.lines):
            self.fail(number, "literal block without its closing ```")
        self.out += [".fi", ".RE"]
        return i + 1

    def convert(self, name):
        self.name = name
        for number, line in enumerate(self.lines):
            if any(ord(c) > 126 or (ord(c) < 32 and c != "\n") for c in line):
                self.fail(number, "only printable ASCII is taken")
        self.header()
        i = 1
        in_item = False
        while i < len(self.lines):
            line = self.lines[i]
            stripped = line.strip()
            if not stripped:
                i += 1
                continue
            if line.startswith("```"):
                i = self.literal(i, 0)
                continue
            if line.startswith("## "):
                self.out.append('.SS "%s"' % line[3:].strip())
                in_item = False
                i += 1
                continue
            if line.startswith("# "):
                self.section = line[2:].strip()
                self.out.append('.SH "%s"' % self.section)
                in_item = False
                i += 1
                continue
            if self.line_block(i):
                # Each line starts at the margin and continues, when it is
                # too long, under a hanging indent, as a synopsis reads.
                self.out += [".PP", ".in +4n"]
                in_item = False
                while i < len(self.lines) and self.line_block(i):
                    text = self.lines[i][2:].strip()
                    self.out += [".ti -4n", self.text(text)] if text else [".sp"]
                    i += 1
                self.out.append(".in -4n")
                continue
            if line.startswith("- "):
                self.out += [".TP", self.text(line[2:].strip())]
                in_item = True
                i += 1
                i = self.body(i, first=True)
                continue
            if line.startswith(" "):
                if not in_item:
                    self.fail(i, "an indented line outside an item")
                i = self.body(i, first=False)
                continue
            # A plain paragraph.
            self.out.append(".PP")
            in_item = False
            while i < len(self.lines) and self.lines[i].strip() and not self.starts_block(i):
                self.out.append(self.text(self.lines[i].strip()))
                i += 1
        return "\n".join(self.out) + "\n"

    def starts_block(self, i):
        line = self.lines[i]
        return self.line_block(i) or line.startswith(("# ", "## ", "- ", "```", " "))

    def line_block(self, i):
        return self.lines[i] == "|" or self.lines[i].startswith("| ")

    def body(self, i, first):
        """An item's indented lines up to a blank line: the first paragraph of
        its text, or a further one."""
        if not first:
            self.out.append(".IP")
        while i < len(self.lines) and self.lines[i].startswith("  ") and self.lines[i].strip():
            line = self.lines[i]
            if line.strip() == "```":
                indent = len(line) - len(line.lstrip())
                i = self.literal(i, indent)
                continue
            self.out.append(self.text(line.strip()))
            i += 1
        return i


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("source")
    parser.add_argument("output")
    args = parser.parse_args()
    with open(args.source, encoding="utf-8") as f:
        troff = Page(f.read(), args.version).convert(args.source)
    data = troff.encode("ascii")
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "wb") as f:
        f.write(data)
    # As `gzip -9n`: no name or time in the header, so builds are reproducible.
    with open(args.output + ".gz", "wb") as f:
        f.write(gzip.compress(data, compresslevel=9, mtime=0))


if __name__ == "__main__":
    sys.exit(main())

# SPDX-License-Identifier: Apache-2.0
"""Shared helpers of the end-to-end tests: paths, fixtures made with openssl,
and font checks made with fontTools (tools nobody here wrote)."""
import os
import struct
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("FONTSEAL_BINARY_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build")
CLI = os.path.join(BUILD, "fontseal")
LIB = os.path.join(BUILD, "libfontseal.so")
DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
LATIN_MODERN = "/usr/share/texmf/fonts/opentype/public/lm/lmroman10-regular.otf"

ORDER = [b"head", b"hhea", b"vhea", b"maxp", b"OS/2", b"gasp", b"name", b"cmap", b"loca",
         b"LTSH", b"VDMX", b"prep", b"fpgm", b"cvt ", b"hmtx", b"vmtx", b"hdmx", b"glyf",
         b"post", b"kern", b"PCLT", b"EBLC", b"EBSC", b"EBDT", b"GDEF", b"GPOS", b"GSUB",
         b"JSTF", b"BASE", b"DSIG"]


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def cli(*args, **kw):
    return run([CLI] + [str(a) for a in args], **kw)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def whole_sum(data):
    data = data + b"\0" * (-len(data) % 4)
    return sum(struct.unpack(">%dI" % (len(data) // 4), data)) & 0xFFFFFFFF


def directory(data):
    """(version, numTables, searchRange, entrySelector, rangeShift, records)
    with records as (tag, checksum, offset, length) in directory order."""
    version, n, sr, es, rs = struct.unpack(">4sHHHH", data[:12])
    records = [struct.unpack(">4sIII", data[12 + 16 * i:28 + 16 * i]) for i in range(n)]
    return version, n, sr, es, rs, records


def tables(data):
    return {tag: data[off:off + length] for tag, _, off, length in directory(data)[5]}


def open_checked(path):
    """Opens a font with fontTools, checking every table checksum."""
    from fontTools.ttLib import TTFont
    font = TTFont(path, checkChecksums=2)
    for tag in font.reader.keys():
        font.reader[tag]  # reading the data verifies its checksum
    return font


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="fontseal-e2e-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)


OPENSSL_CONF = """
[req]
distinguished_name = dn
prompt = no
[dn]
CN = {cn}
O = Fontseal Test Foundry
[ext]
basicConstraints = CA:FALSE
keyUsage = digitalSignature
extendedKeyUsage = {eku}
subjectKeyIdentifier = hash
[ca_ext]
basicConstraints = critical,CA:TRUE
keyUsage = keyCertSign, cRLSign
subjectKeyIdentifier = hash
"""


def make_ca(dirpath, name="ca"):
    conf = os.path.join(dirpath, name + ".cnf")
    with open(conf, "w") as f:
        f.write(OPENSSL_CONF.format(cn="Fontseal Test CA", eku="codeSigning"))
    key, cert = os.path.join(dirpath, name + ".key"), os.path.join(dirpath, name + ".pem")
    check(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
           "-out", cert, "-days", "30", "-config", conf, "-extensions", "ca_ext"])
    return key, cert


def make_signer(dirpath, ca_key, ca_cert, name="signer",
                eku="codeSigning,1.3.6.1.4.1.311.2.1.22", bits=2048, password="secret",
                pvk_option=None):
    """A code-signing certificate issued by the CA, its key as PEM and PVK."""
    conf = os.path.join(dirpath, name + ".cnf")
    with open(conf, "w") as f:
        f.write(OPENSSL_CONF.format(cn="Fontseal Test Publisher " + name, eku=eku))
    key = os.path.join(dirpath, name + ".key")
    csr = os.path.join(dirpath, name + ".csr")
    cert = os.path.join(dirpath, name + ".pem")
    pvk = os.path.join(dirpath, name + ".pvk")
    check(["openssl", "req", "-new", "-newkey", "rsa:%d" % bits, "-nodes", "-keyout", key,
           "-out", csr, "-config", conf])
    check(["openssl", "x509", "-req", "-in", csr, "-CA", ca_cert, "-CAkey", ca_key,
           "-CAcreateserial", "-out", cert, "-days", "30", "-extfile", conf,
           "-extensions", "ext"])
    args = ["openssl", "rsa", "-provider", "legacy", "-provider", "default", "-in", key,
            "-outform", "PVK", "-out", pvk]
    if pvk_option:
        args.append(pvk_option)
    if pvk_option != "-pvk-none":
        args += ["-passout", "pass:" + password]
    check(args)
    return cert, key, pvk


def check(args):
    r = run(args)
    if r.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), r.stderr))
    return r.stdout

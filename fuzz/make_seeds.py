#!/usr/bin/python3
"""Writes the fuzzers' starting inputs to OUT/<target>/: certificates,
bundles, SignedData messages and key files made by openssl, and small fonts
cut from the installed DejaVu and Latin Modern fonts with fontTools. Keys are
made afresh on every run and never leave the build directory."""

import base64
import logging
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from fontTools import subset
from fontTools.ttLib import TTFont

DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
LATIN_MODERN = "/usr/share/texmf/fonts/opentype/public/lm/lmroman10-regular.otf"
CODE_SIGNING_EXTENSIONS = (
    "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nsubjectKeyIdentifier=hash\n"
    "extendedKeyUsage=critical,1.3.6.1.4.1.311.2.1.21,1.3.6.1.4.1.311.2.1.22\n")


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        body = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(body)]) + body
    return bytes([tag]) + length + content


def pem_body(pem):
    return b"".join(line + b"\r\n" for line in pem.splitlines() if not line.startswith(b"-----"))


def wide(text):
    return text.decode("ascii").encode("utf-16-le")


def sfnt(tables, version=0x00010000):
    """A font from (tag, bytes) pairs: directory in tag order, tables padded
    to four bytes; checksums as the format defines them."""
    def checksum(data):
        data += b"\0" * (-len(data) % 4)
        return sum(struct.unpack(">%dI" % (len(data) // 4), data)) & 0xFFFFFFFF
    tables = sorted(tables)
    offset = 12 + 16 * len(tables)
    directory, body = b"", b""
    for tag, data in tables:
        directory += struct.pack(">4sIII", tag, checksum(data), offset + len(body), len(data))
        body += data + b"\0" * (-len(data) % 4)
    entry_selector = max(len(tables).bit_length() - 1, 0)
    search_range = 16 << entry_selector
    header = struct.pack(">IHHHH", version, len(tables), search_range, entry_selector,
                         max(16 * len(tables) - search_range, 0))
    return header + directory + body


def dsig(blobs, flags=1):
    records, blocks = b"", b""
    offset = 8 + 12 * len(blobs)
    for blob in blobs:
        block = struct.pack(">HHI", 0, 0, len(blob)) + blob
        records += struct.pack(">III", 1, len(block), offset + len(blocks))
        blocks += block
    return struct.pack(">IHH", 1, len(blobs), flags) + records + blocks


def subset_font(source, target, text):
    options = subset.Options()
    options.glyph_names = False
    options.hinting = False
    options.layout_features = []
    options.name_IDs = [1, 2]
    font = subset.load_font(source, options)
    subsetter = subset.Subsetter(options)
    subsetter.populate(text=text)
    subsetter.subset(font)
    subset.save_font(font, target, options)


def main(out):
    logging.disable(logging.WARNING)  # the subsetter's notes on dropped tables
    work = tempfile.mkdtemp(prefix="fontseal-seeds-")
    try:
        seeds = make(work)
    finally:
        shutil.rmtree(work)
    if os.path.isdir(out):
        shutil.rmtree(out)
    for target, files in seeds.items():
        os.makedirs(os.path.join(out, target))
        for name, data in files.items():
            with open(os.path.join(out, target, name), "wb") as f:
                f.write(data)


def make(work):
    def path(name):
        return os.path.join(work, name)

    # Certificates: a code-signing RSA one, a plain RSA one, an EC one.
    openssl("genrsa", "-out", path("a.key"), "1024")
    config = path("req.cnf")
    with open(config, "w") as f:
        f.write("[req]\ndistinguished_name=dn\n[dn]\n[ext]\n" + CODE_SIGNING_EXTENSIONS)
    openssl("req", "-new", "-x509", "-key", path("a.key"), "-subj", "/CN=Fuzz Signer/O=fontseal",
            "-days", "30", "-set_serial", "4660", "-config", config, "-extensions", "ext",
            "-out", path("a.pem"))
    openssl("req", "-new", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", path("b.key"),
            "-subj", "/CN=Other", "-days", "30", "-config", config, "-out", path("b.pem"))
    openssl("req", "-new", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-nodes", "-keyout", path("c.key"), "-subj", "/CN=Curve", "-days", "30",
            "-config", config, "-out", path("c.pem"))
    for name in "abc":
        openssl("x509", "-in", path(name + ".pem"), "-outform", "DER", "-out", path(name + ".der"))
    a_der, b_der, c_der = (read(path(n + ".der")) for n in "abc")
    a_pem = read(path("a.pem"))
    # The extended-certificate form: [0] { SEQUENCE { SEQUENCE { 0, cert } } }.
    extended = tlv(0xA0, tlv(0x30, tlv(0x30, b"\x02\x01\x00" + a_der)))

    # Bundles and signed messages.
    openssl("crl2pkcs7", "-nocrl", "-certfile", path("a.pem"), "-certfile", path("b.pem"),
            "-outform", "DER", "-out", path("ab.p7b"))
    openssl("crl2pkcs7", "-nocrl", "-certfile", path("a.pem"), "-certfile", path("b.pem"),
            "-certfile", path("c.pem"), "-outform", "PEM", "-out", path("abc.p7c"))
    bundle = read(path("ab.p7b"))
    bundle_text = pem_body(read(path("abc.p7c")))
    with open(path("data"), "wb") as f:
        f.write(b"font")
    sign = ["smime", "-sign", "-binary", "-in", path("data"), "-signer", path("a.pem"),
            "-inkey", path("a.key"), "-md", "sha256"]
    openssl(*sign, "-nodetach", "-outform", "DER", "-out", path("signed.p7s"))
    openssl(*sign, "-nodetach", "-noattr", "-outform", "DER", "-out", path("noattr.p7s"))
    openssl(*sign, "-nodetach", "-stream", "-outform", "DER", "-out", path("streamed.p7s"))
    openssl(*sign, "-out", path("signed.eml"))
    signed, noattr, streamed = (read(path(n)) for n in ("signed.p7s", "noattr.p7s",
                                                         "streamed.p7s"))

    # Key files in the three strengths.
    to_pvk = ["rsa", "-provider", "legacy", "-provider", "default", "-in", path("a.key"),
              "-outform", "PVK", "-passout", "pass:secret"]
    openssl(*to_pvk, "-out", path("strong.pvk"))
    openssl(*to_pvk, "-pvk-weak", "-out", path("weak.pvk"))
    openssl(*to_pvk, "-pvk-none", "-out", path("none.pvk"))
    strong, weak, none = (read(path(n + ".pvk")) for n in ("strong", "weak", "none"))

    # Fonts: a TrueType and a CFF font cut to a few glyphs, one of them
    # signed, and small hand-made ones.
    subset_font(DEJAVU, path("dejavu.ttf"), "Af")
    subset_font(LATIN_MODERN, path("lm.otf"), "Af")
    dejavu = read(path("dejavu.ttf"))
    tt = TTFont(path("dejavu.ttf"))
    tables = [(tag.encode("latin-1"), tt.reader[tag]) for tag in tt.reader.keys()]
    signed_font = sfnt(tables + [(b"DSIG", dsig([signed]))])
    head = tt.reader["head"]
    two_signatures = sfnt([(b"head", head), (b"DSIG", dsig([noattr[:40], b"\x30\x00"], 0)),
                           (b"zzzz", b"\x01\x02\x03")])
    cff_like = sfnt([(b"head", head), (b"CFF ", bytes(range(40))), (b"DSIG", dsig([]))],
                    0x4F54544F)

    mime = (b"MIME-Version: 1.0\r\nContent-Type: application/octet-stream; name=\"p\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n" + base64.encodebytes(a_der))
    der_bits = [bytes.fromhex(h) for h in (
        "3080 020105 2480 0401AA 0000 0000 020107",
        "3011 06092A864886F70D010701 A004 0402AABB",
        "300C 0203010203 030300ABCD 0500",
        "170D 3939313233313233353930305A 1F8101820005 0102030405",
    )]

    return {
        "font": {"dejavu.ttf": dejavu, "lm.otf": read(path("lm.otf")),
                 "signed.ttf": signed_font, "two-signatures.ttf": two_signatures,
                 "cff-like.otf": cff_like},
        "der": dict([("bits-%d" % i, b"\0" + d) for i, d in enumerate(der_bits)] +
                    [("cert.der", b"\0" + a_der), ("ec.der", b"\0" + c_der),
                     ("bundle.p7b", b"\0" + bundle), ("streamed.p7s", b"\0" + streamed),
                     ("walk-ops", bytes([6, 2, 9, 1, 10, 12, 3]) + der_bits[0])]),
        "x509": {"signer.der": a_der, "plain.der": b_der, "ec.der": c_der,
                 "extended.der": extended, "two.der": a_der + b_der},
        "pkcs7": {"bundle.p7b": bundle, "signed.p7s": signed, "noattr.p7s": noattr,
                  "streamed.p7s": streamed},
        "cert_loader": {"cert.der": a_der, "cert.pem": a_pem, "cert.b64": pem_body(a_pem),
                        "cert.b64w": wide(pem_body(a_pem)), "extended.der": extended,
                        "bundle.p7b": bundle, "bundle.b64": bundle_text,
                        "bundle.b64w": wide(bundle_text), "ec.der": c_der},
        "codec": {"cert.pem": a_pem, "bundle.b64": bundle_text, "signed.eml": read(
            path("signed.eml")), "part.mime": mime},
        "pvk": {"strong.pvk": b"\x02" + strong, "weak.pvk": b"\x02" + weak,
                "none.pvk": b"\x00" + none,
                "given-password.pvk": bytes([3 | 6 << 2]) + b"secret" + strong},
    }


if __name__ == "__main__":
    main(sys.argv[1])

#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the fuzzers' starting inputs to OUT/<target>/: certificates,
bundles, SignedData messages and key files made by openssl, and small fonts
cut from the installed DejaVu and Latin Modern fonts with fontTools; for the
verifier, those fonts signed here: the signature's DER put together below,
its RSA blocks made by openssl, an RFC 3161 token by `openssl ts`. Keys are
made afresh on every run and never leave the build directory."""

import base64
import datetime
import hashlib
import io
import logging
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

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


# ---- Signed fonts for the verifier ------------------------------------------

# The data order our writer uses; unlisted tables follow in tag order.
WRITER_ORDER = [b"head", b"hhea", b"vhea", b"maxp", b"OS/2", b"gasp", b"name", b"cmap", b"loca",
                b"LTSH", b"VDMX", b"prep", b"fpgm", b"cvt ", b"hmtx", b"vmtx", b"hdmx", b"glyf",
                b"post", b"kern", b"PCLT", b"EBLC", b"EBSC", b"EBDT", b"GDEF", b"GPOS", b"GSUB",
                b"JSTF", b"BASE", b"DSIG"]
VERIFY_EXTENSIONS = """[req]
distinguished_name = dn
prompt = no
[dn]
CN = {cn}
O = fontseal fuzz
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = keyCertSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = CA:FALSE
keyUsage = digitalSignature
extendedKeyUsage = codeSigning,1.3.6.1.4.1.311.2.1.22
[tsa]
basicConstraints = CA:FALSE
keyUsage = digitalSignature
extendedKeyUsage = critical,timeStamping
"""
# OpenSSL's default TSA section, as most authorities run it.
TS_CONFIG = """[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {dir}/tsaserial
crypto_device = builtin
signer_cert = {dir}/tsa.pem
certs = {dir}/ca.pem
signer_key = {dir}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1, millisecs:500, microsecs:100
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha1
"""
HASH_OIDS = {"md5": "1.2.840.113549.2.5", "sha1": "1.3.14.3.2.26",
             "sha256": "2.16.840.1.101.3.4.2.1", "sha384": "2.16.840.1.101.3.4.2.2",
             "sha512": "2.16.840.1.101.3.4.2.3"}
INDIRECT = "1.3.6.1.4.1.311.2.1.4"
NULL = b"\x05\x00"


def seq(*items):
    return tlv(0x30, b"".join(items))


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return tlv(0x06, body)


def attribute(kind, value):
    return seq(oid(kind), tlv(0x31, value))


def der_children(data):
    """[(whole element)] inside the constructed element `data`."""
    def header(pos):
        first = data[pos + 1]
        if first < 0x80:
            return 2, first
        count = first & 0x7F
        return 2 + count, int.from_bytes(data[pos + 2:pos + 2 + count], "big")
    h, length = header(0)
    out, pos = [], h
    while pos < h + length:
        ch, cl = header(pos)
        out.append(data[pos:pos + ch + cl])
        pos += ch + cl
    return out


def issuer_and_serial(cert_der):
    tbs = der_children(der_children(cert_der)[0])
    serial, _, issuer = tbs[1:4] if tbs[0][0] == 0xA0 else tbs[0:3]
    return seq(issuer, serial)


def checksum(data):
    data += b"\0" * (-len(data) % 4)
    return sum(struct.unpack(">%dI" % (len(data) // 4), data)) & 0xFFFFFFFF


def laid_out(tables, writer):
    """The font as a signer lays it out without DSIG: directory by tag, data
    in the writer's order or in tag order, checkSumAdjustment recomputed."""
    data = dict(tables)
    head = bytearray(data[b"head"])
    head[8:12] = b"\0\0\0\0"
    data[b"head"] = bytes(head)
    tags = sorted(data)
    rank = lambda t: WRITER_ORDER.index(t) if t in WRITER_ORDER else len(WRITER_ORDER)
    order = sorted(tags, key=rank) if writer else tags
    n = len(tags)
    es = n.bit_length() - 1
    version = 0x4F54544F if b"CFF " in data else 0x00010000
    out = bytearray(struct.pack(">IHHHH", version, n, 16 << es, es, 16 * n - (16 << es)))
    offsets, body, pos = {}, b"", 12 + 16 * n
    for t in order:
        offsets[t] = pos + len(body)
        body += data[t] + b"\0" * (-len(data[t]) % 4)
    for t in tags:
        out += struct.pack(">4sIII", t, checksum(data[t]), offsets[t], len(data[t]))
    out += body
    adjustment = (0xB1B0AFBA - checksum(bytes(out))) & 0xFFFFFFFF
    out[offsets[b"head"] + 8:offsets[b"head"] + 12] = struct.pack(">I", adjustment)
    return bytes(out)


def with_dsig(laid, blobs, flags=1):
    """`laid` with a DSIG table of `blobs` after the other tables' data."""
    table = dsig(blobs, flags)
    n = struct.unpack(">H", laid[4:6])[0]
    records = [struct.unpack(">4sIII", laid[12 + 16 * i:28 + 16 * i]) for i in range(n)]
    entries = sorted([(t, c, o + 16, ln) for t, c, o, ln in records] +
                     [(b"DSIG", checksum(table), len(laid) + 16, len(table))])
    n += 1
    es = n.bit_length() - 1
    out = bytearray(laid[:4] + struct.pack(">HHHH", n, 16 << es, es, 16 * n - (16 << es)))
    for e in entries:
        out += struct.pack(">4sIII", *e)
    out += laid[12 + 16 * (n - 1):] + table
    head = [e for e in entries if e[0] == b"head"][0][2]
    out[head + 8:head + 12] = b"\0\0\0\0"
    out[head + 8:head + 12] = struct.pack(">I", (0xB1B0AFBA - checksum(bytes(out))) & 0xFFFFFFFF)
    return bytes(out)


class Signer:
    """Keys and certificates made by openssl in `work`: a CA, a code-signing
    certificate it issued, and a time-stamping one."""

    def __init__(self, work):
        self.path = lambda name: os.path.join(work, name)
        config = self.path("verify.cnf")
        for name, extensions in (("ca", "ca"), ("signer", "signer"), ("tsa", "tsa")):
            with open(config, "w") as f:
                f.write(VERIFY_EXTENSIONS.format(cn="Fuzz " + name))
            key, pem = self.path(name + ".key"), self.path(name + ".pem")
            if name == "ca":
                openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", pem, "-days", "30", "-config", config, "-extensions", "ca")
                continue
            openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                    self.path(name + ".csr"), "-config", config)
            openssl("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.path("ca.pem"),
                    "-CAkey", self.path("ca.key"), "-set_serial", str(len(name)), "-days", "30",
                    "-extfile", config, "-extensions", extensions, "-out", pem)
            openssl("x509", "-in", pem, "-outform", "DER", "-out", self.path(name + ".der"))
        openssl("x509", "-in", self.path("ca.pem"), "-outform", "DER", "-out", self.path("ca.der"))
        self.issue_old()
        with open(self.path("tsaserial"), "w") as f:
            f.write("01\n")
        with open(self.path("ts.cnf"), "w") as f:
            f.write(TS_CONFIG.format(dir=work))
        self.roots = read(self.path("ca.pem"))

    def issue_old(self):
        """With the same keys, made by the cryptography package (openssl's
        tools here cannot date a certificate back): a CA of long standing,
        a signer certificate of it that expired ten days ago and a stamper
        valid since a month ago. `old_roots` is that CA."""
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        day = datetime.timedelta(days=1)
        now = datetime.datetime.now(datetime.timezone.utc)
        ca_key = serialization.load_pem_private_key(read(self.path("ca.key")), None)
        ca_name = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, "Fuzz old CA")])
        for name, key, start, end, purpose in (
                ("old-ca", "ca", -90, 90, None),
                ("expired", "signer", -40, -10, x509.ExtendedKeyUsageOID.CODE_SIGNING),
                ("old-tsa", "tsa", -30, 30, x509.ExtendedKeyUsageOID.TIME_STAMPING)):
            public = serialization.load_pem_private_key(
                read(self.path(key + ".key")), None).public_key()
            subject = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, "Fuzz " + name)])
            builder = (x509.CertificateBuilder()
                       .subject_name(ca_name if purpose is None else subject)
                       .issuer_name(ca_name).public_key(public)
                       .serial_number(x509.random_serial_number())
                       .not_valid_before(now + start * day).not_valid_after(now + end * day)
                       .add_extension(x509.BasicConstraints(ca=purpose is None, path_length=None),
                                      True))
            if purpose is not None:
                builder = builder.add_extension(x509.ExtendedKeyUsage([purpose]), True)
            cert = builder.sign(ca_key, hashes.SHA256())
            with open(self.path(name + ".der"), "wb") as f:
                f.write(cert.public_bytes(serialization.Encoding.DER))
            if purpose is None:
                self.old_roots = cert.public_bytes(serialization.Encoding.PEM)
        self.keys = {"expired": "signer", "old-tsa": "tsa"}

    def der(self, name):
        return read(self.path(name + ".der"))

    def rsa(self, name, data, digest):
        """The PKCS#1 block of `name` over `data`: a DigestInfo, or with
        `digest` None the bare bytes."""
        with open(self.path("in"), "wb") as f:
            f.write(hashlib.new(digest, data).digest() if digest else data)
        key = self.path(self.keys.get(name, name) + ".key")
        args = ["pkeyutl", "-sign", "-inkey", key, "-in", self.path("in"),
                "-out", self.path("sig")]
        openssl(*args, *(["-pkeyopt", "digest:" + digest] if digest else []))
        return read(self.path("sig"))

    def signer_info(self, name, digest, attributes, signature, unauthenticated=b""):
        return seq(b"\x02\x01\x01", issuer_and_serial(self.der(name)),
                   seq(oid(HASH_OIDS[digest]), NULL), tlv(0xA0, attributes),
                   seq(oid("1.2.840.113549.1.1.1"), NULL), tlv(0x04, signature), unauthenticated)

    def counter_signature(self, signature, bare, stamper="tsa", when=None):
        """A counterSignature by the `stamper` at `when` (default now); its
        RSA block holds a DigestInfo, or with `bare` the digest alone as old
        stampers wrote."""
        attributes = (attribute("1.2.840.113549.1.9.3", oid("1.2.840.113549.1.7.1")) +
                      attribute("1.2.840.113549.1.9.5", tlv(0x17, time.strftime(
                          "%y%m%d%H%M%SZ", time.gmtime(when)).encode())) +
                      attribute("1.2.840.113549.1.9.4",
                                tlv(0x04, hashlib.sha1(signature).digest())))
        signed = tlv(0x31, attributes)
        block = (self.rsa(stamper, hashlib.sha1(signed).digest(), None) if bare else
                 self.rsa(stamper, signed, "sha1"))
        return attribute("1.2.840.113549.1.9.6",
                         self.signer_info(stamper, "sha1", attributes, block))

    def rfc3161(self, signature):
        """An RFC 3161 token over `signature`, made by `openssl ts`."""
        with open(self.path("signature"), "wb") as f:
            f.write(signature)
        openssl("ts", "-query", "-data", self.path("signature"), "-sha256", "-cert",
                "-out", self.path("req.tsq"))
        openssl("ts", "-reply", "-config", self.path("ts.cnf"), "-queryfile",
                self.path("req.tsq"), "-token_out", "-out", self.path("token.der"))
        return attribute("1.3.6.1.4.1.311.3.3.1", read(self.path("token.der")))

    def blob(self, image, digest, stamp=None, signer="signer", issuer="ca", stamper="tsa",
             when=None):
        """A SignedData over `image` (a laid-out font and 00 01) with a
        program description, by `signer` of `issuer`; `stamp` "cs", "cs-bare"
        (by `stamper` at `when`) or "rfc3161"."""
        algorithm = seq(oid(HASH_OIDS[digest]), NULL)
        content_body = seq(oid("1.3.6.1.4.1.311.2.1.25")) + seq(
            algorithm, tlv(0x04, hashlib.new(digest, image).digest()))
        opus = seq(tlv(0xA0, tlv(0x80, "Fuzz \u00e9".encode("utf-16-be"))),
                   tlv(0xA1, tlv(0x80, b"https://example.test/")))
        attributes = (attribute("1.2.840.113549.1.9.3", oid(INDIRECT)) +
                      attribute("1.3.6.1.4.1.311.2.1.11", seq(oid("1.3.6.1.4.1.311.2.1.22"))) +
                      attribute("1.3.6.1.4.1.311.2.1.12", opus) +
                      attribute("1.2.840.113549.1.9.4",
                                tlv(0x04, hashlib.new(digest, content_body).digest())))
        signature = self.rsa(signer, tlv(0x31, attributes), digest)
        certs = [self.der(signer), self.der(issuer)]
        unauthenticated = b""
        if stamp == "rfc3161":
            unauthenticated = tlv(0xA1, self.rfc3161(signature))
        elif stamp:
            unauthenticated = tlv(0xA1, self.counter_signature(signature, stamp == "cs-bare",
                                                               stamper, when))
            certs.append(self.der(stamper))
        signed_data = seq(b"\x02\x01\x01", tlv(0x31, algorithm),
                          seq(oid(INDIRECT), tlv(0xA0, tlv(0x30, content_body))),
                          tlv(0xA0, b"".join(certs)),
                          tlv(0x31, self.signer_info(signer, digest, attributes, signature,
                                                     unauthenticated)))
        return seq(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed_data))


def verify_input(font, roots=b"", signature_number=0):
    """What fuzz_verify reads: options, roots for the chain, the font."""
    return bytes([signature_number]) + struct.pack(">H", len(roots)) + roots + font


def verify_seeds(work, fonts):
    """Signed fonts: every digest, both data orders, each kind of time stamp,
    several signatures in one table; some with the roots to check the chain."""
    signer = Signer(work)
    seeds = {}
    for name, path in fonts.items():
        tt = TTFont(path)
        tables = {tag.encode("latin-1"): tt.reader[tag] for tag in tt.reader.keys()}
        for writer in (True, False):
            laid = laid_out(tables, writer)
            image = laid + b"\x00\x01"
            order = "writer" if writer else "file"
            if name == "lm":
                seeds["lm-%s.otf" % order] = verify_input(
                    with_dsig(laid, [signer.blob(image, "sha256")]), signer.roots)
                continue
            cases = [("sha256", None, True), ("sha1", "cs-bare", False),
                     ("sha384", "rfc3161", True), ("md5", "cs", False), ("sha512", None, False)]
            for digest, stamp, roots in cases:
                font = with_dsig(laid, [signer.blob(image, digest, stamp)])
                seeds["%s-%s-%s.ttf" % (order, digest, stamp or "plain")] = verify_input(
                    font, signer.roots if roots else b"")
            two = with_dsig(laid, [signer.blob(image, "sha256", "rfc3161"),
                                   signer.blob(image, "sha1", "cs")], 0)
            seeds["%s-two.ttf" % order] = verify_input(two, signer.roots)
            seeds["%s-two-second.ttf" % order] = verify_input(two, b"", 2)
            # An expired certificate, stamped while it held: by a stamper
            # the roots vouch for, and by one they do not.
            then = time.time() - 20 * 86400
            for stamper in ("old-tsa", "tsa"):
                font = with_dsig(laid, [signer.blob(image, "sha256", "cs", "expired", "old-ca",
                                                    stamper, then)])
                seeds["%s-expired-%s.ttf" % (order, stamper)] = verify_input(font,
                                                                             signer.old_roots)
    # Signed fonts wrapped in WOFF 1.0 by fontTools, head kept as signed: the
    # decoder (tables inflated and put back in order) is fuzzed on the way.
    for name in [n for n in seeds if n.endswith("sha256-plain.ttf")]:
        data = seeds[name]
        roots_end = 3 + struct.unpack(">H", data[1:3])[0]
        packed = io.BytesIO()
        font = TTFont(io.BytesIO(data[roots_end:]), recalcTimestamp=False)
        font.flavor = "woff"
        font.save(packed)
        seeds[name[:-4] + ".woff"] = verify_input(packed.getvalue(), data[3:roots_end])
    return seeds


# What fuzz_rfc3161_reply and fuzz_countersignature_reply stamp.
STAMPED = b"fontseal fuzz: the signature value that is time-stamped"
NONCE = bytes.fromhex("0123456789ABCDEF")
IMPRINT_HASHES = ["sha256", "sha384", "sha512", "sha1"]  # by the input's first byte


def stamp_query(hash_name, cert_req=True):
    """The TimeStampReq the signer makes for STAMPED with NONCE."""
    algorithm = seq(oid(HASH_OIDS[hash_name]), NULL)
    imprint = seq(algorithm, tlv(0x04, hashlib.new(hash_name, STAMPED).digest()))
    return seq(b"\x02\x01\x01", imprint, tlv(0x02, NONCE),
               b"\x01\x01\xff" if cert_req else b"")


def stamp_seeds(work):
    """Replies of the test TSA (OpenSSL's `ts -reply` in its default
    configuration and the variations real authorities use, stamps made by
    hand by certificates without the time-stamping purpose, refusals) for
    the two reply fuzzers."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                    "support"))
    import hand_stamps
    from tsa_server import REJECTED_BAD_FORMAT, TsaServer
    server = TsaServer(os.path.join(work, "stamp-tsa"))
    rfc3161, counter = {}, {}
    for choice, name in enumerate(IMPRINT_HASHES):
        rfc3161["default-%s" % name] = bytes([choice]) + server.rfc3161_reply(stamp_query(name))
    for label, settings in (
            ("no-tsa-name", {"tsa_name": "no"}),
            ("ess-v2-chain", {"ess_cert_id_alg": "sha256", "ess_cert_id_chain": "yes"}),
            ("intermediate", {"signer": "itsa", "chain": "no", "ess_cert_id_chain": "yes"}),
            ("sha512-signer", {"signer_digest": "sha512", "accuracy": "none",
                               "ordering": "no"})):
        rfc3161[label] = b"\x00" + server.rfc3161_reply(stamp_query("sha256"), settings)
    rfc3161["no-cert-req"] = b"\x00" + server.rfc3161_reply(stamp_query("sha256", False))
    for purpose in ("none", "codeSigning", "timeStamping"):
        rfc3161["by-hand-" + purpose] = b"\x00" + server.forged_rfc3161_reply(
            stamp_query("sha256"), purpose)
    rfc3161["rejected"] = b"\x00" + REJECTED_BAD_FORMAT
    rfc3161["rejected-text"] = b"\x00" + seq(seq(b"\x02\x01\x02", seq(tlv(0x0C, b"no\x1b[2J"))))

    def text(der):
        encoded = base64.b64encode(der)
        return b"\r\n".join(encoded[i:i + 64] for i in range(0, len(encoded), 64)) + b"\r\n"

    counter["openssl"] = text(server.counter_sign(STAMPED))
    counter["two-signers"] = text(server.counter_sign(STAMPED, two_signers=True))
    now = datetime.datetime.now(datetime.timezone.utc)
    for purpose in ("none", "older", "timeStamping"):
        cert, key = server.forged_stamper(purpose)
        counter["by-hand-" + purpose] = text(hand_stamps.counter_signature_reply(
            STAMPED, cert, key, now, [server.ca_certificate()]))
    counter["rfc3161-reply"] = rfc3161["default-sha256"][1:]
    return rfc3161, counter


URL_SEEDS = ["http://tsa.example/ts", "https://TSA.example:8443/a/b?c=d#e",
             "http://[::1]:8080/rfc3161", "127.0.0.1:8080/ts", "ftp://tsa.example/",
             "http:///ts", "http://user@host/", "http:\\\\host\\path", "https:host",
             "http://host:99999/"]


def key_file_seeds(path, pvk):
    """Every form of key file the library reads, made by openssl from the
    seeds' RSA key (and its EC key, which must be refused), behind the
    password byte: 0x02 for "secret", 0x00 for none."""
    key, cert = path("a.key"), path("a.pem")
    out = dict(pvk)
    made = {
        "pkcs8.pem": ["pkey", "-in", key],
        "pkcs1.pem": ["rsa", "-in", key, "-traditional"],
        "pkcs1-enc.pem": ["rsa", "-in", key, "-traditional", "-aes256", "-passout",
                          "pass:secret"],
        "pkcs8-enc.pem": ["pkcs8", "-topk8", "-in", key, "-v2", "aes-256-cbc", "-iter", "64",
                          "-passout", "pass:secret"],
        "pkcs8-enc-3des.pem": ["pkcs8", "-topk8", "-in", key, "-v1", "PBE-SHA1-3DES", "-iter",
                               "64", "-passout", "pass:secret"],
        "pkcs8.der": ["pkey", "-in", key, "-outform", "DER"],
        "pkcs1.der": ["rsa", "-in", key, "-traditional", "-outform", "DER"],
        "pkcs8-scrypt.der": ["pkcs8", "-topk8", "-in", key, "-scrypt", "-scrypt_N", "16",
                             "-scrypt_r", "1", "-scrypt_p", "1", "-outform", "DER",
                             "-passout", "pass:secret"],
        "pkcs8-enc.der": ["pkcs8", "-topk8", "-in", key, "-v2", "aes-128-cbc", "-iter", "64",
                          "-outform", "DER", "-passout", "pass:secret"],
        "aes.p12": ["pkcs12", "-export", "-inkey", key, "-in", cert, "-iter", "64",
                    "-passout", "pass:secret"],
        "legacy.p12": ["pkcs12", "-export", "-legacy", "-inkey", key, "-in", cert, "-iter",
                       "64", "-passout", "pass:secret"],
        "nomac.p12": ["pkcs12", "-export", "-nomac", "-inkey", key, "-in", cert, "-iter", "64",
                      "-passout", "pass:secret"],
        "empty-password.p12": ["pkcs12", "-export", "-inkey", key, "-in", cert, "-iter", "64",
                               "-passout", "pass:"],
        "keyless.p12": ["pkcs12", "-export", "-nokeys", "-in", cert, "-iter", "64",
                        "-passout", "pass:secret"],
    }
    for name, args in made.items():
        openssl(*args, "-out", path("seed-" + name))
        out[name] = read(path("seed-" + name))
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
            path("seed-ec.pem"))
    out["ec.pem"] = read(path("seed-ec.pem"))
    return {name: (b"\x00" if name in ("none.pvk", "pkcs8.pem", "pkcs1.pem", "pkcs8.der",
                                        "pkcs1.der", "ec.pem", "empty-password.p12")
                   else b"\x02") + data for name, data in out.items()}


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
    key_files = key_file_seeds(path, {"strong.pvk": strong, "weak.pvk": weak,
                                      "none.pvk": none})

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

    verify = verify_seeds(work, {"dejavu": path("dejavu.ttf"), "lm": path("lm.otf")})
    rfc3161_replies, counter_replies = stamp_seeds(work)

    return {
        "verify": verify,
        "rfc3161_reply": rfc3161_replies,
        "countersignature_reply": counter_replies,
        "url": {"url-%d" % i: u.encode() for i, u in enumerate(URL_SEEDS)},
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
        "key_file": key_files,
        "pvk": {"strong.pvk": b"\x02" + strong, "weak.pvk": b"\x02" + weak,
                "none.pvk": b"\x00" + none,
                "given-password.pvk": bytes([3 | 6 << 2]) + b"secret" + strong},
    }


if __name__ == "__main__":
    main(sys.argv[1])

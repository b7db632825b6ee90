# SPDX-License-Identifier: Apache-2.0
"""The Python binding against the real library (FONTSEAL_LIBRARY), checked
with tools nobody here wrote: the C compiler for the struct layouts, fontTools
for the fonts, openssl for the signature and the test PKI."""
import ctypes
import datetime
import errno
import inspect
import json
import os
import socket
import warnings
import re
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import fontseal  # noqa: E402
from fontseal import _native  # noqa: E402
from der_walk import SignedBlob  # noqa: E402
from e2e_support import make_ca, make_signer, read, run, write  # noqa: E402
from tsa_server import TsaServer  # noqa: E402

PASSWORD = "s\u00e9cret pa\u00dfword"  # not ASCII: sent as UTF-8 bytes
HEADERS = [os.path.join(ROOT, "include", "fontseal", h) for h in ("fontseal.h", "store.h")]


def header_fields():
    """{struct name: [field names]} of every typedef struct of the headers,
    read from their text."""
    text = re.sub(r"/\*.*?\*/", "", "".join(read(h).decode() for h in HEADERS), flags=re.S)
    found = {}
    for name, body in re.findall(r"typedef struct (\w+) \{(.*?)\}", text, flags=re.S):
        found[name] = [re.search(r"(\w+)\s*(\[[^\]]*\])?$", d.strip()).group(1)
                       for d in body.split(";") if d.strip()]
    return found


def test_struct_mirrors_match_the_header(tmp_path):
    """Every mirrored struct has the header's fields, in its order, at the
    offsets and sizes the C compiler gives them; the result codes have the
    header's values."""
    fields = header_fields()
    lines = ['#include <stddef.h>', '#include <stdio.h>', '#include "fontseal/fontseal.h"',
             '#include "fontseal/store.h"', "int main(void) {"]
    expected = []
    for struct in _native.MIRRORED:
        name = struct.__name__
        assert [f[0] for f in struct._fields_] == fields[name], name
        lines.append('printf("%s %%zu\\n", sizeof(%s));' % (name, name))
        expected.append("%s %d" % (name, ctypes.sizeof(struct)))
        for field, _ in struct._fields_:
            lines.append('printf("%s.%s %%zu %%zu\\n", offsetof(%s, %s), sizeof(((%s*)0)->%s));'
                         % (name, field, name, field, name, field))
            expected.append("%s.%s %d %d" % (name, field, getattr(struct, field).offset,
                                             getattr(struct, field).size))
    codes = [n for n in dir(_native) if re.fullmatch(r"OK|E_\w+", n)]
    for code in codes:
        lines.append('printf("%s %%d\\n", (int)FONTSEAL_%s);' % (code, code))
        expected.append("%s %d" % (code, getattr(_native, code)))
    lines.append("return 0; }")
    source, program = tmp_path / "layout.c", tmp_path / "layout"
    source.write_text("\n".join(lines))
    r = run(["cc", "-std=c11", "-Wall", "-Werror", "-I", os.path.join(ROOT, "include"),
             str(source), "-o", str(program)])
    assert r.returncode == 0, r.stderr
    assert run([str(program)]).stdout.splitlines() == expected
    # Every FONTSEAL_E_* of the headers has its name here.
    declared = set(re.findall(r"FONTSEAL_(E_\w+) = ", "".join(read(h).decode() for h in HEADERS)))
    assert declared == set(codes) - {"OK"}


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    d = str(tmp_path_factory.mktemp("pki"))
    ca_key, ca = make_ca(d)
    cert, key, pvk = make_signer(d, ca_key, ca, "publisher", password=PASSWORD)
    return {"ca": ca, "ca_key": ca_key, "cert": cert, "key": key, "pvk": pvk}


def build_font():
    """A small TrueType font made in this process by fontTools' FontBuilder."""
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.ttGlyphPen import TTGlyphPen

    def box(x0, y0, x1, y1):
        pen = TTGlyphPen(None)
        pen.moveTo((x0, y0))
        pen.lineTo((x0, y1))
        pen.lineTo((x1, y1))
        pen.lineTo((x1, y0))
        pen.closePath()
        return pen.glyph()

    fb = FontBuilder(1000, isTTF=True)
    fb.setupGlyphOrder([".notdef", "A", "B"])
    fb.setupCharacterMap({0x41: "A", 0x42: "B"})
    fb.setupGlyf({".notdef": box(50, 0, 450, 700), "A": box(100, 0, 500, 700),
                  "B": box(100, 0, 550, 700)})
    fb.setupHorizontalMetrics({".notdef": (500, 50), "A": (600, 100), "B": (650, 100)})
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": "Binding Test", "styleName": "Regular"})
    fb.setupOS2()
    fb.setupPost()
    return fb.font


def test_sign_a_font_built_in_process_then_verify(pki, tmp_path, monkeypatch):
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path / "scratch"))
    os.mkdir(tmp_path / "scratch")
    out = tmp_path / "signed.ttf"
    with TsaServer(str(tmp_path / "tsa")) as tsa:
        # The first server answers RFC 3161 queries with the wrong nonce: only
        # a query sent as RFC 3161 is refused, so the second server (a bare
        # URL: counter-signature) stamps the font.
        signed = fontseal.sign(
            build_font(), out, key=pki["pvk"], cert=pki["cert"], password=PASSWORD,
            digest="sha384", statement="commercial", program_name="Binding T\u00ebst",
            info_url="https://example.test/", require_timestamp=True,
            timestamp=[(tsa.url("/fault=wrong-nonce"), fontseal.RFC3161), tsa.url("/")])
        kinds = [dict((k.lower(), v) for k, v in r["headers"])["content-type"]
                 for r in tsa.requests]
        assert kinds[0] == "application/timestamp-query" and len(kinds) == 2, kinds
    # Times are aware datetimes in UTC.
    assert signed.timestamp_server == 1 and signed.timestamp_time.tzinfo is datetime.timezone.utc
    assert abs(signed.timestamp_time.timestamp() - time.time()) < 600
    # The font saved for the library is gone again.
    assert os.listdir(tmp_path / "scratch") == []

    result = fontseal.verify(out, ca_file=pki["ca"])
    assert result.valid and result.result == fontseal.OK, result
    assert (result.message, result.check) == (None, None)
    assert "CN=Fontseal Test Publisher publisher" in result.signer_subject
    assert "CN=Fontseal Test CA" in result.signer_issuer
    serial = run(["openssl", "x509", "-in", pki["cert"], "-noout", "-serial"]).stdout
    assert int(result.signer_serial, 16) == int(serial.split("=")[1], 16)
    assert (result.digest, result.statement, result.layout) == ("SHA-384", "commercial", "writer")
    assert (result.program_name, result.info_url) == ("Binding T\u00ebst", "https://example.test/")
    assert (result.dsig_flags, result.signature_count, result.chain_checked) == (1, 1, True)
    assert (result.timestamp_kind, result.timestamp_time) == ("counter-signature",
                                                              signed.timestamp_time)
    assert "CN=" in result.timestamp_signer

    # openssl, on its own, verifies the SignedData in the DSIG table fontTools reads.
    from fontTools.ttLib import TTFont
    blob = SignedBlob(bytes(TTFont(str(out))["DSIG"].signatureRecords[0].pkcs7))
    write(tmp_path / "blob.der", blob.blob)
    write(tmp_path / "inner.bin", blob.inner)
    r = run(["openssl", "smime", "-verify", "-inform", "DER", "-binary", "-in",
             str(tmp_path / "blob.der"), "-content", str(tmp_path / "inner.bin"),
             "-CAfile", pki["ca"], "-purpose", "any", "-out", os.devnull])
    assert r.returncode == 0, r.stderr


def test_passwords_and_refusals(pki, tmp_path):
    font = tmp_path / "in.ttf"
    build_font().save(str(font))
    out = tmp_path / "out.ttf"
    # The same password as str and as bytes; a PEM key needs none.
    for key, password in ((pki["pvk"], PASSWORD), (pki["pvk"], PASSWORD.encode()),
                          (pki["key"], None)):
        fontseal.sign(font, out, key=key, cert=pki["cert"], password=password)
        assert fontseal.verify(out).valid, (key, password)

    cases = [(dict(key=pki["pvk"], password="wrong"), fontseal.E_KEY_PASSWORD),
             (dict(key=pki["pvk"], password=b"\0" + PASSWORD.encode()), fontseal.E_KEY_PASSWORD),
             (dict(key=tmp_path / "missing.key"), fontseal.E_KEY_OPEN)]
    os.unlink(out)
    for args, code in cases:
        with pytest.raises(fontseal.Error) as caught:
            fontseal.sign(font, out, cert=pki["cert"], **args)
        e = caught.value
        assert isinstance(e, Exception) and e.code == code, (args, e.code, e.message)
        assert e.message and str(e) == e.message and "(code %d)" % code in e.message
        assert "wrong" not in e.message and PASSWORD not in e.message
        assert not out.exists()
    with pytest.raises(ValueError):
        fontseal.sign(font, out, key=pki["key"], cert=pki["cert"], digest="sha3")


def test_tampered_and_unsigned_fonts(pki, tmp_path):
    from fontTools.ttLib import TTFont
    signed = tmp_path / "signed.ttf"
    fontseal.sign(build_font(), signed, key=pki["key"], cert=pki["cert"])
    data = bytearray(read(signed))
    # One byte of glyph data changes; the table's checksum is mended, so
    # only the signature can tell.
    reader = TTFont(str(signed)).reader
    offset = reader.tables["glyf"].offset
    data[offset + 2] ^= 0x01
    write(tmp_path / "tampered.ttf", bytes(data))
    tampered = TTFont(str(tmp_path / "tampered.ttf"))
    tampered.save(str(tmp_path / "tampered.ttf"), reorderTables=False)

    result = fontseal.verify(tmp_path / "tampered.ttf")
    assert not result.valid and result.result == fontseal.E_NOT_VERIFIED, result
    assert result.check == "digest" and result.message, result
    # The signature itself is intact: its signer is still reported.
    assert "Fontseal Test Publisher" in result.signer_subject

    build_font().save(str(tmp_path / "plain.ttf"))
    result = fontseal.verify(tmp_path / "plain.ttf")
    assert not result.valid and result.unsigned and result.dsig_flags is None, result


def test_hosts_initialise_structs_with_the_header_macros(tmp_path):
    """C and C++ hosts built with -Wall -Wextra -Werror: the header's
    initialisers give structs the library takes, where {sizeof r} warns."""
    macros = [("FONTSEAL_VERIFY_REQUEST_INIT", "fontseal_verify_request", "q"),
              ("FONTSEAL_VERIFY_REPORT_INIT", "fontseal_verify_report", "v"),
              ("FONTSEAL_SIGN_REQUEST_INIT", "fontseal_sign_request", "s"),
              ("FONTSEAL_REPORT_INIT", "fontseal_report", "r")]
    host = ['#include "fontseal/fontseal.h"', "#include <stdio.h>",
            "int main(int argc, char** argv) { (void)argc;"]
    host += ["%s %s = %s;" % (struct, var, macro) for macro, struct, var in macros]
    host += ["q.font_path = argv[1];", "int32_t result = fontseal_verify(&q, &v);",
             'printf("%d %d %u %u %d\\n", (int)result, (int)v.dsig_flags,',
             "(unsigned)s.size, (unsigned)r.size, (int)(s.digest + r.result + s.pin_length));",
             "return 0; }", ""]
    plain = tmp_path / "plain.ttf"
    build_font().save(str(plain))
    expected = "%d -1 %d %d 0" % (fontseal.E_UNSIGNED, ctypes.sizeof(_native.fontseal_sign_request),
                                  ctypes.sizeof(_native.fontseal_report))
    library = os.environ["FONTSEAL_LIBRARY"]
    for compiler, suffix, std in (("cc", "c", "-std=c11"), ("c++", "cpp", "-std=c++17")):
        source, program = tmp_path / ("host." + suffix), tmp_path / "host"
        strict = [compiler, std, "-Wall", "-Wextra", "-Werror", "-pedantic", "-I",
                  os.path.join(ROOT, "include")]
        source.write_text("\n".join(host))
        r = run(strict + [str(source), library, "-Wl,-rpath," + os.path.dirname(library),
                          "-o", str(program)])
        assert r.returncode == 0, (compiler, r.stderr)
        assert run([str(program), str(plain)]).stdout.strip() == expected, compiler
        source.write_text('#include "fontseal/fontseal.h"\n'
                          "int main(void) { fontseal_report r = {sizeof r}; return r.result; }\n")
        r = run(strict + ["-c", str(source), "-o", str(tmp_path / "old.o")])
        assert r.returncode != 0 and "missing-field-initializers" in r.stderr, compiler


def test_pythonic_contract(pki, tmp_path):
    """What a Python caller may rely on: truth, warnings, exceptions of the
    right kinds for the wrong inputs, and one vocabulary with the CLI."""
    font, out, other = tmp_path / "in.ttf", tmp_path / "out.ttf", tmp_path / "x.ttf"
    build_font().save(str(font))
    signer = dict(key=pki["key"], cert=pki["cert"])
    assert fontseal.sign(font, out, **signer) == fontseal.SignResult(None, None)
    assert fontseal.verify(out) and not fontseal.verify(font)

    # Asked for a stamp and got none: a warning, or with require_timestamp a refusal.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        dead = "http://127.0.0.1:%d/" % s.getsockname()[1]  # nobody listens
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert fontseal.sign(font, out, timestamp=dead, **signer).timestamp_server is None
    assert [w.category for w in caught] == [fontseal.TimestampWarning], caught
    assert str(out) in str(caught[0].message) and caught[0].filename == __file__
    with pytest.raises(fontseal.Error) as refused:
        fontseal.sign(font, other, timestamp=dead, require_timestamp=True, **signer)
    assert refused.value.code == fontseal.E_TIMESTAMP

    missing = tmp_path / "missing.pem"
    cases = [  # call, exception, result code
        (lambda: fontseal.sign(read(font), other, **signer), TypeError, None),
        (lambda: fontseal.verify(os.fsencode(out)), TypeError, None),
        (lambda: fontseal.sign(missing, other, **signer), fontseal.MissingFileError,
         fontseal.E_INPUT_OPEN),
        (lambda: fontseal.sign(font, other, key=missing, cert=pki["cert"]),
         fontseal.MissingFileError, fontseal.E_KEY_OPEN),
        (lambda: fontseal.verify(out, ca_file=missing), fontseal.MissingFileError,
         fontseal.E_CA_FILE),
        (lambda: fontseal.verify(out, ca_file=pki["key"]), fontseal.Error, fontseal.E_CA_FILE),
        (lambda: fontseal.sign(font, str(other) + "\0.bak", **signer), ValueError, None),
        (lambda: fontseal.sign(font, other, program_name="a\0b", **signer), ValueError, None),
        (lambda: fontseal.verify(out, signature=2 ** 32 + 1), ValueError, None),
        (lambda: fontseal.verify(out, signature=-1), ValueError, None),
        (lambda: fontseal.verify(out, signature=True), TypeError, None),
    ]
    for call, kind, code in cases:
        with pytest.raises(kind) as caught:
            call()
        e = caught.value
        assert type(e) is kind and getattr(e, "code", None) == code, e
        if kind is fontseal.MissingFileError:
            assert isinstance(e, FileNotFoundError) and isinstance(e, fontseal.Error)
            assert e.errno == errno.ENOENT and e.filename == str(missing) and str(e) == e.message
    assert not other.exists()

    # Every byte of a password counts: a NUL inside does not cut it short.
    d = tmp_path / "keys"
    os.mkdir(d)
    _, key, pvk = make_signer(str(d), pki["ca_key"], pki["ca"], "nul", password="test123")
    forms = {"pvk": pvk, "pem": str(d / "enc.pem"), "p12": str(d / "k.p12")}
    run(["openssl", "pkcs8", "-topk8", "-in", key, "-out", forms["pem"], "-passout",
         "pass:test123"])
    run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", str(d / "nul.pem"), "-out",
         forms["p12"], "-passout", "pass:test123"])
    for form, path in forms.items():
        cert = None if form == "p12" else str(d / "nul.pem")
        fontseal.sign(font, other, key=path, cert=cert, password="test123")
        with pytest.raises(fontseal.Error) as caught:
            fontseal.sign(font, other, key=path, cert=cert, password="test123\0zzz")
        assert caught.value.code == fontseal.E_KEY_PASSWORD, form

    # The API alone; every parameter annotated; the version of the library,
    # set by project() in CMakeLists.txt.
    assert set(dir(fontseal)) == set(fontseal.__all__) | {"__version__"}
    assert all(hasattr(fontseal, name) for name in dir(fontseal))
    for function in (fontseal.sign, fontseal.verify, fontseal.release_tokens):
        signature = inspect.signature(function)
        assert signature.return_annotation is not inspect.Signature.empty
        assert all(p.annotation is not p.empty for p in signature.parameters.values()), function
    assert "project(fontseal VERSION %s " % fontseal.__version__ in read(
        os.path.join(ROOT, "CMakeLists.txt")).decode()

    # The names and values of the CLI's JSON report; aware times; the
    # earlier name still answers.
    with TsaServer(str(tmp_path / "tsa")) as tsa:
        fontseal.sign(font, out, program_name="P", info_url="https://example.test/",
                      timestamp=[(tsa.url("/"), fontseal.RFC3161)], **signer)
    data = bytearray(read(out))
    data[-200] ^= 1  # in the time-stamp token, the DSIG table being last
    write(tmp_path / "bad.ttf", bytes(data))
    cli = os.path.join(os.environ.get("FONTSEAL_BINARY_DIR", ""), "fontseal")
    out_result = fontseal.verify(out)
    for path in (out, tmp_path / "bad.ttf"):
        result = fontseal.verify(path)
        [report] = json.loads(run([cli, "verify", "--json", str(path)]).stdout)
        for name in ("valid", "failed_check", "info_url", "weak_digest", "layout", "message"):
            assert getattr(result, name) == report[name], (name, path)
        seconds = report["timestamp"]["time"]
        assert result.timestamp_time == (seconds and datetime.datetime.fromtimestamp(
            seconds, datetime.timezone.utc))
        assert result.check == result.failed_check
    assert not result and result.failed_check == "timestamp" and out_result.timestamp_time

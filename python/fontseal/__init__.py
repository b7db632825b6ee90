"""Sign and verify TrueType and OpenType fonts with libfontseal.

    import fontseal
    fontseal.sign("MyFont.ttf", "MyFont-signed.ttf", key="publisher.pfx",
                  password=os.environ["FONT_KEY_PASS"], program_name="My Fonts")
    report = fontseal.verify("MyFont-signed.ttf", ca_file="roots.pem")
    print(report.valid, report.signer_subject, report.check, report.message)

`sign` also takes a fontTools TTFont as its input. The library is the one
FONTSEAL_LIBRARY names, else the installed libfontseal. Every argument is
handed to the library as it is: what a request may hold, and what each
result code means, is the library's to say (<fontseal/fontseal.h>)."""
import ctypes
import dataclasses
import os
import tempfile
from typing import Optional

from . import _native
from ._native import (E_CERT_OPEN, E_CONTENT, E_FONT_DIRECTORY, E_INPUT_OPEN,  # noqa: F401
                      E_INTERNAL, E_KEY_FORMAT, E_KEY_OPEN, E_KEY_PASSWORD, E_KEY_READ,
                      E_KEY_TYPE, E_NO_CERTIFICATE, E_NO_MATCHING_CERT, E_NOT_VERIFIED,
                      E_OUTPUT_CREATE, E_REQUEST, E_SIGN, E_STORE_AMBIGUOUS, E_STORE_KEY_EXPOSED,
                      E_STORE_KEY_MISMATCH, E_STORE_KEY_UNUSABLE, E_STORE_NO_ENTRY, E_STORE_NO_KEY,
                      E_STORE_OPEN, E_STORE_REQUEST, E_STORE_THUMBPRINT, E_STORE_WRITE,
                      E_TIMESTAMP, E_TOKEN, E_TOKEN_MODULE, E_TOKEN_PIN, E_TOKEN_PIN_LOCKED,
                      E_UNSIGNED, OK)

__all__ = ["Error", "SignResult", "VerifyResult", "sign", "verify", "release_tokens",
           "RFC3161", "COUNTER_SIGNATURE"]
__version__ = "0.1.0"

# Time-stamp protocols for sign(timestamp=[(url, protocol), ...]).
COUNTER_SIGNATURE = "counter-signature"
RFC3161 = "rfc3161"


class Error(Exception):
    """A call the library refused: `code` is its result code (FONTSEAL_E_*,
    also fontseal.E_*), `message` its one-line report naming the file, the
    problem and the code."""

    def __init__(self, code: int, message: str):
        super().__init__(message or "fontseal failed with code %d" % code)
        self.code = code
        self.message = message


@dataclasses.dataclass(frozen=True)
class SignResult:
    # Index into sign()'s `timestamp` list of the server whose time stamp the
    # signature carries, and that stamp's time (seconds since 1970, UTC);
    # None without one.
    timestamp_server: Optional[int]
    timestamp_time: Optional[int]


@dataclasses.dataclass(frozen=True)
class VerifyResult:
    """What fontseal_verify found. Text fields are None when the library
    left them empty."""
    path: str
    valid: bool
    result: int              # the result code: OK, E_UNSIGNED, E_NOT_VERIFIED, ...
    message: Optional[str]   # why the font did not verify
    check: Optional[str]     # the failed check: table, signed-data, digest, ...
    dsig_flags: Optional[int]  # None without a DSIG table
    signature_count: int
    signer_subject: Optional[str]
    signer_issuer: Optional[str]
    signer_serial: Optional[str]
    digest: Optional[str]
    statement: Optional[str]
    program_name: Optional[str]
    info_url: Optional[str]
    layout: Optional[str]    # "writer" or "file"
    timestamp_kind: Optional[str]
    timestamp_time: Optional[int]
    timestamp_signer: Optional[str]
    chain_checked: bool
    signature_number: int    # the signature the details describe, from 1; 0 none
    member_count: int = 0    # the fonts of a collection; 0 for a single font
    # Trust outcomes: "pass", "fail", "not checked" or "unknown", and why.
    chain_status: Optional[str] = None
    chain_reason: Optional[str] = None
    revocation_status: Optional[str] = None
    revocation_reason: Optional[str] = None
    container: Optional[str] = None  # "woff" for a WOFF 1.0 file

    @property
    def unsigned(self) -> bool:
        return self.result == E_UNSIGNED


def _path(value, what):
    if value is None:
        return None
    try:
        return os.fsencode(os.fspath(value))
    except TypeError:
        raise TypeError("%s must be a path, not %s" % (what, type(value).__name__)) from None


def _text(value, what):
    if value is None:
        return None
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, bytes):
        return value
    raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))


def _choice(value, table, what):
    if value is None:
        return 0
    try:
        return table[str(value).lower()]
    except KeyError:
        raise ValueError("%s must be one of %s, not %r" % (what, ", ".join(table), value)) \
            from None


class _Secret:
    """A password or PIN copied into a buffer of our own, zeroed when the call
    is done. The caller's own str or bytes is theirs to keep or drop."""

    def __init__(self, value, what):
        if value is None:
            self.buffer = None
            return
        if isinstance(value, str):
            value = value.encode("utf-8")
        elif isinstance(value, (bytes, bytearray, memoryview)):
            value = bytes(value)
        else:
            # The value itself stays out of the message.
            raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))
        self.buffer = ctypes.create_string_buffer(value, max(len(value), 1))
        self.length = len(value)

    def pointer(self):
        return None if self.buffer is None else ctypes.addressof(self.buffer)

    def wipe(self):
        if self.buffer is not None:
            ctypes.memset(self.buffer, 0, ctypes.sizeof(self.buffer))


def _timestamp_servers(servers):
    if isinstance(servers, (str, bytes)):
        servers = [servers]
    entries = []
    for server in servers or ():
        if isinstance(server, (str, bytes)):
            url, protocol = server, COUNTER_SIGNATURE
        else:
            url, protocol = server
        entries.append((_text(url, "time-stamp URL"),
                        _choice(protocol, _native.TIMESTAMP_PROTOCOLS, "time-stamp protocol")))
    array = (_native.fontseal_timestamp_server * max(len(entries), 1))()
    for i, (url, protocol) in enumerate(entries):
        array[i].url = url
        array[i].protocol = protocol
    return array, len(entries)


def _is_font_object(value):
    # A fontTools TTFont, or anything else that saves itself to a path.
    return not isinstance(value, (str, bytes, os.PathLike)) and callable(
        getattr(value, "save", None))


def sign(input, output, *, key=None, cert=None, password=None, digest=None, statement=None,
         program_name=None, info_url=None, timestamp=(), require_timestamp=False,
         timestamp_digest=None, store=None, pin=None) -> SignResult:
    """Signs `input` (a path, or a fontTools TTFont) into the path `output`.

    key, cert: the private-key file (or a pkcs11: URI) and the certificate
        file; cert may be left out when the key file carries them.
    password, pin: str (sent as UTF-8) or bytes; None for none.
    digest, timestamp_digest: "sha256" (default), "sha384", "sha512", "sha1",
        "md5". statement: "auto" (default), "individual", "commercial".
    timestamp: time-stamp servers asked in order, each a URL (counter-signature)
        or a (url, fontseal.RFC3161 or fontseal.COUNTER_SIGNATURE) pair.
    store: a certificate-store thumbprint (or a prefix of 8+ hex digits)
        instead of key and cert.
    Raises fontseal.Error when the library refuses."""
    if _is_font_object(input):
        if getattr(input, "flavor", None):
            # Saved as it is, the library would be handed a WOFF container.
            raise ValueError("a %s TTFont cannot be signed: set its flavor to None first"
                             % input.flavor)
        suffix = ".otf" if getattr(input, "sfntVersion", None) == "OTTO" else ".ttf"
        fd, temporary = tempfile.mkstemp(prefix="fontseal-", suffix=suffix)
        try:
            os.close(fd)
            input.save(temporary)
            return sign(temporary, output, key=key, cert=cert, password=password, digest=digest,
                        statement=statement, program_name=program_name, info_url=info_url,
                        timestamp=timestamp, require_timestamp=require_timestamp,
                        timestamp_digest=timestamp_digest, store=store, pin=pin)
        finally:
            os.unlink(temporary)

    servers, server_count = _timestamp_servers(timestamp)
    request = _native.fontseal_sign_request()
    request.size = ctypes.sizeof(request)
    request.input_path = _path(input, "input")
    request.output_path = _path(output, "output")
    request.cert_path = _path(cert, "cert")
    request.key_path = _path(key, "key")
    request.digest = _choice(digest, _native.HASHES, "digest")
    request.statement = _choice(statement, _native.STATEMENTS, "statement")
    request.program_name = _text(program_name, "program_name")
    request.more_info_url = _text(info_url, "info_url")
    request.timestamp_servers = servers
    request.timestamp_server_count = server_count
    request.require_timestamp = 1 if require_timestamp else 0
    request.timestamp_digest = _choice(timestamp_digest, _native.HASHES, "timestamp_digest")
    request.store_thumbprint = _text(store, "store")
    report = _native.fontseal_report()
    report.size = ctypes.sizeof(report)

    lib = _native.library()
    secrets = []
    try:
        secrets.append(_Secret(password, "password"))
        request.password = secrets[-1].pointer()
        request.password_length = secrets[-1].length if request.password else 0
        secrets.append(_Secret(pin, "pin"))
        request.pin = secrets[-1].pointer()
        request.pin_length = secrets[-1].length if request.pin else 0
        result = lib.fontseal_sign(ctypes.byref(request), ctypes.byref(report))
    finally:
        for secret in secrets:
            secret.wipe()
    if result != OK:
        raise Error(result, report.message.decode("utf-8", "replace"))
    return SignResult(
        timestamp_server=report.timestamp_server if report.timestamp_server >= 0 else None,
        timestamp_time=report.timestamp_time or None)


def release_tokens():
    """Ends the logins to PKCS#11 tokens that signing opened; they otherwise
    last as long as the process, so that a family costs one login."""
    _native.library().fontseal_release_tokens()


def verify(path, ca_file=None, signature=0, *, ca_path=None, system_roots=False,
           untrusted=(), crl_files=(), online=False, require_timestamp=False,
           require_chain=False, require_revocation_check=False, min_digest=None,
           at=None) -> VerifyResult:
    """Checks the signatures of the font at `path` (and, with roots from
    ca_file, ca_path or system_roots, the signer's chain; with crl_files or
    online, revocation along it); `signature` n > 0 judges only the n-th
    signature. The require_* flags and min_digest ("sha256", ...) are policy;
    `at` (seconds since 1970) judges at that time instead of now. Returns a
    VerifyResult whether or not the font verifies; `valid` says which."""
    request = _native.fontseal_verify_request()
    request.size = ctypes.sizeof(request)
    request.font_path = _path(path, "path")
    request.ca_file = _path(ca_file, "ca_file")
    request.signature_number = signature
    request.ca_path = _path(ca_path, "ca_path")
    request.system_roots = bool(system_roots)
    untrusted_list = [_path(p, "untrusted") for p in untrusted]
    crl_list = [_path(p, "crl_files") for p in crl_files]
    untrusted_array = (ctypes.c_char_p * max(1, len(untrusted_list)))(*untrusted_list)
    crl_array = (ctypes.c_char_p * max(1, len(crl_list)))(*crl_list)
    request.untrusted_files = ctypes.cast(untrusted_array, ctypes.POINTER(ctypes.c_char_p))
    request.untrusted_count = len(untrusted_list)
    request.crl_files = ctypes.cast(crl_array, ctypes.POINTER(ctypes.c_char_p))
    request.crl_count = len(crl_list)
    request.online = bool(online)
    request.require_timestamp = bool(require_timestamp)
    request.require_chain = bool(require_chain)
    request.require_revocation_check = bool(require_revocation_check)
    request.min_digest = min_digest.encode() if min_digest else None
    request.at_time = int(at or 0)
    report = _native.fontseal_verify_report()
    report.size = ctypes.sizeof(report)
    result = _native.library().fontseal_verify(ctypes.byref(request), ctypes.byref(report))

    def text(name):
        value = getattr(report, name)
        # Fields are cut at a byte limit, perhaps inside a character.
        return value.decode("utf-8", "replace") if value else None

    if result == E_REQUEST:
        # Not a verdict on the font: this binding's request was refused.
        raise Error(result, text("message") or "")
    return VerifyResult(
        path=os.fsdecode(request.font_path), valid=result == OK, result=result,
        message=text("message"), check=text("check"),
        dsig_flags=report.dsig_flags if report.dsig_flags >= 0 else None,
        signature_count=report.signature_count, signer_subject=text("signer_subject"),
        signer_issuer=text("signer_issuer"), signer_serial=text("signer_serial"),
        digest=text("digest"), statement=text("statement"), program_name=text("program_name"),
        info_url=text("more_info_url"), layout=text("layout"),
        timestamp_kind=text("timestamp_kind"), timestamp_time=report.timestamp_time or None,
        timestamp_signer=text("timestamp_signer"), chain_checked=bool(report.chain_checked),
        signature_number=report.signature_number, member_count=report.member_count,
        chain_status=text("chain_status"), chain_reason=text("chain_reason"),
        revocation_status=text("revocation_status"),
        revocation_reason=text("revocation_reason"), container=text("container"))

# SPDX-License-Identifier: Apache-2.0
"""Sign and verify TrueType and OpenType fonts with libfontseal.

    import fontseal
    fontseal.sign("MyFont.ttf", "MyFont-signed.ttf", key="publisher.pfx",
                  password=os.environ["FONT_KEY_PASS"], program_name="My Fonts")
    result = fontseal.verify("MyFont-signed.ttf", ca_file="roots.pem")
    if not result:
        print(result.failed_check, result.message)

`sign` also takes a fontTools TTFont as its input. The library is the one
FONTSEAL_LIBRARY names, else the installed libfontseal. Every argument is
handed to the library as it is: what a request may hold, and what each
result code means, is the library's to say (<fontseal/fontseal.h>)."""
import ctypes as _ctypes
import dataclasses as _dataclasses
import datetime as _datetime
import errno as _errno
import os as _os
import re as _re
import tempfile as _tempfile
import warnings as _warnings
from typing import Any as _Any
from typing import Callable as _Callable
from typing import Iterable as _Iterable
from typing import Optional as _Optional
from typing import Tuple as _Tuple
from typing import Union as _Union

from . import _native
from ._native import (E_CA_FILE, E_CERT_OPEN, E_INPUT_OPEN, E_KEY_OPEN, E_REQUEST, E_SIGNER,
                      E_UNSIGNED, OK)

# The result codes, fontseal.OK and fontseal.E_* (FONTSEAL_E_* of the header).
_CODES = sorted(n for n in dir(_native) if _re.fullmatch(r"OK|E_\w+", n))
globals().update((n, getattr(_native, n)) for n in _CODES)
__all__ = ["Error", "MissingFileError", "TimestampWarning", "SignResult", "VerifyResult",
           "sign", "verify", "release_tokens", "RFC3161", "COUNTER_SIGNATURE"] + _CODES

# Time-stamp protocols for sign(timestamp=[(url, protocol), ...]).
COUNTER_SIGNATURE = "counter-signature"
RFC3161 = "rfc3161"

# What the path arguments take: a file name, never the font's bytes.
_PathArg = _Union[str, "_os.PathLike[str]"]
_SecretArg = _Union[str, bytes, bytearray, memoryview]
_ServerArg = _Union[str, _Tuple[str, str]]

# The largest number a request's 32-bit signed fields hold.
_INT32_MAX = 2 ** 31 - 1


class Error(Exception):
    """A call the library refused: `code` is its result code (FONTSEAL_E_*,
    also fontseal.E_*), `message` its one-line report naming the file, the
    problem and the code."""

    def __init__(self, code: int, message: str):
        super().__init__(message or "fontseal failed with code %d" % code)
        self.code = code
        self.message = message


class MissingFileError(Error, FileNotFoundError):
    """A file the call names does not exist: both a fontseal.Error (with the
    library's code and message) and a FileNotFoundError (errno ENOENT,
    `filename` the path)."""

    def __init__(self, code: int, message: str, filename: str):
        FileNotFoundError.__init__(self, _errno.ENOENT, message, filename)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        return self.message


class TimestampWarning(UserWarning):
    """sign() asked for a time stamp and the font was signed without one
    (pass require_timestamp=True to fail instead)."""


def _utc(seconds: int) -> _Optional[_datetime.datetime]:
    if not seconds:
        return None
    return _datetime.datetime.fromtimestamp(seconds, _datetime.timezone.utc)


@_dataclasses.dataclass(frozen=True)
class SignResult:
    # Index into sign()'s `timestamp` list of the server whose time stamp the
    # signature carries, and that stamp's time (UTC); None without one.
    timestamp_server: _Optional[int]
    timestamp_time: _Optional[_datetime.datetime]
    # When servers were asked and none gave a stamp: each one and why
    # ("URL: connection refused; ..."); None otherwise.
    timestamp_warning: _Optional[str] = None


@_dataclasses.dataclass(frozen=True)
class VerifyResult:
    """What fontseal_verify found; true when the font verifies. Text fields
    are None when the library left them empty. The names are the JSON
    report's (`fontseal verify --json`)."""
    path: str
    valid: bool
    result: int              # the result code: OK, E_UNSIGNED, E_NOT_VERIFIED, ...
    message: _Optional[str]  # why the font did not verify
    failed_check: _Optional[str]  # table, signed-data, digest, signature, timestamp, chain
    dsig_flags: _Optional[int]    # None without a DSIG table
    signature_count: int
    signer_subject: _Optional[str]
    signer_issuer: _Optional[str]
    signer_serial: _Optional[str]
    digest: _Optional[str]
    statement: _Optional[str]
    program_name: _Optional[str]
    info_url: _Optional[str]
    layout: _Optional[str]   # "writer" (fontseal's table order) or "file" (the file's own)
    timestamp_kind: _Optional[str]
    timestamp_time: _Optional[_datetime.datetime]  # UTC
    timestamp_signer: _Optional[str]
    chain_checked: bool
    signature_number: int    # the signature the details describe, from 1; 0 none
    member_count: int = 0    # the fonts of a collection; 0 for a single font
    # Trust outcomes: "pass", "fail", "not checked" or "unknown", and why.
    chain_status: _Optional[str] = None
    chain_reason: _Optional[str] = None
    revocation_status: _Optional[str] = None
    revocation_reason: _Optional[str] = None
    container: _Optional[str] = None  # "woff" for a WOFF 1.0 file

    def __bool__(self) -> bool:
        return self.valid

    @property
    def unsigned(self) -> bool:
        return self.result == E_UNSIGNED

    @property
    def weak_digest(self) -> bool:
        """An MD5 or SHA-1 signature: valid if it holds, but collisions can
        be made for its digest."""
        return self.digest in ("MD5", "SHA-1")

    @property
    def check(self) -> _Optional[str]:
        """The earlier name of failed_check, kept for one release."""
        return self.failed_check


def _path(value: _Any, what: str) -> _Optional[bytes]:
    if value is None:
        return None
    if isinstance(value, (bytes, bytearray, memoryview)):
        # Font or key bytes would be taken for a file name.
        raise TypeError("%s must be a path (str or os.PathLike), not %s; write data to a file "
                        "first" % (what, type(value).__name__))
    try:
        encoded = _os.fsencode(_os.fspath(value))
    except TypeError:
        raise TypeError("%s must be a path (str or os.PathLike), not %s"
                        % (what, type(value).__name__)) from None
    if b"\0" in encoded:
        raise ValueError("%s holds a NUL character: no file has such a name" % what)
    return encoded


def _text(value: _Any, what: str) -> _Optional[bytes]:
    if value is None:
        return None
    if isinstance(value, str):
        value = value.encode("utf-8")
    elif not isinstance(value, bytes):
        raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))
    if b"\0" in value:
        raise ValueError("%s holds a NUL character, which would cut it short" % what)
    return value


def _choice(value: _Any, table: dict, what: str) -> int:
    if value is None:
        return 0
    try:
        return table[str(value).lower()]
    except KeyError:
        raise ValueError("%s must be one of %s, not %r" % (what, ", ".join(table), value)) \
            from None


class _Secret:
    """A password or PIN copied into a buffer of our own, zeroed when the call
    is done. The caller's own str or bytes is theirs to keep or drop. Its
    length is sent with it: a NUL inside is part of it."""

    def __init__(self, value: _Optional[_SecretArg], what: str):
        self.length = 0
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
        self.buffer = _ctypes.create_string_buffer(value, max(len(value), 1))
        self.length = len(value)

    def pointer(self) -> _Optional[int]:
        return None if self.buffer is None else _ctypes.addressof(self.buffer)

    def wipe(self) -> None:
        if self.buffer is not None:
            _ctypes.memset(self.buffer, 0, _ctypes.sizeof(self.buffer))


def _timestamp_servers(servers: _Any):
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


def _is_font_object(value: _Any) -> bool:
    # A fontTools TTFont, or anything else that saves itself to a path.
    return not isinstance(value, (str, bytes, bytearray, memoryview, _os.PathLike)) and \
        callable(getattr(value, "save", None))


def _signer_function(signer: _Callable[[bytes, str], bytes], raised: list) -> _Any:
    """The C signer around a Python callable(digest, algorithm) -> bytes. What
    it raises is kept in `raised` for sign() to report: it cannot cross the
    library."""
    names = {number: name for name, number in _native.HASHES.items()}

    def call(_context, hash_algorithm, digest, digest_length, _info, _info_length, out,
             out_length):
        try:
            signature = bytes(signer(_ctypes.string_at(digest, digest_length),
                                     names.get(hash_algorithm, "")))
        except BaseException as e:  # handed back to sign()'s caller
            raised.append(e)
            return 1
        if len(signature) <= out_length[0]:
            _ctypes.memmove(out, signature, len(signature))
        # A longer one is not copied: the library refuses its length.
        out_length[0] = len(signature)
        return 0

    return _native.SIGNER_FN(call)


# Result codes whose message names a file that could not be opened, and
# which of the call's paths it is.
_OPEN_FAILURES = {E_INPUT_OPEN: "input", E_CERT_OPEN: "cert", E_KEY_OPEN: "key",
                  E_CA_FILE: "ca_file"}


def _refused(code: int, message: str, paths: dict) -> Error:
    """The exception for a refused call: MissingFileError when the file the
    code is about does not exist."""
    path = paths.get(_OPEN_FAILURES.get(code))
    if path is not None and not _os.path.exists(path):
        return MissingFileError(code, message, _os.fsdecode(path))
    return Error(code, message)


def sign(input: _Union[_PathArg, _Any], output: _PathArg, *, key: _Optional[_PathArg] = None,
         cert: _Optional[_PathArg] = None, password: _Optional[_SecretArg] = None,
         digest: _Optional[str] = None, statement: _Optional[str] = None,
         program_name: _Optional[str] = None, info_url: _Optional[str] = None,
         timestamp: _Union[_ServerArg, _Iterable[_ServerArg]] = (),
         require_timestamp: bool = False, timestamp_digest: _Optional[str] = None,
         store: _Optional[str] = None, pin: _Optional[_SecretArg] = None,
         signer: _Optional[_Callable[[bytes, str], bytes]] = None) -> SignResult:
    """Signs `input` (a path, or a fontTools TTFont) into the path `output`.

    key, cert: the private-key file (or a pkcs11: URI) and the certificate
        file; cert may be left out when the key file carries them.
    password, pin: str (sent as UTF-8) or bytes, every byte of it; None for none.
    digest, timestamp_digest: "sha256" (default), "sha384", "sha512", "sha1",
        "md5". statement: "auto" (default), "individual", "commercial".
    timestamp: time-stamp servers asked in order, each a URL (counter-signature)
        or a (url, fontseal.RFC3161 or fontseal.COUNTER_SIGNATURE) pair. When
        none gives a stamp the font is signed without one and a
        fontseal.TimestampWarning is issued; with require_timestamp=True the
        call fails instead and writes nothing.
    store: a certificate-store thumbprint (or a prefix of 8+ hex digits)
        instead of key and cert.
    signer: instead of key, a callable(digest: bytes, algorithm: str) ->
        bytes that returns the RSA PKCS#1 v1.5 signature of the bare digest
        ("sha256", ... as `digest`) by the key of cert's first certificate:
        a cloud key service's client, say. It is checked under the
        certificate before anything is written (E_SIGNER_SIGNATURE); what it
        raises becomes fontseal.Error (E_SIGNER) with its text. Signing from
        several threads at once calls it from those threads.
    Raises fontseal.Error when the library refuses (MissingFileError, also a
    FileNotFoundError, when a file it names does not exist), TypeError for
    font bytes in place of a path, ValueError for a NUL inside a path or text."""
    if _is_font_object(input):
        if getattr(input, "flavor", None):
            # Saved as it is, the library would be handed a WOFF container.
            raise ValueError("a %s TTFont cannot be signed: set its flavor to None first"
                             % input.flavor)
        suffix = ".otf" if getattr(input, "sfntVersion", None) == "OTTO" else ".ttf"
        fd, temporary = _tempfile.mkstemp(prefix="fontseal-", suffix=suffix)
        try:
            _os.close(fd)
            input.save(temporary)
            return sign(temporary, output, key=key, cert=cert, password=password, digest=digest,
                        statement=statement, program_name=program_name, info_url=info_url,
                        timestamp=timestamp, require_timestamp=require_timestamp,
                        timestamp_digest=timestamp_digest, store=store, pin=pin,
                        signer=signer)
        finally:
            _os.unlink(temporary)

    servers, server_count = _timestamp_servers(timestamp)
    request = _native.fontseal_sign_request()
    request.size = _ctypes.sizeof(request)
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
    raised = []
    if signer is not None:
        if not callable(signer):
            raise TypeError("signer must be callable, not %s" % type(signer).__name__)
        # Kept referenced here until the call returns.
        signer_function = _signer_function(signer, raised)
        request.signer = signer_function
    report = _native.fontseal_report()
    report.size = _ctypes.sizeof(report)

    lib = _native.library()
    secrets = []
    try:
        secrets.append(_Secret(password, "password"))
        request.password = secrets[-1].pointer()
        request.password_length = secrets[-1].length
        secrets.append(_Secret(pin, "pin"))
        request.pin = secrets[-1].pointer()
        request.pin_length = secrets[-1].length
        result = lib.fontseal_sign(_ctypes.byref(request), _ctypes.byref(report))
    finally:
        for secret in secrets:
            secret.wipe()
    if raised:
        if not isinstance(raised[0], Exception):
            raise raised[0]  # KeyboardInterrupt, SystemExit: not a signing failure
        raise Error(E_SIGNER, "the signer raised %s: %s while signing %s (code %d)" % (
            type(raised[0]).__name__, raised[0], _os.fsdecode(request.input_path),
            E_SIGNER)) from raised[0]
    if result != OK:
        raise _refused(result, report.message.decode("utf-8", "replace"),
                       {"input": request.input_path, "cert": request.cert_path,
                        "key": request.key_path})
    stamped = report.timestamp_server >= 0
    if server_count and not stamped:
        # Why, when the library says (a field newer libraries fill).
        why = report.timestamp_warning.decode("utf-8", "replace")
        _warnings.warn("%s was signed without a time stamp: %s" % (
            _os.fsdecode(request.output_path),
            why or "no server gave a valid one"), TimestampWarning, stacklevel=2)
    return SignResult(timestamp_server=report.timestamp_server if stamped else None,
                      timestamp_time=_utc(report.timestamp_time),
                      timestamp_warning=report.timestamp_warning.decode("utf-8", "replace") or None)


def release_tokens() -> None:
    """Ends the logins to PKCS#11 tokens that signing opened; they otherwise
    last as long as the process, so that a family costs one login."""
    _native.library().fontseal_release_tokens()


def verify(path: _PathArg, ca_file: _Optional[_PathArg] = None, signature: int = 0, *,
           ca_path: _Optional[_PathArg] = None, system_roots: bool = False,
           untrusted: _Iterable[_PathArg] = (), crl_files: _Iterable[_PathArg] = (),
           online: bool = False, require_timestamp: bool = False, require_chain: bool = False,
           require_revocation_check: bool = False, min_digest: _Optional[str] = None,
           at: _Optional[int] = None) -> VerifyResult:
    """Checks the signatures of the font at `path` (and, with roots from
    ca_file (a PEM file of roots and intermediates), ca_path or system_roots,
    the signer's chain; with crl_files or online, revocation along it);
    `signature` n > 0 judges only the n-th signature. The require_* flags and
    min_digest ("sha256", ...) are policy; `at` (seconds since 1970) judges at
    that time instead of now. Returns a VerifyResult whether or not the font
    verifies: it is true when the font does. Raises MissingFileError for a
    font or ca_file that does not exist, fontseal.Error for a ca_file that
    holds no certificate or a signature number past the table's."""
    if isinstance(signature, bool) or not isinstance(signature, int):
        raise TypeError("signature must be an int, not %s" % type(signature).__name__)
    if not 0 <= signature <= _INT32_MAX:
        raise ValueError("signature must be 0 (every one) or a signature's number from 1, "
                         "not %d" % signature)
    if at is not None and (isinstance(at, bool) or not isinstance(at, int)):
        raise TypeError("at must be seconds since 1970 (an int), not %s" % type(at).__name__)
    if at is not None and not 0 <= at < 2 ** 63:
        raise ValueError("at must be seconds since 1970, not %d" % at)
    request = _native.fontseal_verify_request()
    request.size = _ctypes.sizeof(request)
    request.font_path = _path(path, "path")
    request.ca_file = _path(ca_file, "ca_file")
    request.signature_number = signature
    request.ca_path = _path(ca_path, "ca_path")
    request.system_roots = bool(system_roots)
    untrusted_list = [_path(p, "untrusted") for p in untrusted]
    crl_list = [_path(p, "crl_files") for p in crl_files]
    untrusted_array = (_ctypes.c_char_p * max(1, len(untrusted_list)))(*untrusted_list)
    crl_array = (_ctypes.c_char_p * max(1, len(crl_list)))(*crl_list)
    request.untrusted_files = _ctypes.cast(untrusted_array, _ctypes.POINTER(_ctypes.c_char_p))
    request.untrusted_count = len(untrusted_list)
    request.crl_files = _ctypes.cast(crl_array, _ctypes.POINTER(_ctypes.c_char_p))
    request.crl_count = len(crl_list)
    request.online = bool(online)
    request.require_timestamp = bool(require_timestamp)
    request.require_chain = bool(require_chain)
    request.require_revocation_check = bool(require_revocation_check)
    request.min_digest = _text(min_digest, "min_digest")
    request.at_time = int(at or 0)
    report = _native.fontseal_verify_report()
    report.size = _ctypes.sizeof(report)
    result = _native.library().fontseal_verify(_ctypes.byref(request), _ctypes.byref(report))

    def text(name):
        value = getattr(report, name)
        # Fields are cut at a byte limit, perhaps inside a character.
        return value.decode("utf-8", "replace") if value else None

    if result in (E_REQUEST, E_CA_FILE, E_INPUT_OPEN):
        # Not a verdict on the font: the request could not be carried out.
        error = _refused(result, text("message") or "",
                         {"input": request.font_path, "ca_file": request.ca_file})
        if result != E_INPUT_OPEN or isinstance(error, MissingFileError):
            raise error
    return VerifyResult(
        path=_os.fsdecode(request.font_path), valid=result == OK, result=result,
        message=text("message"), failed_check=text("check"),
        dsig_flags=report.dsig_flags if report.dsig_flags >= 0 else None,
        signature_count=report.signature_count, signer_subject=text("signer_subject"),
        signer_issuer=text("signer_issuer"), signer_serial=text("signer_serial"),
        digest=text("digest"), statement=text("statement"), program_name=text("program_name"),
        info_url=text("more_info_url"), layout=text("layout"),
        timestamp_kind=text("timestamp_kind"), timestamp_time=_utc(report.timestamp_time),
        timestamp_signer=text("timestamp_signer"), chain_checked=bool(report.chain_checked),
        signature_number=report.signature_number, member_count=report.member_count,
        chain_status=text("chain_status"), chain_reason=text("chain_reason"),
        revocation_status=text("revocation_status"),
        revocation_reason=text("revocation_reason"), container=text("container"))


def _library_version() -> str:
    """The loaded library's version: what it says of itself where it can,
    else the version its file is named with (libfontseal.so.MAJOR.MINOR.PATCH,
    as the build names it from project() in CMakeLists.txt)."""
    lib = _native.library()
    try:
        version = lib.fontseal_version
    except AttributeError:
        pass
    else:
        version.argtypes = []
        version.restype = _ctypes.c_char_p
        return version().decode("ascii")
    real = _os.path.realpath(_native.library_path())
    found = _re.search(r"\.so\.(\d+\.\d+\.\d+)$", real)
    if not found:
        raise AttributeError("the version of %s cannot be told: it exports no fontseal_version "
                             "and its file name carries none" % real)
    return found.group(1)


def __getattr__(name: str) -> _Any:
    # Asked for, not computed on import: importing loads no library.
    if name == "__version__":
        try:
            return _library_version()
        except OSError as e:
            # getattr(fontseal, "__version__", None) must not raise otherwise.
            raise AttributeError("fontseal.__version__: %s" % e) from e
    raise AttributeError("module 'fontseal' has no attribute %r" % name)


def __dir__() -> list:
    return sorted(__all__ + ["__version__"])

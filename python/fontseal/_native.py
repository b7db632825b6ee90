# SPDX-License-Identifier: Apache-2.0
"""The C side of the binding: libfontseal, found and loaded once, and ctypes
mirrors of the request and report structs of <fontseal/fontseal.h>.

The mirrors must match the header field for field: the library reads a
request as far as its `size` says, so a field out of place would be read as
another one rather than refused. tests/test_binding.py compiles the header
and compares every offset, size and field name with the ones here."""
import ctypes
import os
import threading

# Result codes (FONTSEAL_E_* of fontseal.h and store.h).
OK = 0
E_INTERNAL = -1
E_FONT_OBJECT = -2
E_INPUT_OPEN = -3
E_OUTPUT_CREATE = -4
E_FONT_DIRECTORY = -5
E_CERT_OPEN = -6
E_NO_CERTIFICATE = -7
E_KEY_OPEN = -8
E_KEY_READ = -9
E_KEY_PASSWORD = -10
E_NO_MATCHING_CERT = -11
E_KEY_TYPE = -12
E_KEY_FORMAT = -13
E_REQUEST = -14
E_TIMESTAMP = -15
E_UNSIGNED = -16
E_NOT_VERIFIED = -17
E_SIGNER = -18
E_SIGNER_SIGNATURE = -19
E_CA_FILE = -30
E_CONTENT = -22
E_SIGN = -23
E_STORE_OPEN = -40
E_STORE_WRITE = -41
E_STORE_THUMBPRINT = -42
E_STORE_NO_ENTRY = -43
E_STORE_AMBIGUOUS = -44
E_STORE_NO_KEY = -45
E_STORE_KEY_EXPOSED = -46
E_STORE_KEY_MISMATCH = -47
E_STORE_KEY_UNUSABLE = -48
E_STORE_REQUEST = -49
E_TOKEN_MODULE = -50
E_TOKEN = -51
E_TOKEN_PIN = -52
E_TOKEN_PIN_LOCKED = -53
E_TOKEN_PIN_SOURCE = -54
E_KEY_ITERATIONS = -32

# FONTSEAL_HASH_*, FONTSEAL_STATEMENT_*, FONTSEAL_TIMESTAMP_*.
HASHES = {"sha256": 1, "sha384": 2, "sha512": 3, "sha1": 4, "md5": 5}
STATEMENTS = {"auto": 0, "individual": 1, "commercial": 2}
TIMESTAMP_PROTOCOLS = {"counter-signature": 0, "rfc3161": 1}


class fontseal_timestamp_server(ctypes.Structure):
    _fields_ = [
        ("url", ctypes.c_char_p),
        ("protocol", ctypes.c_int32),
    ]


class fontseal_report(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("result", ctypes.c_int32),
        ("message", ctypes.c_char * 512),
        ("timestamp_server", ctypes.c_int32),
        ("timestamp_time", ctypes.c_int64),
        ("certificate_warning", ctypes.c_char * 512),
        ("timestamp_warning", ctypes.c_char * 512),
    ]


# fontseal_signer_fn: (context, hash_algorithm, digest, digest_length,
# digest_info, digest_info_length, signature, signature_length) -> int.
SIGNER_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int32,
                             ctypes.POINTER(ctypes.c_uint8), ctypes.c_size_t,
                             ctypes.POINTER(ctypes.c_uint8), ctypes.c_size_t,
                             ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_size_t))


class fontseal_sign_request(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("input_path", ctypes.c_char_p),
        ("output_path", ctypes.c_char_p),
        ("cert_path", ctypes.c_char_p),
        ("key_path", ctypes.c_char_p),
        # Not c_char_p: the password is length-counted and may hold NULs, and
        # the buffer it points to is the binding's own, wiped after the call.
        ("password", ctypes.c_void_p),
        ("password_length", ctypes.c_size_t),
        ("digest", ctypes.c_int32),
        ("statement", ctypes.c_int32),
        ("program_name", ctypes.c_char_p),
        ("more_info_url", ctypes.c_char_p),
        ("timestamp_servers", ctypes.POINTER(fontseal_timestamp_server)),
        ("timestamp_server_count", ctypes.c_size_t),
        ("require_timestamp", ctypes.c_int32),
        ("timestamp_digest", ctypes.c_int32),
        ("store_thumbprint", ctypes.c_char_p),
        ("pin", ctypes.c_void_p),
        ("pin_length", ctypes.c_size_t),
        ("signer", SIGNER_FN),
        ("signer_context", ctypes.c_void_p),
    ]


class fontseal_verify_request(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("font_path", ctypes.c_char_p),
        ("ca_file", ctypes.c_char_p),
        ("signature_number", ctypes.c_int32),
        ("ca_path", ctypes.c_char_p),
        ("system_roots", ctypes.c_int32),
        ("untrusted_files", ctypes.POINTER(ctypes.c_char_p)),
        ("untrusted_count", ctypes.c_int32),
        ("crl_files", ctypes.POINTER(ctypes.c_char_p)),
        ("crl_count", ctypes.c_int32),
        ("online", ctypes.c_int32),
        ("require_timestamp", ctypes.c_int32),
        ("require_chain", ctypes.c_int32),
        ("require_revocation_check", ctypes.c_int32),
        ("min_digest", ctypes.c_char_p),
        ("at_time", ctypes.c_int64),
    ]


class fontseal_verify_report(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("result", ctypes.c_int32),
        ("message", ctypes.c_char * 512),
        ("check", ctypes.c_char * 16),
        ("dsig_flags", ctypes.c_int32),
        ("signature_count", ctypes.c_int32),
        ("signer_subject", ctypes.c_char * 256),
        ("signer_issuer", ctypes.c_char * 256),
        ("signer_serial", ctypes.c_char * 80),
        ("digest", ctypes.c_char * 16),
        ("statement", ctypes.c_char * 16),
        ("program_name", ctypes.c_char * 256),
        ("more_info_url", ctypes.c_char * 256),
        ("layout", ctypes.c_char * 16),
        ("timestamp_kind", ctypes.c_char * 24),
        ("timestamp_time", ctypes.c_int64),
        ("timestamp_signer", ctypes.c_char * 256),
        ("chain_checked", ctypes.c_int32),
        ("signature_number", ctypes.c_int32),
        ("member_count", ctypes.c_int32),
        ("chain_status", ctypes.c_char * 16),
        ("chain_reason", ctypes.c_char * 256),
        ("revocation_status", ctypes.c_char * 16),
        ("revocation_reason", ctypes.c_char * 512),
        ("container", ctypes.c_char * 8),
    ]


MIRRORED = (fontseal_timestamp_server, fontseal_report, fontseal_sign_request,
            fontseal_verify_request, fontseal_verify_report)

# After FONTSEAL_LIBRARY, the library by its SONAME, through the loader's
# own search: only that major version has the structs mirrored here.
_CANDIDATES = ("libfontseal.so.1",)

_lock = threading.Lock()
_library = None
_library_name = None


def _candidates():
    explicit = os.environ.get("FONTSEAL_LIBRARY")
    if explicit:
        # Named on purpose: no silent fall-back to another copy.
        return [explicit]
    return list(_CANDIDATES)


def library():
    """libfontseal, loaded on first use, with the prototypes the binding calls."""
    global _library
    with _lock:
        if _library is not None:
            return _library
        failures = []
        for name in _candidates():
            try:
                lib = ctypes.CDLL(name)
                break
            except OSError as e:
                failures.append(str(e))
        else:
            raise OSError("libfontseal not found (set FONTSEAL_LIBRARY to its path): " +
                          "; ".join(failures))
        lib.fontseal_sign.argtypes = [ctypes.POINTER(fontseal_sign_request),
                                      ctypes.POINTER(fontseal_report)]
        lib.fontseal_sign.restype = ctypes.c_int32
        lib.fontseal_verify.argtypes = [ctypes.POINTER(fontseal_verify_request),
                                        ctypes.POINTER(fontseal_verify_report)]
        lib.fontseal_verify.restype = ctypes.c_int32
        lib.fontseal_release_tokens.argtypes = []
        lib.fontseal_release_tokens.restype = None
        global _library_name
        _library, _library_name = lib, name
        return lib


def library_path():
    """The file the loaded library was read from."""
    library()
    if os.sep in _library_name:
        return _library_name
    # Found by the dynamic loader under its bare name: where it mapped it.
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(None, 5)[-1].strip()
            if os.path.basename(path).startswith("libfontseal.so"):
                return path
    return _library_name

// SPDX-License-Identifier: Apache-2.0
/* fontseal: digital signatures for TrueType and OpenType fonts.
 *
 * sign_font signs with a certificate file and a PVK private-key file;
 * win_sign_font signs with a certificate entry handed out by a system-store
 * signer (create_win_csp / release_win_csp). The library's own additions
 * carry the prefix fontseal_.
 * Every call returns one of the result codes below; nothing is thrown or
 * logged. Calls are not reentrant: serialise them within one process. */
#ifndef FONTSEAL_FONTSEAL_H
#define FONTSEAL_FONTSEAL_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

/* The version of these headers; fontseal_version() gives the loaded
 * library's. A host built against one minor version runs with any later
 * library of the same major version (the SONAME's). */
#define FONTSEAL_VERSION_MAJOR 1
#define FONTSEAL_VERSION_MINOR 0
#define FONTSEAL_VERSION_PATCH 0
#define FONTSEAL_VERSION_STRING "1.0.0"

#if defined(_WIN32)
#define FONTSEAL_API __declspec(dllexport)
#else
#define FONTSEAL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
namespace fontseal {
class Csp;
class CspCert;
}  // namespace fontseal
typedef fontseal::Csp fontseal_csp;
typedef fontseal::CspCert fontseal_csp_cert;
extern "C" {
#else
typedef struct fontseal_csp fontseal_csp;
typedef struct fontseal_csp_cert fontseal_csp_cert;
#endif

/* Result codes of sign_font and win_sign_font. Codes not listed here are
 * internal fault codes, passed through unchanged; they fall in the two
 * ranges below. */
enum {
    FONTSEAL_OK = 0,
    FONTSEAL_E_INTERNAL = -1,          /* out of memory, or an internal fault */
    FONTSEAL_E_FONT_OBJECT = -2,       /* a font object used without its stream or owner */
    FONTSEAL_E_INPUT_OPEN = -3,        /* the input font cannot be opened */
    FONTSEAL_E_OUTPUT_CREATE = -4,     /* the output font cannot be created */
    FONTSEAL_E_FONT_DIRECTORY = -5,    /* the input's table directory is unusable */
    FONTSEAL_E_CERT_OPEN = -6,         /* the certificate file cannot be opened */
    FONTSEAL_E_NO_CERTIFICATE = -7,    /* no certificate in the certificate file */
    FONTSEAL_E_KEY_OPEN = -8,          /* the private-key file cannot be opened */
    FONTSEAL_E_KEY_READ = -9,          /* the private-key file cannot be read */
    FONTSEAL_E_KEY_PASSWORD = -10,     /* the password does not open the private key */
    FONTSEAL_E_NO_MATCHING_CERT = -11, /* no certificate belongs to the private key */
    FONTSEAL_E_CONTENT = -22,          /* the content to be signed cannot be built */
    FONTSEAL_E_SIGN = -23              /* the signer failed */
};

/* Internal fault codes: a file or stream could not be read or written
 * completely (258 is a short write, such as a full disk)... */
#define FONTSEAL_E_STREAM_FIRST 257
#define FONTSEAL_E_STREAM_LAST 261
/* ...and malformed data met while the signature was built, decoded or
 * time-stamped, or while the key was read. */
#define FONTSEAL_E_DATA_FIRST (-5823)
#define FONTSEAL_E_DATA_LAST (-5801)

/* Digest selector: non-zero SHA-1, zero MD5. */
enum { FONTSEAL_DIGEST_MD5 = 0, FONTSEAL_DIGEST_SHA1 = 1 };

/* Statement type: taken from the certificate's code-signing purpose,
 * individual publisher, or commercial publisher. */
enum {
    FONTSEAL_STATEMENT_AUTO = 0,
    FONTSEAL_STATEMENT_INDIVIDUAL = 1,
    FONTSEAL_STATEMENT_COMMERCIAL = 2
};

/* Signs input_path into output_path with the certificates in cert_path and
 * the PVK key in key_path (password may be NULL: empty). program_name is
 * 16-bit text; program_name, more_info_url and timestamp_url may be NULL. */
FONTSEAL_API int32_t sign_font(const char* input_path, const char* output_path,
                               const char* cert_path, const char* key_path, const char* password,
                               int32_t use_sha1, int32_t statement, const char16_t* program_name,
                               const char* more_info_url, const char* timestamp_url);

/* Signs with a certificate entry listed by a system-store signer. */
FONTSEAL_API int32_t win_sign_font(const char* input_path, const char* output_path,
                                   fontseal_csp_cert* certificate, int32_t use_sha1,
                                   int32_t statement, const char16_t* program_name,
                                   const char* more_info_url, const char* timestamp_url);

/* Creates a system-store signer, stores it in *out and returns it; NULL when
 * none can be created. */
FONTSEAL_API fontseal_csp* create_win_csp(fontseal_csp** out);

/* Destroys a signer and every entry it listed; NULL is ignored. */
FONTSEAL_API void release_win_csp(fontseal_csp* csp);

/* ---- The library's own entry points (fontseal_*) ------------------------
 *
 * Unlike the four functions above they keep no process-wide state: any
 * number of them may run at once on different threads. Each request and
 * report starts with its own size (set it to sizeof the struct), so fields
 * can be added at the end without breaking hosts; a field left zero means
 * its default. */

/* Initialisers for the requests and reports below: the size set, every
 * other field zero (its default), and no warning from compilers run with
 * -Wall -Wextra, in C and in C++. For a declaration:
 *     fontseal_sign_request request = FONTSEAL_SIGN_REQUEST_INIT;
 *     fontseal_report report = FONTSEAL_REPORT_INIT; */
#ifdef __cplusplus
#define FONTSEAL_SIZED_INIT_(type)   \
    ([]() {                          \
        type sized_{};               \
        sized_.size = sizeof sized_; \
        return sized_;               \
    }())
#else
#define FONTSEAL_SIZED_INIT_(type) \
    { .size = sizeof(type) }
#endif
#define FONTSEAL_REPORT_INIT FONTSEAL_SIZED_INIT_(fontseal_report)
#define FONTSEAL_SIGN_REQUEST_INIT FONTSEAL_SIZED_INIT_(fontseal_sign_request)
#define FONTSEAL_VERIFY_REQUEST_INIT FONTSEAL_SIZED_INIT_(fontseal_verify_request)
#define FONTSEAL_VERIFY_REPORT_INIT FONTSEAL_SIZED_INIT_(fontseal_verify_report)

/* Further result codes of the fontseal_* entry points. */
enum {
    FONTSEAL_E_KEY_TYPE = -12,    /* the key cannot sign fonts (only RSA keys can) */
    FONTSEAL_E_KEY_FORMAT = -13,  /* the key file is of no known form */
    FONTSEAL_E_REQUEST = -14,     /* the request is malformed (a required field is missing) */
    FONTSEAL_E_TIMESTAMP = -15    /* a time stamp was required and no server gave a valid one;
                                     nothing was written */
};

/* A password-protected key file (PKCS#12, encrypted PKCS#8) asking for more
 * than 10000000 MAC or key-derivation iterations: refused before any key is
 * derived. */
enum { FONTSEAL_E_KEY_ITERATIONS = -32 };

/* Results of a key on a PKCS#11 token (key_path "pkcs11:..."). */
enum {
    FONTSEAL_E_TOKEN_MODULE = -50,    /* the PKCS#11 module cannot be loaded or started */
    FONTSEAL_E_TOKEN = -51,           /* no such token, key or certificate on it, a pkcs11:
                                         URI that names no key, or the token failed */
    FONTSEAL_E_TOKEN_PIN = -52,       /* the token refused the PIN (tried once, never again),
                                         or a PIN is needed and none was given */
    FONTSEAL_E_TOKEN_PIN_LOCKED = -53, /* the token's PIN is locked */
    FONTSEAL_E_TOKEN_PIN_SOURCE = -54  /* the PIN source FONTSEAL_PIN_SOURCE names cannot be
                                          read; the token was not asked */
};

/* Time-stamp protocols of a request's servers. */
enum {
    /* The server counter-signs the signature value: a base64 PKCS#7 request,
     * a PKCS#7 SignedData reply whose signer becomes a counterSignature. */
    FONTSEAL_TIMESTAMP_COUNTER_SIGNATURE = 0,
    /* RFC 3161 (application/timestamp-query): the TimeStampToken is kept as
     * the signer's unauthenticated attribute 1.3.6.1.4.1.311.3.3.1. */
    FONTSEAL_TIMESTAMP_RFC3161 = 1
};

/* One time-stamp server of a request. */
typedef struct fontseal_timestamp_server {
    const char* url;  /* http or https */
    int32_t protocol; /* FONTSEAL_TIMESTAMP_* */
} fontseal_timestamp_server;

/* Results of a request signed by an external signer (its signer field). */
enum {
    FONTSEAL_E_SIGNER = -18,          /* the signer returned non-zero: it could not sign */
    FONTSEAL_E_SIGNER_SIGNATURE = -19 /* the signature the signer returned does not verify
                                         under the certificate's public key (another key's,
                                         or damaged); nothing was written */
};

/* An external signer: makes the RSA PKCS#1 v1.5 signature for one font.
 * hash_algorithm is a FONTSEAL_HASH_* (never 0); digest is the bare digest
 * of the signed attributes, what "sign digest" calls of key services take,
 * and digest_info the DER DigestInfo around it, what a raw RSA operation
 * takes: sign either, the signature is the same. On entry
 * *signature_length is the size of the signature buffer, never less than
 * the length of the certificate key's modulus; the signer writes the
 * signature there (exactly that modulus length, leading zero bytes kept),
 * sets *signature_length and returns 0, or returns non-zero when it cannot
 * sign (the call then fails with FONTSEAL_E_SIGNER; a host keeps its own
 * reason in context). It is called once per signed font, from the thread
 * that called fontseal_sign: a host that signs several requests at once
 * on several threads has it called from those threads at once. */
typedef int (*fontseal_signer_fn)(void* context, int32_t hash_algorithm, const uint8_t* digest,
                                  size_t digest_length, const uint8_t* digest_info,
                                  size_t digest_info_length, uint8_t* signature,
                                  size_t* signature_length);

/* Digest algorithms of a request. Zero is the default, SHA-256. */
enum {
    FONTSEAL_HASH_DEFAULT = 0,
    FONTSEAL_HASH_SHA256 = 1,
    FONTSEAL_HASH_SHA384 = 2,
    FONTSEAL_HASH_SHA512 = 3,
    FONTSEAL_HASH_SHA1 = 4,
    FONTSEAL_HASH_MD5 = 5
};

/* What every fontseal_* call reports besides its result. */
typedef struct fontseal_report {
    uint32_t size;      /* sizeof(fontseal_report), set by the caller */
    int32_t result;     /* the call's result code, also returned */
    char message[512];  /* one line naming the file, the problem and the code;
                           empty on success */
    /* Added with time-stamp servers (a smaller size leaves them out): */
    /* The index of the server whose time stamp the signature carries; -1
     * when it carries none. */
    int32_t timestamp_server;
    /* The time stamp's time in seconds since 1970-01-01 00:00 UTC; 0 without
     * one, or for a counter-signature that names no signing time. */
    int64_t timestamp_time;
    /* Added with certificate warnings (a smaller size leaves it out): */
    /* fontseal_sign: one line when the signer's certificate is expired, not
     * yet valid, or not for code signing (its extended key usage lacks
     * 1.3.6.1.5.5.7.3.3, or its key usage lacks digitalSignature), naming
     * each fault and what fontseal_verify will report; the font is signed
     * all the same. Empty otherwise. */
    char certificate_warning[512];
    /* Added with time-stamp reasons (a smaller size leaves it out): */
    /* When fontseal_sign asked servers for a time stamp, got none and signed
     * without one: each server and why it gave none ("URL: connection
     * refused; URL: rejected (...)"), truncated to fit. Empty otherwise (a
     * required stamp that none gave fails the call, and message says why). */
    char timestamp_warning[512];
} fontseal_report;

typedef struct fontseal_sign_request {
    uint32_t size;              /* sizeof(fontseal_sign_request) */
    const char* input_path;     /* required */
    const char* output_path;    /* required; may equal input_path */
    const char* cert_path;      /* certificates: DER, PEM (every certificate of
                                   the file, in order), base64, PKCS#7 bundle;
                                   NULL when the key file carries them (PKCS#12) */
    const char* key_path;       /* PVK, PEM PKCS#1 or PKCS#8, DER PKCS#8, PKCS#12,
                                   or a key on a PKCS#11 token: an RFC 7512 URI
                                   "pkcs11:token=...;object=..." (or id=); the
                                   module is the URI's module-path, else
                                   FONTSEAL_PKCS11_MODULE, else p11-kit-proxy.so.
                                   Without cert_path the certificate is the
                                   token's one with the key's CKA_ID */
    const char* password;       /* password bytes, password_length of them; */
    size_t password_length;     /* NULL: no password */
    int32_t digest;             /* FONTSEAL_HASH_*; 0: SHA-256 */
    int32_t statement;          /* FONTSEAL_STATEMENT_*; 0: from the certificate */
    const char* program_name;   /* UTF-8, or NULL */
    const char* more_info_url;  /* or NULL */
    /* Added with time-stamp servers (a smaller size leaves them out): */
    /* The servers, asked in order until one gives a valid time stamp. */
    const fontseal_timestamp_server* timestamp_servers;
    size_t timestamp_server_count;  /* 0: no time stamp */
    /* Non-zero: without a time stamp the call fails with FONTSEAL_E_TIMESTAMP
     * and writes nothing. Zero: the font is then signed without one. */
    int32_t require_timestamp;
    /* FONTSEAL_HASH_* of an RFC 3161 message imprint (not MD5); 0: SHA-256. */
    int32_t timestamp_digest;
    /* Added with signing from the certificate store (a smaller size leaves
     * it out): */
    /* A store entry's thumbprint, or a prefix of at least 8 hex digits that
     * only one entry starts with (fontseal/store.h). The entry's certificate
     * and key then sign, cert_path and key_path must be NULL and password is
     * not used; a fault of the store is one of the FONTSEAL_E_STORE_* codes.
     * NULL: the key file signs. */
    const char* store_thumbprint;
    /* Added with token keys (a smaller size leaves them out): */
    /* The PIN of the token holding the key (a pkcs11: key_path, or a store
     * entry on a token), pin_length bytes. NULL: the one FONTSEAL_PIN_SOURCE
     * names (file:PATH or env:NAME), else a prompt without echo on the
     * controlling terminal when there is one, else none. The PIN is asked
     * for only when the process holds no login to that token; a PIN given
     * while it does must be the one that logged in. The token is asked
     * once: a refused PIN is never tried again. */
    const char* pin;
    size_t pin_length;
    /* Added with external signers (a smaller size leaves them out): */
    /* Non-NULL: the key never comes here; signer makes the signature and is
     * handed signer_context with each call. cert_path is then required (its
     * first certificate is the signer's, the rest go along as the chain)
     * and key_path and store_thumbprint must be NULL. The signature is
     * checked under the certificate's public key before anything is
     * written. */
    fontseal_signer_fn signer;
    void* signer_context;
} fontseal_sign_request;

/* Signs request->input_path into request->output_path. Returns the result
 * code and, when report is not NULL, fills it. */
FONTSEAL_API int32_t fontseal_sign(const fontseal_sign_request* request, fontseal_report* report);

/* Writes input_path to output_path without its DSIG table, laid out exactly
 * as the signer lays out the bytes it signs. report may be NULL. */
FONTSEAL_API int32_t fontseal_strip(const char* input_path, const char* output_path,
                                    fontseal_report* report);

/* Whether the private-key file at key_path is encrypted, so that a password
 * must be asked for: 1 yes, 0 no (also for a pkcs11: URI, whose token asks
 * for a PIN instead), or a negative result code (the file cannot be opened,
 * or is of no known form) with report filled. */
FONTSEAL_API int32_t fontseal_key_needs_password(const char* key_path, fontseal_report* report);

/* Further result codes of fontseal_verify. */
enum {
    FONTSEAL_E_UNSIGNED = -16,    /* the font carries no signature (no DSIG, or one without any) */
    FONTSEAL_E_NOT_VERIFIED = -17 /* a check failed: the report's check and message say which */
};

/* Result of fontseal_verify when the request's ca_file cannot be used: it
 * cannot be opened, is not a regular file, or holds no certificate. The
 * font is not read; the message names the file and why. */
enum { FONTSEAL_E_CA_FILE = -30 };

typedef struct fontseal_verify_request {
    uint32_t size;         /* sizeof(fontseal_verify_request) */
    const char* font_path; /* required */
    const char* ca_file;   /* PEM roots to check the signer's chain against, and any
                              intermediates under them; NULL: not checked */
    /* 0: judge the font, every signature in its DSIG table checked in turn
     * (the font verifies only when each one does). n > 0: check and judge
     * only the n-th signature, counted from 1; a number past
     * signature_count gives FONTSEAL_E_REQUEST. */
    int32_t signature_number;
    /* Further roots: an OpenSSL hashed directory (NULL: none), and the
     * system's list (/etc/ssl/certs/ca-certificates.crt: roots trusted for
     * TLS, not chosen for code signing) when system_roots is non-zero. */
    const char* ca_path;
    int32_t system_roots;
    /* Intermediates the signature does not carry: files of certificates
     * (PEM, DER or PKCS#7), untrusted_count of them. */
    const char* const* untrusted_files;
    int32_t untrusted_count;
    /* CRLs (PEM, one or several a file, or DER), crl_count files: the
     * chain's certificates are looked up in them. */
    const char* const* crl_files;
    int32_t crl_count;
    /* Non-zero: fetch intermediates a certificate's issuer URL names, its
     * CRL distribution points and its OCSP responder over HTTP(S): each
     * fetch at most 10 s to connect, 30 s in all, 1 MiB, 4 redirects; at
     * most 4 issuer fetches a chain; one fetch per URL in the process. */
    int32_t online;
    /* Policy: each non-zero makes the font fail without that check's pass:
     * a time stamp, a chain to the roots, a revocation answer (an
     * unreachable responder then fails instead of leaving it unknown). */
    int32_t require_timestamp;
    int32_t require_chain;
    int32_t require_revocation_check;
    /* The weakest font digest accepted ("SHA-256", "sha256", ...); NULL any. */
    const char* min_digest;
    /* Judge at this time (seconds since 1970) instead of now; 0 now. */
    int64_t at_time;
} fontseal_verify_request;

/* Details of a verified (or refused) font. Text fields are UTF-8, NUL
 * terminated, cut short when longer; empty when unknown. */
typedef struct fontseal_verify_report {
    uint32_t size;     /* sizeof(fontseal_verify_report), set by the caller */
    int32_t result;    /* the call's result code, also returned */
    char message[512]; /* one line: why the font did not verify; empty when it did */
    /* The check that failed: "table", "signed-data", "digest", "signature",
     * "timestamp", "chain" or "revocation"; empty when none did. */
    char check[16];
    int32_t dsig_flags;      /* -1 without a DSIG table; bit 0: cannot be resigned */
    int32_t signature_count; /* signatures in the DSIG table */
    char signer_subject[256];
    char signer_issuer[256];
    char signer_serial[80]; /* hexadecimal */
    char digest[16];        /* "MD5", "SHA-1", "SHA-256", "SHA-384", "SHA-512" */
    char statement[16];     /* "individual", "commercial" */
    char program_name[256];
    char more_info_url[256];
    /* "writer": the data in the recommended order, as fontseal signs;
     * "file": the data in the order the file has it. */
    char layout[16];
    char timestamp_kind[24];  /* "counter-signature", "rfc3161" */
    int64_t timestamp_time;   /* seconds since 1970-01-01 00:00 UTC; 0 when none */
    char timestamp_signer[256];
    int32_t chain_checked; /* 1 the chain was checked against ca_file and holds; 0 not checked */
    /* The signature that signer_subject ... chain_checked and a failed check
     * describe, counted from 1: when judging the font, the first that
     * failed, else the first; 0 when no signature was looked at. */
    int32_t signature_number;
    /* The fonts of a font collection (.ttc, .otc), which carries one DSIG
     * for the whole file; 0 for a single font. */
    int32_t member_count;
    /* Trust outcomes, each "pass", "fail", "not checked" or "unknown", with
     * why: the signer's chain to the roots, and revocation along it. */
    char chain_status[16];
    char chain_reason[256];
    char revocation_status[16];
    char revocation_reason[512];
    /* "woff" when the font came wrapped in WOFF 1.0 and its decoded font
     * was verified; empty for a plain font or collection. */
    char container[8];
} fontseal_verify_report;

/* Verifies request->font_path: its DSIG table, each signature's SignedData,
 * the font digest, the signer's signature, a time stamp when there is one
 * and, with ca_file, the signer's chain. Returns FONTSEAL_OK when every
 * check passes (of every signature, or of the one signature_number picks),
 * FONTSEAL_E_UNSIGNED, FONTSEAL_E_NOT_VERIFIED, or the codes of an input
 * that cannot be opened or is no usable font. report may be NULL. */
FONTSEAL_API int32_t fontseal_verify(const fontseal_verify_request* request,
                                     fontseal_verify_report* report);

/* Removes every temporary output file that this process's signing calls
 * have created and not yet renamed into place, and makes calls still
 * running fail instead of putting their output in place: what a host does
 * before it exits on SIGINT, SIGTERM or SIGHUP, so that it leaves either the
 * old output or the complete new one and no temporary. It takes a lock:
 * call it from a thread that waits for the signal (sigwait), not from a
 * signal handler. */
FONTSEAL_API void fontseal_remove_temporaries(void);

/* A login to a token lasts, as the platform's token drivers keep it, until
 * the process ends or this is called, so that a family of fonts costs the
 * token one login (and one PIN). Ends every login this process holds and
 * unloads the PKCS#11 modules it loaded. Call it when no signing call is
 * running: one still running loses its login. */
FONTSEAL_API void fontseal_release_tokens(void);

/* The loaded library's version, "MAJOR.MINOR.PATCH" as
 * FONTSEAL_VERSION_STRING was when it was built; a static string. */
FONTSEAL_API const char* fontseal_version(void);

#ifdef __cplusplus
}
#endif

#endif

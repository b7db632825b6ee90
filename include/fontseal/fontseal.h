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

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

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
#define FONTSEAL_E_DATA_FIRST (-5821)
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

/* Writes input_path to output_path without its DSIG table, laid out exactly
 * as the signer lays out the bytes it signs. Returns a result code above. */
FONTSEAL_API int32_t fontseal_strip(const char* input_path, const char* output_path);

/* Whether the private-key file at key_path is encrypted, so that a password
 * must be asked for: 1 yes, 0 no, a negative result code when the file
 * cannot be opened. A file of no known key form counts as needing one. */
FONTSEAL_API int32_t fontseal_key_needs_password(const char* key_path);

#ifdef __cplusplus
}
#endif

#endif

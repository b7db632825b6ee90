// SPDX-License-Identifier: Apache-2.0
/* fontseal/store.h: the current user's certificate store, the one that
 * create_win_csp lists and win_sign_font signs from.
 *
 * The store is the directory $XDG_DATA_HOME/fontseal/certstore/MY (by default
 * ~/.local/share/fontseal/certstore/MY, created with mode 0700). Each entry is
 * a certificate; its private key, when it has one, is an unencrypted PKCS#8
 * PEM file beside it that only its owner may read (a key file that others can
 * read is refused when it is used), and it may have a friendly name. An entry
 * is named by its thumbprint, the SHA-1 of the certificate's DER, written as
 * 40 hex digits; wherever a thumbprint is asked for, a prefix of at least 8
 * digits that only one entry starts with will do.
 *
 * The store also lists the X.509 certificates on every initialised token of
 * one PKCS#11 module (the one FONTSEAL_PKCS11_MODULE names, else p11-kit's
 * proxy, which gathers the system's configured modules), except those a
 * token marks as an authority's. Their keys never leave the token: signing
 * with such an entry logs in to the token (the PIN as fontseal_sign's pin
 * field describes) and the token signs. A certificate both in the directory
 * and on a token is listed once, with the key.
 *
 * Every call returns a result code (fontseal.h, and the FONTSEAL_E_STORE_*
 * codes below) and, when report is not NULL, fills it. */
#ifndef FONTSEAL_STORE_H
#define FONTSEAL_STORE_H

#include <stddef.h>
#include <stdint.h>

#include "fontseal/fontseal.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    FONTSEAL_E_STORE_OPEN = -40,         /* the store cannot be read */
    FONTSEAL_E_STORE_WRITE = -41,        /* the store cannot be written */
    FONTSEAL_E_STORE_THUMBPRINT = -42,   /* not a thumbprint: 8 to 40 hex digits */
    FONTSEAL_E_STORE_NO_ENTRY = -43,     /* no entry has that thumbprint */
    FONTSEAL_E_STORE_AMBIGUOUS = -44,    /* several entries start with that prefix */
    FONTSEAL_E_STORE_NO_KEY = -45,       /* the entry has no private key */
    FONTSEAL_E_STORE_KEY_EXPOSED = -46,  /* others may read the entry's key file */
    FONTSEAL_E_STORE_KEY_MISMATCH = -47, /* the entry's key is not its certificate's */
    FONTSEAL_E_STORE_KEY_UNUSABLE = -48, /* the entry's key file cannot be read */
    FONTSEAL_E_STORE_REQUEST = -49       /* a required argument is missing */
    /* An entry on a token fails with the FONTSEAL_E_TOKEN_* codes of
     * fontseal.h: a module FONTSEAL_PKCS11_MODULE names that cannot be
     * loaded, a token that has gone, a refused or locked PIN. */
};

/* What every fontseal_store_* call reports besides its result. */
typedef struct fontseal_store_report {
    uint32_t size;       /* sizeof(fontseal_store_report), set by the caller */
    int32_t result;      /* the call's result code, also returned */
    char message[512];   /* one line naming what failed and the code; empty on success */
    char thumbprint[41]; /* the entry concerned (40 upper-case hex digits), or empty */
} fontseal_store_report;

typedef struct fontseal_store_import_request {
    uint32_t size;             /* sizeof(fontseal_store_import_request) */
    const char* cert_path;     /* DER, PEM, base64 or a PKCS#7 bundle; NULL: the
                                  certificates of a PKCS#12 key file */
    const char* key_path;      /* PVK, PEM/DER PKCS#1 or PKCS#8, PKCS#12; NULL: no key */
    const char* password;      /* password bytes, password_length of them; */
    size_t password_length;    /* NULL: no password */
    const char* friendly_name; /* UTF-8, or NULL */
} fontseal_store_import_request;

/* Adds a certificate to the store. With a key, the certificate of the file
 * that the key belongs to is added (FONTSEAL_E_NO_MATCHING_CERT when none
 * is) and the key is stored beside it, re-encoded as unencrypted PKCS#8 PEM
 * with mode 0600; without a key every certificate of the file is added.
 * Each added certificate keeps the certificates of the same file that issued
 * it (a CA's intermediates, in issuer order, up to but without a
 * self-signed root) as its chain.
 * Adding a certificate that is already there updates its key and name (an
 * empty name removes it). report->thumbprint names the (first) entry. */
FONTSEAL_API int32_t fontseal_store_import(const fontseal_store_import_request* request,
                                           fontseal_store_report* report);

/* Removes the entry named by thumbprint with its key and name. */
FONTSEAL_API int32_t fontseal_store_remove(const char* thumbprint, fontseal_store_report* report);

/* One entry as fontseal_store_list hands it out. The strings live until the
 * visitor returns. */
typedef struct fontseal_store_entry {
    uint32_t size;             /* sizeof(fontseal_store_entry) */
    int32_t index;             /* the entry's index in the signer's list */
    const char* thumbprint;    /* 40 upper-case hex digits */
    const char* subject;       /* simple display name: common name, else the
                                  first organisational unit, organisation or
                                  e-mail address */
    const char* issuer;        /* the issuer's simple display name */
    const char* friendly_name; /* the friendly name, else the subject */
    const char* valid_from;    /* UTC, "YYYY-MM-DDTHH:MM:SSZ" */
    const char* valid_to;
    /* 1 when a key is stored for it; -1 for an entry on a token that hides
     * its private objects until the user logs in: unknown until login */
    int32_t has_private_key;
    /* Added with token entries (a smaller size leaves them out): */
    const char* token_label;  /* the token's label; empty for a directory entry */
    const char* token_serial; /* the token's serial number; empty likewise */
    const char* key_locator;  /* where the key is: a pkcs11: URI for a token's
                                 entry, the key file's path otherwise; empty
                                 without a key */
    /* Added with issuing chains (a smaller size leaves it out): */
    /* How many certificates that issued this one the store keeps with it
     * (the intermediates, root left out); each signature made with the
     * entry carries them after its own certificate. */
    int32_t chain_count;
} fontseal_store_entry;

/* Called once per entry; a non-zero return stops the listing. */
typedef int32_t (*fontseal_store_visitor)(const fontseal_store_entry* entry, void* context);

/* Lists the store through a system-store signer, in its order, calling visit
 * (which may be NULL) for each entry. Returns the number of entries, or a
 * negative result code. */
FONTSEAL_API int32_t fontseal_store_list(fontseal_store_visitor visit, void* context,
                                         fontseal_store_report* report);

/* Lists the store afresh through csp (entries it handed out before are no
 * longer valid) and finds the entry named by thumbprint. With need_key, the
 * entry's key is also opened and compared with its certificate, so that
 * signing with it can only fail for reasons outside the store. On success
 * *entry is the entry, to pass to win_sign_font; it lives as long as csp
 * lists nothing else. */
FONTSEAL_API int32_t fontseal_store_find(fontseal_csp* csp, const char* thumbprint,
                                         int32_t need_key, fontseal_csp_cert** entry,
                                         fontseal_store_report* report);

typedef struct fontseal_store_sign_request {
    uint32_t size;                /* sizeof(fontseal_store_sign_request) */
    const char* input_path;       /* required */
    const char* output_path;      /* required */
    const char* thumbprint;       /* required */
    int32_t use_sha1;             /* non-zero SHA-1, zero MD5 */
    int32_t statement;            /* FONTSEAL_STATEMENT_*; 0: from the certificate */
    const char16_t* program_name; /* 16-bit text, or NULL */
    const char* more_info_url;    /* or NULL */
    const char* timestamp_url;    /* or NULL: no time stamp */
} fontseal_store_sign_request;

/* Finds the entry (as fontseal_store_find with need_key) and signs with it
 * as win_sign_font does. */
FONTSEAL_API int32_t fontseal_store_sign(const fontseal_store_sign_request* request,
                                         fontseal_store_report* report);

#ifdef __cplusplus
}
#endif

#endif

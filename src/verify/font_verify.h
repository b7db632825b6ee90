// SPDX-License-Identifier: Apache-2.0
// Checks a signed font: its DSIG table, each signature's PKCS#7 SignedData,
// the font digest it carries, the signer's signature, its time stamp and,
// when roots are given, the signer's chain.
#pragma once
#include <cstdint>
#include <string>

namespace fontseal {

enum class FontVerdict {
    kValid,            // every check passed
    kUnsigned,         // no DSIG, or a DSIG without signatures
    kInvalid,          // a check failed: `check` names it
    kNoSuchSignature,  // the signature asked for is not in the DSIG table
    kRootsUnusable,    // the roots file cannot be read or holds no certificate
};

struct FontVerification {
    FontVerdict verdict = FontVerdict::kInvalid;
    // The check that failed: "table", "signed-data", "digest", "signature",
    // "timestamp", "chain"; empty when none did.
    std::string check;
    std::string reason;  // why, for a person
    int32_t flags = -1;  // the DSIG flags, -1 without a table
    int32_t signatureCount = 0;
    std::string subject, issuer, serial;  // the signer certificate
    std::string digest;                   // "SHA-256", ...
    std::string statement;                // "individual", "commercial" or empty
    std::string programName, moreInfoUrl;
    std::string layout;         // "writer" or "file": which data order the digest matched
    std::string timestampKind;  // "counter-signature", "rfc3161" or empty
    int64_t timestampTime = 0;  // seconds since 1970, 0 when unknown
    std::string timestampSigner;
    // 1 the chain was checked against the roots and holds, 0 not checked.
    int32_t chainChecked = 0;
    // The signature the details above (and a failed check) belong to,
    // counted from 1; 0 when none was looked at.
    int32_t signatureNumber = 0;
    // The fonts of a collection; 0 for a single font.
    int32_t memberCount = 0;
    // Trust checks: "pass", "fail", "not checked" or "unknown", and why.
    std::string chainStatus, chainNote;
    std::string revocationStatus, revocationNote;
    std::string container;  // "woff" when the font came wrapped; empty for an sfnt
};

struct TrustOptions;

// Verifies the font at `path`. `caFile` (PEM roots) may be null: the chain
// is then not checked. With `signatureNumber` 0 the font is judged: every
// signature of its DSIG table is checked in order and must hold, and the
// details are those of the first that fails, else of the first signature.
// With n > 0 only the n-th signature is checked and judged. OT_EXCEPTION from
// open_font when the file cannot be opened or is no usable font; every other
// finding is in the result.
FontVerification verify_font(const char* path, const char* caFile, int32_t signatureNumber = 0);

// As above, with the roots, intermediates, revocation sources and policy of
// `trust` (verify/trust_chain.h): the chain is checked when roots are given,
// revocation along it when CRLs are given or `online`.
FontVerification verify_font(const char* path, const TrustOptions& trust,
                             int32_t signatureNumber = 0);

}  // namespace fontseal

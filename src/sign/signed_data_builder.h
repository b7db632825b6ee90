// SPDX-License-Identifier: Apache-2.0
// Builds and signs the PKCS#7 SignedData of a font signature with the
// publisher's own key and certificates.
#pragma once
#include <cstdint>

#include "base/shared_ref.h"
#include "der/digest_algorithm.h"
#include "key/signing_key.h"
#include "x509/p7_certificate.h"

namespace fontseal {

constexpr int kNoMatchingCertificate = -5801;
constexpr int kSignedDataEncodingFailed = -5802;

// Signs `content` (the bytes build_digest_content gave for the same
// algorithm) with `key`, as the first of the `count` certificates whose
// public key is the key's. Every certificate goes into the SignedData, in
// order. program_name (NUL-terminated 16-bit units) and more_info_url may be
// null. Returns the length of the DER blob stored in *out (malloc'd, the
// caller frees it); kNoMatchingCertificate or kSignedDataEncodingFailed,
// with *out untouched, on failure. The key stays the caller's.
int build_signed_data(P7Certificate* certificates, int count, const uint8_t* content,
                      int content_length, DigestAlgorithm digest, int statement,
                      const char16_t* program_name, const char* more_info_url, uint8_t** out,
                      const SigningKey& key);

// The original selector: non-zero SHA-1, zero MD5.
inline int build_signed_data(P7Certificate* certificates, int count, const uint8_t* content,
                             int content_length, int use_sha1, int statement,
                             const char16_t* program_name, const char* more_info_url, uint8_t** out,
                             const SigningKey& key) {
    return build_signed_data(certificates, count, content, content_length,
                             digest_from_use_sha1(use_sha1), statement, program_name, more_info_url,
                             out, key);
}

}  // namespace fontseal

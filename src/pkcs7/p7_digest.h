// SPDX-License-Identifier: Apache-2.0
// The digest algorithms a font signature can use. One value names the
// algorithm everywhere it appears: the DigestInfo of the signed content, the
// SignerInfo's digestAlgorithm and the SignedData's digestAlgorithms set.
#pragma once
#include <cstddef>
#include <cstdint>

#include <openssl/types.h>

namespace fontseal {

class DerOid;

enum class DigestAlgorithm : int32_t {
    kMd5 = 0,
    kSha1 = 1,
    kSha256 = 2,
    kSha384 = 3,
    kSha512 = 4,
};

constexpr DigestAlgorithm kDigestMd5 = DigestAlgorithm::kMd5;
constexpr DigestAlgorithm kDigestSha1 = DigestAlgorithm::kSha1;

// The longest digest of the five (SHA-512).
constexpr int kMaxDigestSize = 64;

// The selector of the original signing calls: non-zero SHA-1, zero MD5.
inline DigestAlgorithm digest_from_use_sha1(int32_t use_sha1) {
    return use_sha1 ? DigestAlgorithm::kSha1 : DigestAlgorithm::kMd5;
}

// Accepts a number from outside (an export's argument) only when it names
// one of the five; false leaves `out` alone.
bool digest_from_value(int32_t value, DigestAlgorithm& out);

// Dotted object identifier, written with NULL parameters.
const char* digest_oid(DigestAlgorithm algorithm);
// Bytes of a digest: 16, 20, 32, 48 or 64.
int digest_size(DigestAlgorithm algorithm);
// The algorithm `oid` names; false for any other identifier.
bool digest_from_oid(const DerOid& oid, DigestAlgorithm& out);

// OpenSSL's implementation of the algorithm.
const EVP_MD* message_digest(DigestAlgorithm algorithm);

// Digests `length` bytes into `out` (digest_size bytes). False when the
// digest cannot be computed (no provider offers it).
bool digest_bytes(DigestAlgorithm algorithm, const uint8_t* data, std::size_t length, uint8_t* out);

}  // namespace fontseal

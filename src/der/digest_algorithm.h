// SPDX-License-Identifier: Apache-2.0
// The digest algorithms a font signature can use, in one table that signing,
// time-stamping, external signers and verifying all read. One value names the
// algorithm everywhere it appears: the DigestInfo of the signed content, the
// SignerInfo's digestAlgorithm, the SignedData's digestAlgorithms set, an
// RFC 3161 message imprint, and the FONTSEAL_HASH_* number of the public API.
#pragma once
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "der/oids.h"

namespace fontseal {

class DerOid;

// In order of strength: a later algorithm is never weaker than an earlier one.
enum class DigestAlgorithm : int32_t {
    kMd5 = 0,
    kSha1 = 1,
    kSha256 = 2,
    kSha384 = 3,
    kSha512 = 4,
};

struct DigestFacts {
    DigestAlgorithm algorithm;
    const char* name;   // "SHA-256": how reports and messages name it
    const char* oid;    // written with NULL parameters
    int nid;            // OpenSSL's number for it
    int size;           // bytes of a digest
    int32_t hashValue;  // its FONTSEAL_HASH_* (api/ holds these to the header)
    const EVP_MD* (*md)();
};

inline constexpr DigestFacts kDigestTable[] = {
    {DigestAlgorithm::kMd5, "MD5", kOidMd5, NID_md5, 16, 5, EVP_md5},
    {DigestAlgorithm::kSha1, "SHA-1", kOidSha1, NID_sha1, 20, 4, EVP_sha1},
    {DigestAlgorithm::kSha256, "SHA-256", kOidSha256, NID_sha256, 32, 1, EVP_sha256},
    {DigestAlgorithm::kSha384, "SHA-384", kOidSha384, NID_sha384, 48, 2, EVP_sha384},
    {DigestAlgorithm::kSha512, "SHA-512", kOidSha512, NID_sha512, 64, 3, EVP_sha512},
};

// The row of an algorithm; the table is in the enumeration's order.
constexpr const DigestFacts& digest_facts(DigestAlgorithm algorithm) {
    return kDigestTable[static_cast<int>(algorithm)];
}

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
// The algorithm of a FONTSEAL_HASH_* number other than 0 (the default,
// which the caller decides); false leaves `out` alone.
bool digest_from_hash_value(int32_t value, DigestAlgorithm& out);
// The algorithm OpenSSL numbers `nid`; null for any other.
const DigestFacts* digest_by_nid(int nid);
// The algorithm a caller names, letters compared without case and '-' or
// '_' left out ("sha256", "SHA-256", "sha_256"); null for any other.
const DigestFacts* digest_by_name(const std::string& name);

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

// The DER DigestInfo of `digest` (digest_size bytes): SEQUENCE { SEQUENCE {
// OID, NULL }, OCTET STRING }, what an RSA PKCS#1 v1.5 signature signs.
std::vector<uint8_t> digest_info(DigestAlgorithm algorithm, const uint8_t* digest);

}  // namespace fontseal

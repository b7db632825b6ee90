// SPDX-License-Identifier: Apache-2.0
#include "pkcs7/p7_digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include "der/der_oid.h"
#include "der/oids.h"

namespace fontseal {
namespace {

struct DigestEntry {
    DigestAlgorithm algorithm;
    const char* oid;
    int size;
};

constexpr DigestEntry kDigests[] = {
    {DigestAlgorithm::kMd5, kOidMd5, 16},       {DigestAlgorithm::kSha1, kOidSha1, 20},
    {DigestAlgorithm::kSha256, kOidSha256, 32}, {DigestAlgorithm::kSha384, kOidSha384, 48},
    {DigestAlgorithm::kSha512, kOidSha512, 64},
};

const DigestEntry& entry(DigestAlgorithm algorithm) {
    for (const DigestEntry& e : kDigests)
        if (e.algorithm == algorithm) return e;
    return kDigests[1];  // unreachable for the enumerated values
}

}  // namespace

const EVP_MD* message_digest(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::kMd5:
            return EVP_md5();
        case DigestAlgorithm::kSha1:
            return EVP_sha1();
        case DigestAlgorithm::kSha256:
            return EVP_sha256();
        case DigestAlgorithm::kSha384:
            return EVP_sha384();
        case DigestAlgorithm::kSha512:
            return EVP_sha512();
    }
    return nullptr;
}

bool digest_from_value(int32_t value, DigestAlgorithm& out) {
    for (const DigestEntry& e : kDigests) {
        if (static_cast<int32_t>(e.algorithm) == value) {
            out = e.algorithm;
            return true;
        }
    }
    return false;
}

const char* digest_oid(DigestAlgorithm algorithm) { return entry(algorithm).oid; }

int digest_size(DigestAlgorithm algorithm) { return entry(algorithm).size; }

bool digest_from_oid(const DerOid& oid, DigestAlgorithm& out) {
    for (const DigestEntry& e : kDigests) {
        if (oid.equals(e.oid)) {
            out = e.algorithm;
            return true;
        }
    }
    return false;
}

bool digest_bytes(DigestAlgorithm algorithm, const uint8_t* data, std::size_t length,
                  uint8_t* out) {
    static const uint8_t kEmpty[1] = {0};
    unsigned int written = 0;
    const EVP_MD* md = message_digest(algorithm);
    if (!md || !EVP_Digest(length > 0 && data ? data : kEmpty, data ? length : 0, out, &written, md,
                           nullptr)) {
        ERR_clear_error();
        return false;
    }
    return static_cast<int>(written) == digest_size(algorithm);
}

}  // namespace fontseal

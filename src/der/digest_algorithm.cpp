// SPDX-License-Identifier: Apache-2.0
#include "der/digest_algorithm.h"

#include <openssl/err.h>

#include <cctype>

#include "base/memory_stream.h"
#include "base/shared_ref.h"
#include "der/der_header.h"
#include "der/der_null.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_sequence.h"

namespace fontseal {

static_assert(sizeof kDigestTable / sizeof kDigestTable[0] == 5, "one row an algorithm");
static_assert(digest_facts(DigestAlgorithm::kMd5).algorithm == DigestAlgorithm::kMd5 &&
                  digest_facts(DigestAlgorithm::kSha1).algorithm == DigestAlgorithm::kSha1 &&
                  digest_facts(DigestAlgorithm::kSha256).algorithm == DigestAlgorithm::kSha256 &&
                  digest_facts(DigestAlgorithm::kSha384).algorithm == DigestAlgorithm::kSha384 &&
                  digest_facts(DigestAlgorithm::kSha512).algorithm == DigestAlgorithm::kSha512,
              "the table is in the enumeration's order");

const EVP_MD* message_digest(DigestAlgorithm algorithm) { return digest_facts(algorithm).md(); }

bool digest_from_value(int32_t value, DigestAlgorithm& out) {
    for (const DigestFacts& e : kDigestTable) {
        if (static_cast<int32_t>(e.algorithm) == value) {
            out = e.algorithm;
            return true;
        }
    }
    return false;
}

bool digest_from_hash_value(int32_t value, DigestAlgorithm& out) {
    for (const DigestFacts& e : kDigestTable) {
        if (e.hashValue == value) {
            out = e.algorithm;
            return true;
        }
    }
    return false;
}

const DigestFacts* digest_by_nid(int nid) {
    for (const DigestFacts& e : kDigestTable)
        if (e.nid == nid) return &e;
    return nullptr;
}

const DigestFacts* digest_by_name(const std::string& name) {
    const auto key = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c != '-' && c != '_')
                out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return out;
    };
    const std::string wanted = key(name);
    for (const DigestFacts& e : kDigestTable)
        if (key(e.name) == wanted) return &e;
    return nullptr;
}

const char* digest_oid(DigestAlgorithm algorithm) { return digest_facts(algorithm).oid; }

int digest_size(DigestAlgorithm algorithm) { return digest_facts(algorithm).size; }

bool digest_from_oid(const DerOid& oid, DigestAlgorithm& out) {
    for (const DigestFacts& e : kDigestTable) {
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

std::vector<uint8_t> digest_info(DigestAlgorithm algorithm, const uint8_t* digest) {
    auto* algorithmId = new DerSequence(kTagSequence, kFormConstructed);
    SharedRef<DerValue> algorithmIdRef(algorithmId);
    algorithmId->add(SharedRef<DerValue>(new DerOid(digest_oid(algorithm))));
    algorithmId->add(SharedRef<DerValue>(new DerNull()));
    DerSequence info(kTagSequence, kFormConstructed);
    info.add(algorithmIdRef);
    info.add(SharedRef<DerValue>(new DerOctetString(digest, digest_size(algorithm), false)));
    MemoryStream bytes(info.encode(nullptr), 0);
    info.encode(&bytes);
    return std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.position());
}

}  // namespace fontseal

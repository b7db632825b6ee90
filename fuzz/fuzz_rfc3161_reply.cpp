// SPDX-License-Identifier: Apache-2.0
// The handling of an RFC 3161 server's reply, with the fuzz input in place of
// what the HTTP exchange brings back.
//
// Input: one byte choosing the imprint digest of the query (low 2 bits:
// SHA-256, SHA-384, SHA-512, SHA-1), then the reply. The query is the one
// the signer makes for a fixed signature value with a fixed nonce, so that
// seeds made by `openssl ts -reply` for it get past the imprint and nonce.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "timestamp/timestamp_signature.h"

using namespace fontseal;

namespace {

const uint8_t kSignature[] = "fontseal fuzz: the signature value that is time-stamped";
const uint8_t kNonce[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

const DigestAlgorithm kHashes[] = {DigestAlgorithm::kSha256, DigestAlgorithm::kSha384,
                                   DigestAlgorithm::kSha512, DigestAlgorithm::kSha1};

TimeStampSubject subject_for(int choice) {
    return TimeStampSubject{kSignature, static_cast<int>(sizeof kSignature - 1),
                            DigestAlgorithm::kSha256, kHashes[choice & 3]};
}

const std::vector<uint8_t>& query_for(int choice) {
    static std::vector<uint8_t> queries[4];
    std::vector<uint8_t>& query = queries[choice & 3];
    if (query.empty())
        FUZZ_CHECK(make_rfc3161_query(subject_for(choice), query, kNonce, sizeof kNonce));
    return query;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1 << 20) return 0;
    const int choice = data[0];
    const std::vector<uint8_t>& query = query_for(choice);
    TimeStampToken token;
    std::string fault;
    const bool stamped =
        read_rfc3161_reply(subject_for(choice), query.data(), static_cast<int>(query.size()),
                           data + 1, static_cast<int>(size - 1), token, fault);
    // A stamp comes with its attribute; a refusal always says why, in text
    // that can be shown as it is.
    FUZZ_CHECK(stamped == (token.attribute.get() != nullptr));
    FUZZ_CHECK(stamped || !fault.empty());
    for (char c : fault) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    if (stamped) FUZZ_CHECK(token.attribute->encode(nullptr) > 0);
    return 0;
}

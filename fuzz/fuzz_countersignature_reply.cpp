// SPDX-License-Identifier: Apache-2.0
// The handling of a counter-signature server's reply, with the fuzz input in
// place of the reply text the HTTP exchange brings back (base64 of a PKCS#7
// SignedData over a fixed signature value).
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "timestamp/timestamp_signature.h"

using namespace fontseal;

namespace {

const uint8_t kSignature[] = "fontseal fuzz: the signature value that is time-stamped";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    const TimeStampSubject subject{kSignature, static_cast<int>(sizeof kSignature - 1),
                                   DigestAlgorithm::kSha1, DigestAlgorithm::kSha256};
    TimeStampToken token;
    std::string fault;
    const bool stamped =
        read_counter_signature_reply(subject, data, static_cast<int>(size), token, fault);
    FUZZ_CHECK(stamped == (token.attribute.get() != nullptr));
    FUZZ_CHECK(stamped || !fault.empty());
    if (stamped) {
        FUZZ_CHECK(token.attribute->encode(nullptr) > 0);
        // The reply's certificates, the signer's among them, go with it.
        FUZZ_CHECK(token.certificates.count() > 0);
    }
    return 0;
}

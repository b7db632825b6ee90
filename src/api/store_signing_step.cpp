// SPDX-License-Identifier: Apache-2.0
#include "api/store_signing_step.h"


namespace fontseal {

int StoreSigningStep::sign(const uint8_t* content, int length, const SignOptions& options,
                           uint8_t** out) {
    Csp* owner = certificate_ ? certificate_->owner() : nullptr;
    if (!owner) return -1;
    // The provider interface knows only the two original algorithms; content
    // digested otherwise must not be signed as if it were SHA-1.
    int32_t use_sha1 = options.useSha1;
    if (options.digest) {
        if (*options.digest != DigestAlgorithm::kSha1 && *options.digest != DigestAlgorithm::kMd5)
            return -1;
        use_sha1 = *options.digest == DigestAlgorithm::kSha1;
    }
    return owner->sign(certificate_, content, length, use_sha1, options.statement,
                       options.programName, options.moreInfoUrl, out);
}

}  // namespace fontseal

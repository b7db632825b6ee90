#include "api/store_signing_step.h"

#include "api/result_codes.h"

namespace fontseal {

int StoreSigningStep::sign(const uint8_t* content, int length, const SignOptions& options,
                           uint8_t** out) {
    Csp* owner = certificate_ ? certificate_->owner() : nullptr;
    if (!owner) return -1;
    return owner->sign(certificate_, content, length, options.useSha1, options.statement,
                       options.programName, options.moreInfoUrl, out);
}

int32_t StoreSigningStep::failureCode(int) const { return kResultSign; }

}  // namespace fontseal

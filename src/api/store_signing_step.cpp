#include "api/store_signing_step.h"


namespace fontseal {

int StoreSigningStep::sign(const uint8_t* content, int length, const SignOptions& options,
                           uint8_t** out) {
    Csp* owner = certificate_ ? certificate_->owner() : nullptr;
    if (!owner) return -1;
    return owner->sign(certificate_, content, length, options.useSha1, options.statement,
                       options.programName, options.moreInfoUrl, out);
}

}  // namespace fontseal

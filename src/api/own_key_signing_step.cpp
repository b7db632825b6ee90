#include "api/own_key_signing_step.h"

#include "sign/signed_data_builder.h"

namespace fontseal {

int OwnKeySigningStep::sign(const uint8_t* content, int length, const SignOptions& options,
                            uint8_t** out) {
    return build_signed_data(certificates_.begin(), certificates_.count(), content, length,
                             options.digestAlgorithm(), options.statement, options.programName,
                             options.moreInfoUrl, out, key_);
}

}  // namespace fontseal

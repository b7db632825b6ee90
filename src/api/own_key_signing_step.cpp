#include "api/own_key_signing_step.h"

#include "base/shared_ref.h"
#include "sign/signed_data_builder.h"

namespace fontseal {

int OwnKeySigningStep::sign(const uint8_t* content, int length, const SignOptions& options,
                            uint8_t** out) {
    // The key stays the caller's: the reference handed down never frees it.
    return build_signed_data(certificates_.begin(), certificates_.count(), content, length,
                             options.useSha1, options.statement, options.programName,
                             options.moreInfoUrl, out, SharedRef<RSA>::borrowed(key_));
}

}  // namespace fontseal

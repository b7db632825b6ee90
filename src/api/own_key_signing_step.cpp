// SPDX-License-Identifier: Apache-2.0
#include "api/own_key_signing_step.h"

#include <ctime>

#include "api/certificate_warning.h"
#include "sign/signed_data_builder.h"
#include "sign/signer_selection.h"

namespace fontseal {

int OwnKeySigningStep::sign(const uint8_t* content, int length, const SignOptions& options,
                            uint8_t** out) {
    if (options.certificateWarning) {
        const int signer = find_signer(certificates_.begin(), certificates_.count(), key_);
        if (signer >= 0 && certificates_[signer].raw()) {
            const DerRaw& der = *certificates_[signer].raw();
            *options.certificateWarning = certificate_warning(
                der.data(), static_cast<size_t>(der.length()), std::time(nullptr));
        }
    }
    return build_signed_data(certificates_.begin(), certificates_.count(), content, length,
                             options.digestAlgorithm(), options.statement, options.programName,
                             options.moreInfoUrl, out, key_);
}

}  // namespace fontseal

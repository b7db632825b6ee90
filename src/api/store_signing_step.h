// SPDX-License-Identifier: Apache-2.0
// Signing through a certificate entry of a system-store signer: the entry's
// owner makes the signature with the key the store holds for it.
#pragma once
#include "api/signing_step.h"
#include "fontseal/csp.h"

namespace fontseal {

class StoreSigningStep : public SigningStep {
public:
    explicit StoreSigningStep(CspCert* certificate) : certificate_(certificate) {}
    int sign(const uint8_t* content, int length, const SignOptions& options,
             uint8_t** out) override;

private:
    CspCert* certificate_;
};

}  // namespace fontseal

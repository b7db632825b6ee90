// SPDX-License-Identifier: Apache-2.0
// Signing with the publisher's own key: the library builds and signs the
// SignedData itself, with the certificate that belongs to the key.
#pragma once
#include "api/signing_step.h"
#include "base/grow_array.h"
#include "key/signing_key.h"
#include "x509/p7_certificate.h"

namespace fontseal {

class OwnKeySigningStep : public SigningStep {
public:
    OwnKeySigningStep(GrowArray<P7Certificate>& certificates, const SigningKey& key)
        : certificates_(certificates), key_(key) {}
    int sign(const uint8_t* content, int length, const SignOptions& options,
             uint8_t** out) override;

private:
    GrowArray<P7Certificate>& certificates_;
    const SigningKey& key_;
};

}  // namespace fontseal

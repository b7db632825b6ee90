// Signing with the publisher's own key: the library builds and signs the
// SignedData itself, with the certificate that belongs to the key.
#pragma once
#include <openssl/rsa.h>

#include "api/signing_step.h"
#include "x509/p7_certificate.h"
#include "base/grow_array.h"

namespace fontseal {

class OwnKeySigningStep : public SigningStep {
public:
    OwnKeySigningStep(GrowArray<P7Certificate>& certificates, RSA* key)
        : certificates_(certificates), key_(key) {}
    int sign(const uint8_t* content, int length, const SignOptions& options,
             uint8_t** out) override;

private:
    GrowArray<P7Certificate>& certificates_;
    RSA* key_;
};

}  // namespace fontseal

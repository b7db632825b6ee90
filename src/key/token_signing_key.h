// SPDX-License-Identifier: Apache-2.0
// A signing key that stays on a PKCS#11 token: the signer gets its public
// half and one RSA operation per signature, never the key itself.
#pragma once
#include <cstdint>
#include <vector>

#include "key/signing_key.h"
#include "platform/pkcs11_key.h"

namespace fontseal {

class TokenSigningKey final : public SigningKey {
public:
    // Opens the key a pkcs11: URI names, logging in when the token asks for
    // it (the PIN from platform/pin_source.h). Raises the kErrToken* codes
    // of platform/pkcs11_module.h.
    explicit TokenSigningKey(const char* uri);

    bool publicKey(RsaPublicKey& out) const override;
    int signatureSize() const override;
    bool signDigestInfo(const uint8_t* digestInfo, int length,
                        std::vector<uint8_t>& signature) const override;

    // The DER of the token's certificate with the key's CKA_ID; false when
    // the token holds none.
    bool certificate(std::vector<uint8_t>& der) const { return key_.certificate(der); }

private:
    static TokenKeyUri parsed(const char* uri);
    Pkcs11Key key_;
};

}  // namespace fontseal

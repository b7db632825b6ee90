// A signing key that stays on a PKCS#11 token: the signer gets its public
// half and one RSA operation per signature, never the key itself.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "key/secure_bytes.h"
#include "key/signing_key.h"
#include "platform/pkcs11_module.h"

namespace fontseal {

class TokenSigningKey final : public SigningKey {
public:
    // Opens the key a pkcs11: URI names, logging in with `pin` (null: none).
    // Raises the kErrToken* codes of platform/pkcs11_module.h.
    TokenSigningKey(const char* uri, const uint8_t* pin, size_t pinLength);

    bool publicKey(RsaPublicKey& out) const override;
    int signatureSize() const override;
    bool signDigestInfo(const uint8_t* digestInfo, int length,
                        std::vector<uint8_t>& signature) const override;

    // The DER of the token's certificate with the key's CKA_ID; false when
    // the token holds none.
    bool certificate(std::vector<uint8_t>& der) const;

private:
    std::unique_ptr<Pkcs11Session> session_;
    CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
    bool alwaysAuthenticate_ = false;
    std::vector<uint8_t> id_;
    RsaPublicKey public_;
    // Kept only for a key that asks for the PIN before every signature.
    SecureBytes pin_;
    bool hasPin_ = false;
};

}  // namespace fontseal

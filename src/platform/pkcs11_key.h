// SPDX-License-Identifier: Apache-2.0
// A private key held on a PKCS#11 token, opened for signing: its public
// numbers and one RSA operation per signature, never the key itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/pkcs11_module.h"

namespace fontseal {

class Pkcs11Key {
public:
    // Opens the private key `uri` names, logging in when the token asks for
    // it. Raises the kErrToken* codes of platform/pkcs11_module.h.
    explicit Pkcs11Key(const TokenKeyUri& uri);

    // Big-endian, without leading zeros.
    const std::vector<uint8_t>& modulus() const { return modulus_; }
    const std::vector<uint8_t>& exponent() const { return exponent_; }
    // The width of every signature: the modulus size.
    size_t signatureSize() const { return modulus_.size(); }
    // A PKCS#1 v1.5 signature over a DER DigestInfo, exactly
    // signatureSize() bytes. False when the token refuses.
    bool sign(const uint8_t* digestInfo, size_t length, std::vector<uint8_t>& signature) const;
    // The DER of the token's certificate with the key's CKA_ID; false when
    // the token holds none.
    bool certificate(std::vector<uint8_t>& der) const;
    const Pkcs11Token& token() const { return session_->token(); }

private:
    std::unique_ptr<Pkcs11Session> session_;
    CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
    bool alwaysAuthenticate_ = false;
    std::vector<uint8_t> id_;
    std::vector<uint8_t> modulus_;
    std::vector<uint8_t> exponent_;
};

}  // namespace fontseal

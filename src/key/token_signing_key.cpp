// SPDX-License-Identifier: Apache-2.0
#include "key/token_signing_key.h"

#include "base/error.h"

namespace fontseal {

TokenKeyUri TokenSigningKey::parsed(const char* uri) {
    TokenKeyUri out;
    if (!parse_pkcs11_uri(uri, out)) throw error(kErrTokenUri);
    return out;
}

TokenSigningKey::TokenSigningKey(const char* uri) : key_(parsed(uri)) {}

bool TokenSigningKey::publicKey(RsaPublicKey& out) const {
    out.modulus = key_.modulus();
    out.exponent = key_.exponent();
    return true;
}

int TokenSigningKey::signatureSize() const { return static_cast<int>(key_.signatureSize()); }

bool TokenSigningKey::signDigestInfo(const uint8_t* digestInfo, int length,
                                     std::vector<uint8_t>& signature) const {
    return length >= 0 && key_.sign(digestInfo, static_cast<size_t>(length), signature);
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// A signing key held as an OpenSSL key object, as every key read from a file
// ends up.
#pragma once
#include <openssl/types.h>

#include <memory>

#include "base/ossl_ptr.h"
#include "key/signing_key.h"

namespace fontseal {

// A library context with its providers. Keys decoded in it refer to its
// providers, so a key keeps a reference to the context it came from.
using KeyLibraryRef = std::shared_ptr<OSSL_LIB_CTX>;

// The modulus and exponent of an RSA key, big-endian; false for a null key
// or any other kind. Leaves OpenSSL's error queue clear.
bool rsa_public_numbers(const EVP_PKEY* key, RsaPublicKey& out);

class EvpSigningKey final : public SigningKey {
public:
    // `library` is the context `key` was made in; null for the default one.
    explicit EvpSigningKey(EvpPkeyPtr key, KeyLibraryRef library = nullptr)
        : library_(std::move(library)), key_(std::move(key)) {}

    bool publicKey(RsaPublicKey& out) const override;
    int signatureSize() const override;
    bool signDigestInfo(const uint8_t* digestInfo, int length,
                        std::vector<uint8_t>& signature) const override;

    EVP_PKEY* get() const { return key_.get(); }
    OSSL_LIB_CTX* library() const { return library_.get(); }

private:
    // Declared first so that it outlives the key.
    KeyLibraryRef library_;
    EvpPkeyPtr key_;
};

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// A store's key as the signer's key: the store hands out only a provider that
// gives the public key and signs a DigestInfo, which is all SigningKey asks.
// The signer then builds the SignedData itself, with any digest it offers.
#pragma once
#include "key/signing_key.h"
#include "platform/cert_store.h"

namespace fontseal {

class ProviderSigningKey final : public SigningKey {
public:
    // `provider` is borrowed and must outlive this key. It is not shared
    // between threads: each signing call opens its own.
    explicit ProviderSigningKey(StoreKeyProvider& provider) : provider_(provider) {}

    bool publicKey(RsaPublicKey& out) const override;
    int signatureSize() const override;
    bool signDigestInfo(const uint8_t* digestInfo, int length,
                        std::vector<uint8_t>& signature) const override;

private:
    StoreKeyProvider& provider_;
};

}  // namespace fontseal

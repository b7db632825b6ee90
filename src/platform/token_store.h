// SPDX-License-Identifier: Apache-2.0
// The certificates on PKCS#11 tokens as one more store: each X.509
// certificate of an initialised token is an entry, and its key, when the
// token holds a private key with the certificate's CKA_ID, stays there and
// signs there.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/cert_store.h"
#include "platform/pkcs11_module.h"

namespace fontseal {

class TokenCertStore : public CertStore {
public:
    explicit TokenCertStore(std::shared_ptr<Pkcs11Module> module) : module_(std::move(module)) {}
    // Lists every token of the module without logging in. Certificates a
    // token marks as an authority's (CKA_CERTIFICATE_CATEGORY 2, as trust
    // modules mark their anchors) are not the user's own and are left out.
    bool load(std::vector<StoreEntry>& entries, uint32_t* fault) const override;

private:
    std::shared_ptr<Pkcs11Module> module_;
};

// The key of a token entry: opening it logs in (asking for the PIN when no
// login is held) and finds the private key by CKA_ID.
class TokenKeyRef : public StoreKeyRef {
public:
    TokenKeyRef(std::string modulePath, const Pkcs11Token& token, std::vector<uint8_t> id);
    std::string locator() const override { return locator_; }
    std::unique_ptr<StoreKeyProvider> open(uint32_t* fault) const override;

private:
    TokenKeyUri uri_;
    std::string locator_;
};

}  // namespace fontseal

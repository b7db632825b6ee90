// SPDX-License-Identifier: Apache-2.0
#include "platform/token_store.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cstring>
#include <new>

#include "base/error.h"
#include "base/ossl_ptr.h"
#include "platform/pkcs11_key.h"

namespace fontseal {

namespace {

constexpr CK_ULONG kCategoryAuthority = 2;

CK_ULONG ulong_of(const std::vector<uint8_t>& value, CK_ULONG otherwise) {
    if (value.size() != sizeof(CK_ULONG)) return otherwise;
    CK_ULONG out;
    std::memcpy(&out, value.data(), sizeof out);
    return out;
}

uint32_t fault_of(int32_t code) {
    switch (code) {
        case kErrTokenModule:
            return kStoreNoModule;
        case kErrTokenNotFound:
            return kStoreNoToken;
        case kErrTokenObjectNotFound:
            return kStoreNoKeySet;
        case kErrTokenPin:
            return kStorePinRefused;
        case kErrTokenPinLocked:
            return kStorePinLocked;
        case kErrTokenPinSource:
            return kStorePinSource;
        case kErrTokenKeyNotRsa:
            return kStoreBadAlgorithm;
        default:
            return kStoreSignFailed;
    }
}

// The token key as the store's key calls use it.
class TokenKeyProvider : public StoreKeyProvider {
public:
    explicit TokenKeyProvider(const TokenKeyUri& uri) : key_(uri) {}

    StoreBytes publicKeyInfo() const override {
        BignumPtr n(
            BN_bin2bn(key_.modulus().data(), static_cast<int>(key_.modulus().size()), nullptr));
        BignumPtr e(
            BN_bin2bn(key_.exponent().data(), static_cast<int>(key_.exponent().size()), nullptr));
        ParamBuildPtr build(OSSL_PARAM_BLD_new());
        if (!n || !e || !build ||
            !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
            !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
            throw std::bad_alloc();
        ParamsPtr params(OSSL_PARAM_BLD_to_param(build.get()));
        PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        EVP_PKEY* raw = nullptr;
        if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
            EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
            throw std::bad_alloc();
        EvpPkeyPtr key(raw);
        int length = i2d_PUBKEY(key.get(), nullptr);
        if (length <= 0) throw std::bad_alloc();
        StoreBytes out(static_cast<size_t>(length));
        unsigned char* p = out.data();
        i2d_PUBKEY(key.get(), &p);
        return out;
    }
    size_t signatureSize() const override { return key_.signatureSize(); }
    bool signDigestInfo(const uint8_t* digest_info, size_t length, StoreBytes& signature) override {
        return key_.sign(digest_info, length, signature);
    }

private:
    Pkcs11Key key_;
};

}  // namespace

TokenKeyRef::TokenKeyRef(std::string modulePath, const Pkcs11Token& token, std::vector<uint8_t> id)
    : locator_(token_key_uri(token, id)) {
    uri_.token = token.label;
    uri_.manufacturer = token.manufacturer;
    uri_.model = token.model;
    uri_.serial = token.serial;
    uri_.id = std::move(id);
    uri_.hasId = true;
    uri_.modulePath = std::move(modulePath);
}

std::unique_ptr<StoreKeyProvider> TokenKeyRef::open(uint32_t* fault) const {
    try {
        return std::make_unique<TokenKeyProvider>(uri_);
    } catch (const error& e) {
        if (fault) *fault = fault_of(e.code);
        return nullptr;
    }
}

bool TokenCertStore::load(std::vector<StoreEntry>& entries, uint32_t* fault) const {
    std::vector<Pkcs11Token> tokens;
    try {
        tokens = module_->tokens();
    } catch (const error&) {
        if (fault) *fault = kStoreNoModule;
        return false;
    }
    for (const Pkcs11Token& token : tokens) {
        try {
            Pkcs11Session session(module_, token);
            const bool visible = session.privateObjectsVisible();
            for (CK_OBJECT_HANDLE object : session.findObjects(CKO_CERTIFICATE)) {
                std::vector<uint8_t> type, category, value, id, label;
                if (!session.attribute(object, CKA_CERTIFICATE_TYPE, type) ||
                    ulong_of(type, ~CK_ULONG(0)) != CKC_X_509)
                    continue;
                if (session.attribute(object, CKA_CERTIFICATE_CATEGORY, category) &&
                    ulong_of(category, 0) == kCategoryAuthority)
                    continue;
                if (!session.attribute(object, CKA_VALUE, value) || value.empty()) continue;
                StoreEntry entry;
                entry.certificate = std::move(value);
                if (session.attribute(object, CKA_LABEL, label))
                    entry.friendlyName.assign(label.begin(), label.end());
                entry.tokenLabel = token.label;
                entry.tokenSerial = token.serial;
                CK_OBJECT_HANDLE key;
                session.attribute(object, CKA_ID, id);
                const bool present =
                    !id.empty() && session.findObject(CKO_PRIVATE_KEY, &id, nullptr, key);
                entry.keyUnknown = !present && !visible && !id.empty();
                if (present || entry.keyUnknown)
                    entry.key = std::make_shared<TokenKeyRef>(module_->path(), token, id);
                entries.push_back(std::move(entry));
            }
        } catch (const error&) {
            // A token that fails while it is read (pulled out, busy) lists
            // nothing; the others still do.
        }
    }
    return true;
}

}  // namespace fontseal

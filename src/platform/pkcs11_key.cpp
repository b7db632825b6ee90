// SPDX-License-Identifier: Apache-2.0
#include "platform/pkcs11_key.h"

#include "base/error.h"

namespace fontseal {

namespace {

std::vector<uint8_t> without_leading_zeros(const std::vector<uint8_t>& value) {
    size_t skip = 0;
    while (skip + 1 < value.size() && value[skip] == 0) ++skip;
    return std::vector<uint8_t>(value.begin() + skip, value.end());
}

bool read_flag(Pkcs11Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    std::vector<uint8_t> value;
    return session.attribute(object, type, value) && value.size() == sizeof(CK_BBOOL) &&
           value[0] != CK_FALSE;
}

}  // namespace

Pkcs11Key::Pkcs11Key(const TokenKeyUri& uri) {
    auto module = Pkcs11Module::load(uri.modulePath);
    session_ = std::make_unique<Pkcs11Session>(module, uri);
    session_->login();
    if (!session_->findObject(CKO_PRIVATE_KEY, uri.hasId ? &uri.id : nullptr,
                              uri.object.empty() ? nullptr : &uri.object, key_))
        throw error(kErrTokenObjectNotFound);
    std::vector<uint8_t> type;
    if (!session_->attribute(key_, CKA_KEY_TYPE, type) || type.size() != sizeof(CK_KEY_TYPE) ||
        *reinterpret_cast<const CK_KEY_TYPE*>(type.data()) != CKK_RSA)
        throw error(kErrTokenKeyNotRsa);
    session_->attribute(key_, CKA_ID, id_);
    alwaysAuthenticate_ = read_flag(*session_, key_, CKA_ALWAYS_AUTHENTICATE);

    std::vector<uint8_t> modulus, exponent;
    bool known = session_->attribute(key_, CKA_MODULUS, modulus) &&
                 session_->attribute(key_, CKA_PUBLIC_EXPONENT, exponent);
    if (!known) {
        // Some tokens reveal nothing of a private key: its public key object
        // carries the same numbers.
        CK_OBJECT_HANDLE publicKey;
        known = !id_.empty() && session_->findObject(CKO_PUBLIC_KEY, &id_, nullptr, publicKey) &&
                session_->attribute(publicKey, CKA_MODULUS, modulus) &&
                session_->attribute(publicKey, CKA_PUBLIC_EXPONENT, exponent);
    }
    if (!known || modulus.empty() || exponent.empty()) throw error(kErrTokenFailure);
    modulus_ = without_leading_zeros(modulus);
    exponent_ = without_leading_zeros(exponent);
}

bool Pkcs11Key::sign(const uint8_t* digestInfo, size_t length,
                     std::vector<uint8_t>& signature) const {
    // PKCS#1 v1.5 type 1 needs 11 bytes besides the DigestInfo.
    const size_t size = signatureSize();
    if (length + 11 > size) return false;
    std::vector<uint8_t> raw(size);
    if (!session_->signRsaPkcs(key_, alwaysAuthenticate_, digestInfo, length, raw)) return false;
    // A token may drop leading zero bytes; the signature keeps the width.
    if (raw.size() > size) return false;
    signature.assign(size - raw.size(), 0);
    signature.insert(signature.end(), raw.begin(), raw.end());
    return true;
}

bool Pkcs11Key::certificate(std::vector<uint8_t>& der) const {
    CK_OBJECT_HANDLE object;
    return !id_.empty() && session_->findObject(CKO_CERTIFICATE, &id_, nullptr, object) &&
           session_->attribute(object, CKA_VALUE, der) && !der.empty();
}

}  // namespace fontseal

#include "key/token_signing_key.h"

#include <string>

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

TokenSigningKey::TokenSigningKey(const char* uri, const uint8_t* pin, size_t pinLength) {
    TokenKeyUri parsed;
    if (!parse_pkcs11_uri(uri, parsed)) throw error(kErrTokenUri);
    auto module = Pkcs11Module::load(parsed.modulePath);
    session_ = std::make_unique<Pkcs11Session>(module, parsed, pin, pinLength);

    if (!session_->findObject(CKO_PRIVATE_KEY, parsed.hasId ? &parsed.id : nullptr,
                              parsed.object.empty() ? nullptr : &parsed.object, key_)) {
        // Private keys are hidden until the user logs in: with no PIN given
        // the missing PIN is the likelier fault.
        throw error(pin ? kErrTokenObjectNotFound : kErrTokenPin);
    }
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
    public_.modulus = without_leading_zeros(modulus);
    public_.exponent = without_leading_zeros(exponent);

    if (alwaysAuthenticate_ && pin) {
        pin_.assign(pin, pin + pinLength);
        hasPin_ = true;
    }
}

bool TokenSigningKey::publicKey(RsaPublicKey& out) const {
    out = public_;
    return true;
}

int TokenSigningKey::signatureSize() const { return static_cast<int>(public_.modulus.size()); }

bool TokenSigningKey::signDigestInfo(const uint8_t* digestInfo, int length,
                                     std::vector<uint8_t>& signature) const {
    // PKCS#1 v1.5 type 1 needs 11 bytes besides the DigestInfo.
    const int size = signatureSize();
    if (length < 0 || length + 11 > size) return false;
    std::vector<uint8_t> raw(size);
    if (!session_->signRsaPkcs(key_, alwaysAuthenticate_, digestInfo, length,
                               hasPin_ ? pin_.data() : nullptr, pin_.size(), raw))
        return false;
    // A token may drop leading zero bytes; the signature keeps the width.
    if (raw.size() > static_cast<size_t>(size)) return false;
    signature.assign(size - raw.size(), 0);
    signature.insert(signature.end(), raw.begin(), raw.end());
    return true;
}

bool TokenSigningKey::certificate(std::vector<uint8_t>& der) const {
    CK_OBJECT_HANDLE object;
    return !id_.empty() && session_->findObject(CKO_CERTIFICATE, &id_, nullptr, object) &&
           session_->attribute(object, CKA_VALUE, der) && !der.empty();
}

}  // namespace fontseal

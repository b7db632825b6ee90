// SPDX-License-Identifier: Apache-2.0
#include "key/external_signing_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <utility>

#include "base/ossl_ptr.h"

namespace fontseal {

namespace {

// The DER of a DigestInfo up to its digest's octets: SEQUENCE { SEQUENCE {
// OID, NULL }, OCTET STRING }, as PKCS#1 lists them.
struct DigestInfoForm {
    DigestInfoHash hash;
    size_t digestLength;
    uint8_t prefix[19];
    size_t prefixLength;
};

const DigestInfoForm kForms[] = {
    {DigestInfoHash::kMd5,
     16,
     {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05,
      0x00, 0x04, 0x10},
     18},
    {DigestInfoHash::kSha1,
     20,
     {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14},
     15},
    {DigestInfoHash::kSha256,
     32,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
      0x05, 0x00, 0x04, 0x20},
     19},
    {DigestInfoHash::kSha384,
     48,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
      0x05, 0x00, 0x04, 0x30},
     19},
    {DigestInfoHash::kSha512,
     64,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
      0x05, 0x00, 0x04, 0x40},
     19},
};

using PublicBn = BignumPtr;

EvpPkeyPtr rsa_public_key(const RsaPublicKey& key) {
    PublicBn n(BN_bin2bn(key.modulus.data(), static_cast<int>(key.modulus.size()), nullptr));
    PublicBn e(BN_bin2bn(key.exponent.data(), static_cast<int>(key.exponent.size()), nullptr));
    ParamBuildPtr builder(OSSL_PARAM_BLD_new());
    if (!n || !e || !builder || BN_is_zero(n.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return nullptr;
    ParamsPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* made = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
        EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
        return nullptr;
    return EvpPkeyPtr(made);
}

// Magnitudes as a token or certificate gives them may carry a leading zero.
std::vector<uint8_t> trimmed(std::vector<uint8_t> bytes) {
    size_t zeros = 0;
    while (zeros + 1 < bytes.size() && bytes[zeros] == 0) ++zeros;
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(zeros));
    return bytes;
}

}  // namespace

bool split_digest_info(const uint8_t* digestInfo, size_t length, DigestInfoHash& hash,
                       size_t& digestOffset) {
    if (!digestInfo) return false;
    for (const DigestInfoForm& form : kForms) {
        if (length != form.prefixLength + form.digestLength ||
            std::memcmp(digestInfo, form.prefix, form.prefixLength) != 0)
            continue;
        hash = form.hash;
        digestOffset = form.prefixLength;
        return true;
    }
    return false;
}

ExternalSigningKey::ExternalSigningKey(RsaPublicKey publicKey, ExternalSigner& signer)
    : public_{trimmed(std::move(publicKey.modulus)), trimmed(std::move(publicKey.exponent))},
      signer_(signer),
      verifier_(rsa_public_key(public_)) {
    ERR_clear_error();
}

bool ExternalSigningKey::publicKey(RsaPublicKey& out) const {
    if (!verifier_) return false;
    out = public_;
    return true;
}

int ExternalSigningKey::signatureSize() const {
    return verifier_ ? EVP_PKEY_get_size(verifier_.get()) : 0;
}

bool ExternalSigningKey::verifies(const uint8_t* digestInfo, size_t length,
                                  const std::vector<uint8_t>& signature) const {
    // No digest on the context: the recovered block is compared with the
    // DigestInfo as it stands, which is what was asked to be signed.
    PkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, verifier_.get(), nullptr));
    const bool ok =
        context && EVP_PKEY_verify_init(context.get()) > 0 &&
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) > 0 &&
        EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digestInfo, length) == 1;
    ERR_clear_error();
    return ok;
}

bool ExternalSigningKey::signDigestInfo(const uint8_t* digestInfo, int length,
                                        std::vector<uint8_t>& signature) const {
    signature.clear();
    answerLength_ = 0;
    DigestInfoHash hash;
    size_t offset = 0;
    const int size = signatureSize();
    if (size <= 0 || length < 0 ||
        !split_digest_info(digestInfo, static_cast<size_t>(length), hash, offset)) {
        outcome_ = Outcome::kSignerFailed;
        return false;
    }
    std::vector<uint8_t> answer;
    if (!signer_.sign(hash, digestInfo + offset, static_cast<size_t>(length) - offset, digestInfo,
                      static_cast<size_t>(length), answer)) {
        outcome_ = Outcome::kSignerFailed;
        return false;
    }
    answerLength_ = answer.size();
    // PKCS#1 signatures are exactly as long as the modulus, leading zero
    // bytes kept: anything else is a damaged or foreign answer.
    if (answer.size() != static_cast<size_t>(size)) {
        outcome_ = Outcome::kWrongLength;
        return false;
    }
    if (!verifies(digestInfo, static_cast<size_t>(length), answer)) {
        outcome_ = Outcome::kNotVerified;
        return false;
    }
    outcome_ = Outcome::kSigned;
    signature = std::move(answer);
    return true;
}

}  // namespace fontseal

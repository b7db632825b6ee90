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

EvpPkeyPtr rsa_public_key(const RsaPublicKey& key) {
    BignumPtr n(BN_bin2bn(key.modulus.data(), static_cast<int>(key.modulus.size()), nullptr));
    BignumPtr e(BN_bin2bn(key.exponent.data(), static_cast<int>(key.exponent.size()), nullptr));
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

bool split_digest_info(const uint8_t* digestInfo, size_t length, DigestAlgorithm& hash,
                       size_t& digestOffset) {
    if (!digestInfo) return false;
    for (const DigestFacts& facts : kDigestTable) {
        // Everything before the digest's octets, as the encoder writes it.
        static const uint8_t kZeros[kMaxDigestSize] = {0};
        const std::vector<uint8_t> form = digest_info(facts.algorithm, kZeros);
        const size_t prefixLength = form.size() - static_cast<size_t>(facts.size);
        if (length != form.size() || std::memcmp(digestInfo, form.data(), prefixLength) != 0)
            continue;
        hash = facts.algorithm;
        digestOffset = prefixLength;
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
    DigestAlgorithm hash;
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

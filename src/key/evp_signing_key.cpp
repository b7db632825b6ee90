// SPDX-License-Identifier: Apache-2.0
#include "key/evp_signing_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "base/ossl_ptr.h"

namespace fontseal {
namespace {

bool bigEndian(const EVP_PKEY* key, const char* name, std::vector<uint8_t>& out) {
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &raw)) return false;
    BignumPtr number(raw);
    out.resize(static_cast<size_t>(BN_num_bytes(number.get())));
    return BN_bn2bin(number.get(), out.data()) == static_cast<int>(out.size());
}

}  // namespace

bool rsa_public_numbers(const EVP_PKEY* key, RsaPublicKey& out) {
    const bool ok = key && EVP_PKEY_is_a(key, "RSA") &&
                    bigEndian(key, OSSL_PKEY_PARAM_RSA_N, out.modulus) &&
                    bigEndian(key, OSSL_PKEY_PARAM_RSA_E, out.exponent);
    ERR_clear_error();
    return ok;
}

bool EvpSigningKey::publicKey(RsaPublicKey& out) const {
    return rsa_public_numbers(key_.get(), out);
}

int EvpSigningKey::signatureSize() const { return key_ ? EVP_PKEY_get_size(key_.get()) : 0; }

bool EvpSigningKey::signDigestInfo(const uint8_t* digestInfo, int length,
                                   std::vector<uint8_t>& signature) const {
    const int size = signatureSize();
    if (!key_ || size <= 0 || length < 0 || (!digestInfo && length > 0)) return false;
    // No digest is set on the context, so the input is padded as it stands:
    // the DigestInfo is already the caller's.
    PkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(library_.get(), key_.get(), nullptr));
    size_t written = static_cast<size_t>(size);
    signature.assign(written, 0);
    const bool ok = context && EVP_PKEY_sign_init(context.get()) > 0 &&
                    EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) > 0 &&
                    EVP_PKEY_sign(context.get(), signature.data(), &written, digestInfo,
                                  static_cast<size_t>(length)) > 0 &&
                    written == static_cast<size_t>(size);
    if (!ok) {
        ERR_clear_error();
        signature.clear();
    }
    return ok;
}

}  // namespace fontseal

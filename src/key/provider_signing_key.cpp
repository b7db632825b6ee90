// SPDX-License-Identifier: Apache-2.0
#include "key/provider_signing_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

#include "base/ossl_ptr.h"

namespace fontseal {
namespace {

bool big_endian(const EVP_PKEY* key, const char* name, std::vector<uint8_t>& out) {
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &raw)) return false;
    BignumPtr number(raw);
    out.resize(static_cast<size_t>(BN_num_bytes(number.get())));
    return BN_bn2bin(number.get(), out.data()) == static_cast<int>(out.size());
}

}  // namespace

bool ProviderSigningKey::publicKey(RsaPublicKey& out) const {
    const StoreBytes info = provider_.publicKeyInfo();
    if (info.empty() || info.size() > LONG_MAX) return false;
    const unsigned char* p = info.data();
    EvpPkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(info.size())));
    const bool ok = key && p == info.data() + info.size() && EVP_PKEY_is_a(key.get(), "RSA") &&
                    big_endian(key.get(), OSSL_PKEY_PARAM_RSA_N, out.modulus) &&
                    big_endian(key.get(), OSSL_PKEY_PARAM_RSA_E, out.exponent);
    ERR_clear_error();
    return ok;
}

int ProviderSigningKey::signatureSize() const {
    const size_t size = provider_.signatureSize();
    return size <= static_cast<size_t>(INT_MAX) ? static_cast<int>(size) : 0;
}

bool ProviderSigningKey::signDigestInfo(const uint8_t* digestInfo, int length,
                                        std::vector<uint8_t>& signature) const {
    const int size = signatureSize();
    if (size <= 0 || length < 0 || (!digestInfo && length > 0)) return false;
    // The provider may drop leading zero bytes; the signer wants exactly the
    // modulus length, as every other key gives it.
    StoreBytes made;
    if (!provider_.signDigestInfo(digestInfo, static_cast<size_t>(length), made) || made.empty() ||
        made.size() > static_cast<size_t>(size)) {
        signature.clear();
        return false;
    }
    signature.assign(static_cast<size_t>(size) - made.size(), 0);
    signature.insert(signature.end(), made.begin(), made.end());
    return true;
}

}  // namespace fontseal

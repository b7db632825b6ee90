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
#include "key/evp_signing_key.h"

namespace fontseal {

bool ProviderSigningKey::publicKey(RsaPublicKey& out) const {
    const StoreBytes info = provider_.publicKeyInfo();
    if (info.empty() || info.size() > LONG_MAX) return false;
    const unsigned char* p = info.data();
    EvpPkeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(info.size())));
    const bool whole = key && p == info.data() + info.size();
    ERR_clear_error();
    return whole && rsa_public_numbers(key.get(), out);
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

// SPDX-License-Identifier: Apache-2.0
#include "sign/signer_selection.h"

#include <openssl/bn.h>

#include <memory>

#include "key/le_bignum.h"

namespace fontseal {

namespace {

BnPtr fromBigEndian(const std::vector<uint8_t>& bytes) {
    return BnPtr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

bool equalsNumber(const uint8_t* littleEndian, int length, const BIGNUM* number) {
    BnPtr value(bn_from_le_bytes(littleEndian, length));
    return value && number && BN_cmp(value.get(), number) == 0;
}

}  // namespace

int find_signer(const P7Certificate* certificates, int count, const SigningKey& key) {
    if (!certificates) return -1;
    RsaPublicKey publicKey;
    if (!key.publicKey(publicKey)) return -1;
    BnPtr modulus = fromBigEndian(publicKey.modulus);
    BnPtr exponent = fromBigEndian(publicKey.exponent);
    if (!modulus || !exponent) return -1;
    for (int i = 0; i < count; ++i) {
        const CertificateInfo* info = certificates[i].info().get();
        if (!info) continue;
        if (equalsNumber(info->exponent(), info->exponentLength(), exponent.get()) &&
            equalsNumber(info->modulus(), info->modulusLength(), modulus.get())) {
            return i;
        }
    }
    return -1;
}

}  // namespace fontseal

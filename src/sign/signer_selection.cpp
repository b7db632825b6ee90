#define OPENSSL_SUPPRESS_DEPRECATED
#include "sign/signer_selection.h"

#include <openssl/bn.h>
#include <openssl/rsa.h>

#include "key/le_bignum.h"

namespace fontseal {

namespace {

bool equalsNumber(const uint8_t* littleEndian, int length, const BIGNUM* number) {
    BnPtr value(bn_from_le_bytes(littleEndian, length));
    return value && number && BN_cmp(value.get(), number) == 0;
}

}  // namespace

int find_signer(const P7Certificate* certificates, int count, const RSA* key) {
    if (!certificates || !key) return -1;
    const BIGNUM* modulus = nullptr;
    const BIGNUM* exponent = nullptr;
    RSA_get0_key(key, &modulus, &exponent, nullptr);
    for (int i = 0; i < count; ++i) {
        const CertificateInfo* info = certificates[i].info().get();
        if (!info) continue;
        if (equalsNumber(info->exponent(), info->exponentLength(), exponent) &&
            equalsNumber(info->modulus(), info->modulusLength(), modulus)) {
            return i;
        }
    }
    return -1;
}

}  // namespace fontseal

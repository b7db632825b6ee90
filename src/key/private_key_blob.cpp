// SPDX-License-Identifier: Apache-2.0
#include "key/private_key_blob.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>

#include "base/ossl_ptr.h"
#include "key/le_bignum.h"

namespace fontseal {
namespace {

constexpr uint32_t kBitLengthOffset = 12;
constexpr uint32_t kExponentOffset = 16;
constexpr uint32_t kComponentsOffset = 20;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The order in which the blob stores its components after the exponent,
// with each one's width (full: modulus bytes, half: prime bytes).
struct Component {
    const char* name;
    bool full;
};
constexpr Component kComponents[] = {
    {OSSL_PKEY_PARAM_RSA_N, true},          {OSSL_PKEY_PARAM_RSA_FACTOR1, false},
    {OSSL_PKEY_PARAM_RSA_FACTOR2, false},   {OSSL_PKEY_PARAM_RSA_EXPONENT1, false},
    {OSSL_PKEY_PARAM_RSA_EXPONENT2, false}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, false},
    {OSSL_PKEY_PARAM_RSA_D, true},
};
constexpr int kComponentCount = sizeof kComponents / sizeof kComponents[0];

EvpPkeyPtr build(const uint8_t* blob, uint32_t length, OSSL_LIB_CTX* library) {
    if (!blob || length < kComponentsOffset) return nullptr;
    const uint32_t bits = le32(blob + kBitLengthOffset);
    const uint32_t exponent = le32(blob + kExponentOffset);
    // Widths round up: a modulus whose bit length is not a multiple of 16 has
    // primes of more than bits/16 bytes, and writers store them that way.
    const uint64_t full = (uint64_t(bits) + 7) / 8;
    const uint64_t half = (full + 1) / 2;
    if (kComponentsOffset + 2 * full + 5 * half > length) return nullptr;

    ParamBuildPtr builder(OSSL_PARAM_BLD_new());
    if (!builder) return nullptr;
    BnPtr e(BN_new());
    if (!e || !BN_set_word(e.get(), exponent)) return nullptr;
    if (!OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) return nullptr;
    // The builder refers to the numbers until the parameters are made.
    BnPtr numbers[kComponentCount];
    const uint8_t* at = blob + kComponentsOffset;
    for (int i = 0; i < kComponentCount; ++i) {
        const uint64_t width = kComponents[i].full ? full : half;
        numbers[i].reset(bn_from_le_bytes(at, static_cast<int>(width), true));
        at += width;
        if (!numbers[i] ||
            !OSSL_PARAM_BLD_push_BN(builder.get(), kComponents[i].name, numbers[i].get())) {
            return nullptr;
        }
    }
    // Parameters built from secure numbers are wiped as they are freed.
    ParamsPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    if (!params) return nullptr;

    PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(library, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEYPAIR, params.get()) <= 0) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

}  // namespace

bool is_private_key_marker(const uint8_t* at) { return std::memcmp(at, "RSA2", 4) == 0; }

EvpPkeyPtr key_from_private_blob(const uint8_t* blob, uint32_t length, OSSL_LIB_CTX* library) {
    EvpPkeyPtr key = build(blob, length, library);
    if (!key) ERR_clear_error();
    return key;
}

}  // namespace fontseal

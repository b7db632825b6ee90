#define OPENSSL_SUPPRESS_DEPRECATED
#include "key/private_key_blob.h"

#include <cstring>

#include "key/le_bignum.h"

namespace fontseal {
namespace {

constexpr uint32_t kBitLengthOffset = 12;
constexpr uint32_t kExponentOffset = 16;
constexpr uint32_t kComponentsOffset = 20;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool is_private_key_marker(const uint8_t* at) { return std::memcmp(at, "RSA2", 4) == 0; }

bool key_from_private_blob(const uint8_t* blob, uint32_t length, RSA* key) {
    if (!blob || !key || length < kComponentsOffset) return false;
    const uint32_t bits = le32(blob + kBitLengthOffset);
    const uint32_t exponent = le32(blob + kExponentOffset);
    // Widths round up: a modulus whose bit length is not a multiple of 16 has
    // primes of more than bits/16 bytes, and writers store them that way.
    const uint64_t full = (uint64_t(bits) + 7) / 8;
    const uint64_t half = (full + 1) / 2;
    if (kComponentsOffset + 2 * full + 5 * half > length) return false;

    BnPtr e(BN_new());
    if (!e || !BN_set_word(e.get(), exponent)) return false;

    const uint8_t* at = blob + kComponentsOffset;
    auto next = [&at](uint64_t width) {
        BnPtr bn(bn_from_le_bytes(at, static_cast<int>(width)));
        at += width;
        return bn;
    };
    BnPtr n = next(full);
    if (!n) return false;
    BnPtr p = next(half);
    if (!p) return false;
    BnPtr q = next(half);
    if (!q) return false;
    BnPtr dmp1 = next(half);
    if (!dmp1) return false;
    BnPtr dmq1 = next(half);
    if (!dmq1) return false;
    BnPtr iqmp = next(half);
    if (!iqmp) return false;
    BnPtr d = next(full);
    if (!d) return false;

    // With every argument non-null the setters cannot fail; ownership passes
    // to the key only once a setter has accepted its numbers.
    if (!RSA_set0_key(key, n.get(), e.get(), d.get())) return false;
    n.release();
    e.release();
    d.release();
    if (!RSA_set0_factors(key, p.get(), q.get())) return false;
    p.release();
    q.release();
    if (!RSA_set0_crt_params(key, dmp1.get(), dmq1.get(), iqmp.get())) return false;
    dmp1.release();
    dmq1.release();
    iqmp.release();
    return true;
}

}  // namespace fontseal

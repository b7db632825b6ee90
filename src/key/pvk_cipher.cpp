// SPDX-License-Identifier: Apache-2.0
#include "key/pvk_cipher.h"

#include <openssl/evp.h>

#include <cstring>
#include <utility>

#include "key/private_key_blob.h"
#include "base/secure_bytes.h"

namespace fontseal {
namespace {

constexpr int kRc4KeyLength = 16;
// The weak variant keeps this many digest bytes and zeroes the rest of the
// 16-byte key.
constexpr int kWeakKeyBytes = 5;
constexpr int kSha1Length = 20;

// RC4 is written out here rather than taken from OpenSSL: OpenSSL 3 keeps
// it only in the low-level interface it deprecates and in the legacy
// provider, which a system need not install, and reading these files must
// not depend on either.
struct Rc4State {
    uint8_t s[256];
    uint8_t i;
    uint8_t j;
};

void rc4_decrypt(const uint8_t* rc4_key, const uint8_t* cipher, std::size_t length,
                 uint8_t* plain) {
    Wiped<Rc4State> state;
    uint8_t* s = state.value.s;
    for (int k = 0; k < 256; ++k) s[k] = static_cast<uint8_t>(k);
    uint8_t j = 0;
    for (int k = 0; k < 256; ++k) {
        j = static_cast<uint8_t>(j + s[k] + rc4_key[k % kRc4KeyLength]);
        std::swap(s[k], s[j]);
    }
    uint8_t& x = state.value.i;
    uint8_t& y = state.value.j;
    for (std::size_t n = 0; n < length; ++n) {
        x = static_cast<uint8_t>(x + 1);
        y = static_cast<uint8_t>(y + s[x]);
        std::swap(s[x], s[y]);
        plain[n] = cipher[n] ^ s[static_cast<uint8_t>(s[x] + s[y])];
    }
}

}  // namespace

bool decrypt_key_body(const uint8_t* material, std::size_t material_length, const uint8_t* cipher,
                      std::size_t length, uint8_t* plain) {
    Wiped<uint8_t[EVP_MAX_MD_SIZE]> digest;
    unsigned int digest_length = 0;
    static const uint8_t kEmpty[1] = {0};
    if (!EVP_Digest(material_length > 0 ? material : kEmpty, material_length, digest.value,
                    &digest_length, EVP_sha1(), nullptr) ||
        digest_length != kSha1Length) {
        return false;
    }

    rc4_decrypt(digest.value, cipher, length, plain);
    if (is_private_key_marker(plain)) return true;

    std::memset(digest.value + kWeakKeyBytes, 0, kRc4KeyLength - kWeakKeyBytes);
    rc4_decrypt(digest.value, cipher, length, plain);
    return is_private_key_marker(plain);
}

}  // namespace fontseal

#define OPENSSL_SUPPRESS_DEPRECATED
#include "key/pvk_cipher.h"

#include <openssl/rc4.h>
#include <openssl/sha.h>

#include <cstring>

#include "key/private_key_blob.h"
#include "key/secure_bytes.h"

namespace fontseal {
namespace {

constexpr int kRc4KeyLength = 16;
// The weak variant keeps this many digest bytes and zeroes the rest of the
// 16-byte key.
constexpr int kWeakKeyBytes = 5;

void rc4_decrypt(const uint8_t* rc4_key, const uint8_t* cipher, std::size_t length,
                 uint8_t* plain) {
    Wiped<RC4_KEY> state;
    RC4_set_key(&state.value, kRc4KeyLength, rc4_key);
    RC4(&state.value, length, cipher, plain);
}

}  // namespace

bool decrypt_key_body(const uint8_t* material, std::size_t material_length, const uint8_t* cipher,
                      std::size_t length, uint8_t* plain) {
    Wiped<uint8_t[SHA_DIGEST_LENGTH]> digest;
    SHA1(material, material_length, digest.value);

    rc4_decrypt(digest.value, cipher, length, plain);
    if (is_private_key_marker(plain)) return true;

    std::memset(digest.value + kWeakKeyBytes, 0, kRc4KeyLength - kWeakKeyBytes);
    rc4_decrypt(digest.value, cipher, length, plain);
    return is_private_key_marker(plain);
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The RSA private-key blob of key files (the CryptoAPI PRIVATEKEYBLOB
// layout): an 8-byte blob header, the "RSA2" marker, bit length, public
// exponent, then n, p, q, d mod (p-1), d mod (q-1), q^-1 mod p and d, each a
// little-endian integer.
#pragma once
#include <openssl/types.h>

#include <cstdint>

#include "key/evp_signing_key.h"

namespace fontseal {

// Bytes 0..7 of a blob: type, version, reserved, algorithm. Never encrypted.
constexpr uint32_t kBlobClearPrefix = 8;
// The marker sits right behind the clear prefix.
constexpr uint32_t kBlobMarkerEnd = kBlobClearPrefix + 4;

// True when the four bytes at `at` spell "RSA2".
bool is_private_key_marker(const uint8_t* at);

// An RSA key with all eight components of a plain blob of `length` bytes,
// made in `library` (null: the default context). Null when the blob is too
// short for the components its bit length announces, or the key cannot be
// built (memory).
EvpPkeyPtr key_from_private_blob(const uint8_t* blob, uint32_t length,
                                 OSSL_LIB_CTX* library = nullptr);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Little-endian byte strings to OpenSSL numbers. Key files and the
// certificate layer both keep integers least significant byte first.
#pragma once
#include <openssl/bn.h>

#include <cstdint>
#include <memory>

#include "base/ossl_ptr.h"

namespace fontseal {

// Clears as it frees: most numbers that pass through here are private.
using BnPtr = SecretBignumPtr;

// A new number from `length` bytes, least significant first; leading zero
// bytes at the high end are harmless and length 0 gives zero. Returns null
// when memory runs out (or for a negative length). The caller frees it.
// A `secret` number is flagged so that copies OpenSSL makes of it (the
// parameters a key is built from) are wiped when they are freed.
BIGNUM* bn_from_le_bytes(const uint8_t* bytes, int length, bool secret = false);

}  // namespace fontseal

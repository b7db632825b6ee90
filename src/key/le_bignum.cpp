// SPDX-License-Identifier: Apache-2.0
#include "key/le_bignum.h"

namespace fontseal {

BIGNUM* bn_from_le_bytes(const uint8_t* bytes, int length, bool secret) {
    if (length < 0) return nullptr;
    BnPtr number(secret ? BN_secure_new() : BN_new());  // starts at zero
    if (!number) return nullptr;
    if (length == 0) return number.release();
    // Converting directly from little-endian input avoids a reversed copy of
    // private key material that would need wiping.
    if (!BN_lebin2bn(bytes, length, number.get())) return nullptr;
    return number.release();
}

}  // namespace fontseal

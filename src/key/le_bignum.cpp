#include "key/le_bignum.h"

namespace fontseal {

BIGNUM* bn_from_le_bytes(const uint8_t* bytes, int length) {
    if (length < 0) return nullptr;
    if (length == 0) return BN_new();  // BN_new starts at zero
    // Converting directly from little-endian input avoids a reversed copy of
    // private key material that would need wiping.
    return BN_lebin2bn(bytes, length, nullptr);
}

}  // namespace fontseal

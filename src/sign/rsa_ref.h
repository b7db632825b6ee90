// An RSA key held through SharedRef. The key object is OpenSSL's and opaque
// here, so a reference that owns it releases it with RSA_free; references
// made with SharedRef<RSA>::borrowed leave it to its owner as usual.
#pragma once
#include <openssl/rsa.h>

#include "base/shared_ref.h"

namespace fontseal {

template <>
inline void SharedRef<RSA>::destroy(Block* block) {
    if (!block->noDelete) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        RSA_free(block->object);
#pragma GCC diagnostic pop
    }
    delete block;
}

}  // namespace fontseal

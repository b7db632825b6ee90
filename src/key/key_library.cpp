// SPDX-License-Identifier: Apache-2.0
#include "key/key_library.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>

namespace fontseal {

KeyLibraryRef new_key_library() {
    OSSL_LIB_CTX* library = OSSL_LIB_CTX_new();
    if (!library) return nullptr;
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(library, "default");
    if (!standard) {
        OSSL_LIB_CTX_free(library);
        ERR_clear_error();
        return nullptr;
    }
    // Without the legacy provider only the files that need it fail to read.
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(library, "legacy");
    ERR_clear_error();
    try {
        return KeyLibraryRef(library, [standard, legacy](OSSL_LIB_CTX* context) {
            if (legacy) OSSL_PROVIDER_unload(legacy);
            OSSL_PROVIDER_unload(standard);
            OSSL_LIB_CTX_free(context);
        });
    } catch (...) {
        if (legacy) OSSL_PROVIDER_unload(legacy);
        OSSL_PROVIDER_unload(standard);
        OSSL_LIB_CTX_free(library);
        throw;
    }
}

ScopedDefaultLibrary::ScopedDefaultLibrary(OSSL_LIB_CTX* library)
    : previous_(OSSL_LIB_CTX_set0_default(library)) {}

ScopedDefaultLibrary::~ScopedDefaultLibrary() { OSSL_LIB_CTX_set0_default(previous_); }

}  // namespace fontseal

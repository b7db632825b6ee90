// SPDX-License-Identifier: Apache-2.0
// A private OpenSSL library context for reading key files. Older PKCS#12
// files are encrypted with ciphers that OpenSSL 3 keeps in its legacy
// provider; loading that provider into the process-wide default context
// would change what every other user of OpenSSL in the process gets, so
// each read has a context of its own and nothing global is touched.
#pragma once
#include <openssl/types.h>

#include "key/evp_signing_key.h"

namespace fontseal {

// A new context with the default provider and, when it is installed, the
// legacy one. Null when not even the default provider loads. The context
// is freed with its last reference, after the keys made in it.
KeyLibraryRef new_key_library();

// Makes `library` the calling thread's default context for the lifetime of
// the guard, for OpenSSL routines that take no context argument (the
// PKCS#12 and PKCS#8 decryption). Other threads are not affected.
class ScopedDefaultLibrary {
public:
    explicit ScopedDefaultLibrary(OSSL_LIB_CTX* library);
    ~ScopedDefaultLibrary();
    ScopedDefaultLibrary(const ScopedDefaultLibrary&) = delete;
    ScopedDefaultLibrary& operator=(const ScopedDefaultLibrary&) = delete;

private:
    OSSL_LIB_CTX* previous_;
};

}  // namespace fontseal

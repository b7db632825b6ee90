// SPDX-License-Identifier: Apache-2.0
// Owners of OpenSSL objects, each freed with its own function.
#pragma once
#include <openssl/crypto.h>

#include <memory>

namespace fontseal {

template <class T, void (*Free)(T*)>
struct OsslFreer {
    void operator()(T* p) const { Free(p); }
};

template <class T, void (*Free)(T*)>
using OsslPtr = std::unique_ptr<T, OsslFreer<T, Free>>;

// Bytes OpenSSL allocated for the caller (the output of i2d_*).
struct OsslBytesFreer {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using OsslBytes = std::unique_ptr<unsigned char, OsslBytesFreer>;

}  // namespace fontseal

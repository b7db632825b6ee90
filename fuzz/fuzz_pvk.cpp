// SPDX-License-Identifier: Apache-2.0
// The private-key file reader over a sized and an unsized source.
//
// Input: one byte choosing the password (low 2 bits: none, empty, "secret",
// or the next (byte >> 2) bytes of the input), then the key file. Seeds are
// key files behind 0x02.
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>

#include "base/memory_stream.h"
#include "fuzz_support.h"
#include "key/pvk_reader.h"

using namespace fontseal;

namespace {

// All eight components are there when the reader reports success.
bool complete(const EVP_PKEY* key) {
    static const char* const kNames[] = {
        OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
        OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
        OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    for (const char* name : kNames) {
        BIGNUM* value = nullptr;
        if (EVP_PKEY_get_bn_param(key, name, &value) != 1) return false;
        BN_clear_free(value);
    }
    return true;
}

int load(ByteSource& source, const char* password) {
    EvpPkeyPtr key;
    const int result = load_private_key(source, password, key);
    FUZZ_CHECK(result == 0 || result == kErrKeyFile || result == kErrKeyBlob ||
               result == kErrKeyPassword);
    // A key exactly when it reports success.
    FUZZ_CHECK(result == 0 ? key && complete(key.get()) : !key);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 0x7FFFFFFF) return 0;
    std::string given;
    const char* password = fuzz::take_password(data, size, given);

    MemoryStream sized(data, int(size));
    const int known = load(sized, password);
    fuzz::UnsizedSource unsized(data, size);
    const int blind = load(unsized, password);
    // Knowing the size only lets the reader refuse earlier, never differently.
    FUZZ_CHECK(known == blind);
    return 0;
}

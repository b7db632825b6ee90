// The private-key file reader over a sized and an unsized source.
//
// Input: one byte choosing the password (low 2 bits: none, empty, "secret",
// or the next (byte >> 2) bytes of the input), then the key file. Seeds are
// key files behind 0x02.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rsa.h>

#include <cstdint>
#include <string>

#include "base/memory_stream.h"
#include "fuzz_support.h"
#include "key/pvk_reader.h"
#include "key/rsa_key.h"

using namespace fontseal;

namespace {

bool complete(const RSA* key) {
    const BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
    const BIGNUM *p = nullptr, *q = nullptr;
    const BIGNUM *dp = nullptr, *dq = nullptr, *qinv = nullptr;
    RSA_get0_key(key, &n, &e, &d);
    RSA_get0_factors(key, &p, &q);
    RSA_get0_crt_params(key, &dp, &dq, &qinv);
    return n && e && d && p && q && dp && dq && qinv;
}

bool empty(const RSA* key) {
    const BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
    RSA_get0_key(key, &n, &e, &d);
    return !n && !e && !d;
}

int load(ByteSource& source, const char* password) {
    RsaPtr key = new_rsa_key();
    FUZZ_CHECK(key);
    const int result = load_private_key(source, password, key.get());
    FUZZ_CHECK(result == 0 || result == kErrKeyFile || result == kErrKeyBlob ||
               result == kErrKeyPassword);
    // Filled exactly when it reports success.
    FUZZ_CHECK(result == 0 ? complete(key.get()) : empty(key.get()));
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 0x7FFFFFFF) return 0;
    const uint8_t choice = data[0];
    ++data;
    --size;
    std::string given;
    const char* password = nullptr;
    switch (choice & 3) {
        case 0:
            break;
        case 1:
            password = "";
            break;
        case 2:
            password = "secret";
            break;
        default: {
            size_t length = std::min<size_t>(choice >> 2, size);
            for (size_t i = 0; i < length; ++i)
                if (data[i] != 0) given.push_back(char(data[i]));
            data += length;
            size -= length;
            password = given.c_str();
            break;
        }
    }

    MemoryStream sized(data, int(size));
    const int known = load(sized, password);
    fuzz::UnsizedSource unsized(data, size);
    const int blind = load(unsized, password);
    // Knowing the size only lets the reader refuse earlier, never differently.
    FUZZ_CHECK(known == blind);
    return 0;
}

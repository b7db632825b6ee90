// SPDX-License-Identifier: Apache-2.0
// Deterministic mutations of real key files through the reader, under the
// address, undefined-behaviour and leak sanitizers: every outcome must be one
// of the reader's codes, with the key filled exactly when it reports success.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "base/memory_stream.h"
#include "key/pvk_reader.h"
#include "support/key_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kIterations = 4000;

// Field values that sit on the reader's decision edges.
uint32_t edgyValue(std::mt19937& rng, size_t fileSize) {
    const uint32_t values[] = {0,
                               1,
                               7,
                               8,
                               11,
                               12,
                               16,
                               20,
                               static_cast<uint32_t>(fileSize),
                               static_cast<uint32_t>(fileSize - 1),
                               static_cast<uint32_t>(fileSize + 1),
                               1024,
                               1025,
                               0x7FFFFFFF,
                               0x80000000u,
                               0xFFFFFFFFu,
                               static_cast<uint32_t>(rng())};
    return values[rng() % (sizeof(values) / sizeof(values[0]))];
}

void mutate(Bytes& bytes, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits && !bytes.empty(); ++i) {
        switch (rng() % 6) {
            case 0:  // flip one bit anywhere; in an encrypted body it flips the plain bit
                bytes[rng() % bytes.size()] ^= uint8_t(1u << (rng() % 8));
                break;
            case 1:
                bytes[rng() % bytes.size()] = uint8_t(rng());
                break;
            case 2: {  // a header field, or the blob's own bit length and exponent
                const size_t salt = bytes.size() >= 24 ? testsupport::getLe32(bytes, 16) : 0;
                std::vector<size_t> fields = {4, 8, 12, 16, 20};
                if (salt < bytes.size()) {
                    fields.push_back(24 + salt + 12);
                    fields.push_back(24 + salt + 16);
                }
                const size_t at = fields[rng() % fields.size()];
                if (at + 4 <= bytes.size())
                    testsupport::setLe32(bytes, at, edgyValue(rng, bytes.size()));
                break;
            }
            case 3:
                bytes.resize(rng() % bytes.size());
                break;
            case 4:
                for (uint32_t n = rng() % 64; n > 0; --n) bytes.push_back(uint8_t(rng()));
                break;
            default:
                bytes.erase(bytes.begin() + static_cast<long>(rng() % bytes.size()));
                break;
        }
    }
}

bool hasComponent(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    const bool present = EVP_PKEY_get_bn_param(key, name, &value) == 1 && value;
    BN_clear_free(value);
    return present;
}

bool hasModulus(const EVP_PKEY* key) {
    return key && hasComponent(key, OSSL_PKEY_PARAM_RSA_N) &&
           hasComponent(key, OSSL_PKEY_PARAM_RSA_E) && hasComponent(key, OSSL_PKEY_PARAM_RSA_D);
}

TEST(PvkFuzz, MutatedKeyFilesNeverMisbehave) {
    testsupport::TempDir dir;
    const testsupport::PvkKeySet set = testsupport::makePvkKeys(dir, "k", 1024, "secret");
    const Bytes originals[] = {testsupport::readFile(set.strong), testsupport::readFile(set.weak),
                               testsupport::readFile(set.none)};

    std::mt19937 rng(20261208);
    int loaded = 0;
    for (int i = 0; i < kIterations; ++i) {
        Bytes bytes = originals[rng() % 3];
        mutate(bytes, rng);
        std::string randomPassword;
        for (uint32_t n = rng() % 12; n > 0; --n) randomPassword.push_back(char(1 + rng() % 255));
        const char* passwords[] = {nullptr, "", "secret", randomPassword.c_str()};
        const char* password = passwords[rng() % 4];

        EvpPkeyPtr key;
        int result;
        if (rng() % 2) {
            MemoryStream stream(bytes.data(), static_cast<int>(bytes.size()));
            result = load_private_key(stream, password, key);
        } else {
            testsupport::UnsizedSource stream(bytes);
            result = load_private_key(stream, password, key);
        }
        ASSERT_TRUE(result == 0 || result == kErrKeyFile || result == kErrKeyBlob ||
                    result == kErrKeyPassword)
            << "iteration " << i << " gave " << result;
        ASSERT_EQ(result == 0, hasModulus(key.get())) << "iteration " << i;
        if (result == 0) ++loaded;
    }
    // Enough mutants still load to drive the key builder, not just the header checks.
    EXPECT_GT(loaded, kIterations / 20);
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The blob layout and number conversion on hand-made inputs, where every
// component's value is known in advance.
#include "key/private_key_blob.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>

#include <vector>

#include "key/le_bignum.h"
#include "support/key_support.h"

namespace fontseal {
namespace {

std::string hexOf(const BIGNUM* bn) {
    char* text = BN_bn2hex(bn);
    std::string out = text ? text : "(null)";
    OPENSSL_free(text);
    return out;
}

TEST(LeBignum, ConvertsLeastSignificantByteFirst) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0xF4, 0x00, 0x00};
    BnPtr bn(bn_from_le_bytes(bytes, 6));
    ASSERT_TRUE(bn);
    // Zero bytes at the high end disappear.
    EXPECT_EQ("F4030201", hexOf(bn.get()));
    BnPtr zero(bn_from_le_bytes(bytes, 0));
    ASSERT_TRUE(zero);
    EXPECT_TRUE(BN_is_zero(zero.get()));
    EXPECT_EQ(nullptr, bn_from_le_bytes(bytes, -1));
}

// A 16-bit "key": L = 2, H = 1, so the blob needs 20 + 4 + 5 = 29 bytes.
std::vector<uint8_t> tinyBlob() {
    return {0x07, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00,  // blob header
            'R',  'S',  'A',  '2',                           // marker
            0x10, 0x00, 0x00, 0x00,                          // 16 bits
            0x01, 0x00, 0x01, 0x00,                          // e = 65537
            0x34, 0x12,                                      // n
            0x0B, 0x0D, 0x03, 0x05, 0x07,                    // p q dmp1 dmq1 iqmp
            0x78, 0x56};                                     // d
}

TEST(PrivateKeyBlob, PlacesEveryComponent) {
    const std::vector<uint8_t> blob = tinyBlob();
    EvpPkeyPtr key = key_from_private_blob(blob.data(), static_cast<uint32_t>(blob.size()));
    ASSERT_TRUE(key);
    auto component = [&](const char* name) {
        return hexOf(testsupport::keyComponent(key.get(), name).get());
    };
    EXPECT_EQ("1234", component(OSSL_PKEY_PARAM_RSA_N));
    EXPECT_EQ("010001", component(OSSL_PKEY_PARAM_RSA_E));
    EXPECT_EQ("5678", component(OSSL_PKEY_PARAM_RSA_D));
    EXPECT_EQ("0B", component(OSSL_PKEY_PARAM_RSA_FACTOR1));
    EXPECT_EQ("0D", component(OSSL_PKEY_PARAM_RSA_FACTOR2));
    EXPECT_EQ("03", component(OSSL_PKEY_PARAM_RSA_EXPONENT1));
    EXPECT_EQ("05", component(OSSL_PKEY_PARAM_RSA_EXPONENT2));
    EXPECT_EQ("07", component(OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
}

TEST(PrivateKeyBlob, ShortBlobsLeaveTheKeyEmpty) {
    const std::vector<uint8_t> blob = tinyBlob();
    for (uint32_t length : {0u, 19u, 20u, 28u}) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(key_from_private_blob(blob.data(), length));
    }
    // A bit length whose component widths overflow 32 bits is still just too long.
    std::vector<uint8_t> huge = blob;
    huge[12] = huge[13] = huge[14] = huge[15] = 0xFF;
    EXPECT_FALSE(key_from_private_blob(huge.data(), static_cast<uint32_t>(huge.size())));
    EXPECT_FALSE(key_from_private_blob(nullptr, 29));
}

}  // namespace
}  // namespace fontseal

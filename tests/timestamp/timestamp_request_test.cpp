// SPDX-License-Identifier: Apache-2.0
// The request bytes and their base64 text, against DER assembled by hand and
// base64 made by OpenSSL.
#include "timestamp/timestamp_request.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "support/cert_support.h"

namespace fontseal {
namespace {

using testsupport::Bytes;
using testsupport::concat;
using testsupport::tlv;
using testsupport::unhex;

Bytes expectedRequest(const Bytes& data) {
    const Bytes requestType = unhex("06 0A 2B 06 01 04 01 82 37 03 02 01");
    const Bytes dataType = unhex("06 09 2A 86 48 86 F7 0D 01 07 01");
    return tlv(0x30,
               concat({requestType, tlv(0x30, concat({dataType, tlv(0xA0, tlv(0x04, data))}))}));
}

std::string opensslBase64(const Bytes& der) {
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), der.data(),
                            static_cast<int>(der.size()));
    text.resize(static_cast<size_t>(n));
    return text;
}

TEST(TimeStampRequestTest, RequestBytesAndBodyText) {
    for (int n : {0, 1, 53, 54, 128, 200, 1000}) {
        SCOPED_TRACE(n);
        Bytes data(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            data[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 37 + 11);
        TimeStampRequest request(data.data(), n, true);

        const Bytes expected = expectedRequest(data);
        const int size = request.encode(nullptr);
        ASSERT_EQ(size, static_cast<int>(expected.size()));
        MemoryStream der(size);
        ASSERT_EQ(request.encode(&der), size);
        EXPECT_EQ(Bytes(der.data(), der.data() + size), expected);
        if (n == 128) {
            EXPECT_EQ(size, 163);
            EXPECT_EQ(Bytes(der.data(), der.data() + 35),
                      unhex("30 81 A0 06 0A 2B 06 01 04 01 82 37 03 02 01 30 81 91 06 09 2A 86 "
                            "48 86 F7 0D 01 07 01 A0 81 83 04 81 80"));
        }

        // Lines of 72 characters joined by CR LF, nothing after the last.
        const std::string base64 = opensslBase64(expected);
        std::string lines;
        for (size_t at = 0; at < base64.size(); at += 72)
            lines += (at ? "\r\n" : "") + base64.substr(at, 72);
        MemoryStream body(0);
        encode_timestamp_request(request, body);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(body.data()),
                              static_cast<size_t>(body.position())),
                  lines);
    }
}

}  // namespace
}  // namespace fontseal

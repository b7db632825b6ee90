// SPDX-License-Identifier: Apache-2.0
// The content to be signed, byte for byte, with digests from openssl's tool.
#include "sign/digest_content.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/der_errors.h"
#include "der/der_null.h"
#include "support/test_support.h"

using namespace fontseal;
using testsupport::hex;
using testsupport::unhex;

namespace {

const char* kLinkAttribute =
    "302C 060A2B0601040182370201 1C A21E 801C"
    "003C003C003C004F00620073006F006C006500740065003E003E003E";

// The digest as the openssl command-line tool computes it.
std::string opensslDigest(const std::vector<uint8_t>& data, const char* algorithm) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("data"), data);
    std::string out;
    EXPECT_EQ(testsupport::run(
                  std::string("openssl dgst -") + algorithm + " -r " + dir.file("data"), &out),
              0);
    return out.substr(0, out.find(' '));
}

std::vector<uint8_t> build(const std::vector<uint8_t>& data, int useSha1) {
    int size = build_digest_content(data.data(), int(data.size()), useSha1, nullptr, 0);
    std::vector<uint8_t> out(size_t(size) + 4, 0xEE);
    EXPECT_EQ(build_digest_content(data.data(), int(data.size()), useSha1, out.data(), size), size);
    // Nothing past the announced size.
    EXPECT_EQ(hex({out.end() - 4, out.end()}), hex(unhex("EEEEEEEE")));
    out.resize(size_t(size));

    // The same content from a digest taken piece by piece, as the signing
    // passes take it while the image is laid out.
    ImageDigest digest(digest_from_use_sha1(useSha1));
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 4097 + 1) {
        digest.update(data.data() + at, std::min(step, data.size() - at));
    }
    uint8_t value[ImageDigest::kMaxLength];
    int length = digest.finish(value);
    EXPECT_EQ(build_digest_content_for_digest(value, length - 1, digest_from_use_sha1(useSha1),
                                              nullptr, 0), -1);
    std::vector<uint8_t> streamed(static_cast<size_t>(size));
    EXPECT_EQ(build_digest_content_for_digest(value, length, digest_from_use_sha1(useSha1),
                                              streamed.data(), size), size);
    EXPECT_EQ(hex(streamed), hex(out));
    return out;
}

}  // namespace

TEST(DigestContent, Sha1WireFormat) {
    std::vector<uint8_t> font(5000);
    for (size_t i = 0; i < font.size(); ++i) font[i] = uint8_t(i * 7 + 3);
    for (const auto& data : {std::vector<uint8_t>(), font}) {
        std::string expected = std::string(kLinkAttribute) + "3021 3009 06052B0E03021A 0500 0414" +
                               opensslDigest(data, "sha1");
        auto content = build(data, 1);
        EXPECT_EQ(content.size(), 81u);
        EXPECT_EQ(hex(content), hex(unhex(expected)));
    }
    // Any non-zero selector means SHA-1.
    EXPECT_EQ(hex(build(font, -7)), hex(build(font, 1)));
}

TEST(DigestContent, Md5WireFormat) {
    std::vector<uint8_t> font = {'O', 'T', 'T', 'O', 0, 1};
    for (const auto& data : {std::vector<uint8_t>(), font}) {
        std::string expected = std::string(kLinkAttribute) +
                               "3020 300C 06082A864886F70D0205 0500 0410" +
                               opensslDigest(data, "md5");
        auto content = build(data, 0);
        EXPECT_EQ(content.size(), 80u);
        EXPECT_EQ(hex(content), hex(unhex(expected)));
    }
}

TEST(DigestContent, BufferOneByteShortRaisesOverflow) {
    std::vector<uint8_t> data = {1, 2, 3};
    for (int useSha1 : {0, 1}) {
        int size = build_digest_content(data.data(), 3, useSha1, nullptr, 0);
        std::vector<uint8_t> out(size_t(size), 0xEE);
        int code = 0;
        try {
            build_digest_content(data.data(), 3, useSha1, out.data(), size - 1);
        } catch (const error& e) {
            code = e.code;
        }
        EXPECT_EQ(code, kErrBufferFull);
        EXPECT_EQ(out.back(), 0xEE);
    }
}

TEST(DigestContent, NullValue) {
    DerNull null;
    MemoryStream out;
    EXPECT_EQ(null.encode(nullptr), 2);
    EXPECT_EQ(null.encode(&out), 2);
    EXPECT_EQ(hex({out.data(), out.data() + 2}), hex(unhex("0500")));
    MemoryStream in(out.data(), 2);
    EXPECT_EQ(null.decode(in), 2);
    auto notNull = unhex("0501 00");
    MemoryStream bad(notNull.data(), 3);
    int code = 0;
    try {
        null.decode(bad);
    } catch (const error& e) {
        code = e.code;
    }
    EXPECT_EQ(code, kErrUnexpectedElement);
}

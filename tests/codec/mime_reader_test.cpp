// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "codec/mime_base64_reader.h"
#include "codec/mime_base64_writer.h"
#include "support/base64_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::hex;

struct Decoded {
    int count;
    std::vector<uint8_t> bytes;
    bool buffer;
};

Decoded decode(std::string text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    uint8_t* out = reinterpret_cast<uint8_t*>(1);
    int count = decode_mime_base64(buffer.data(), &out);
    std::unique_ptr<uint8_t, decltype(&std::free)> owned(out, &std::free);
    Decoded d{count, {}, out != nullptr};
    if (out) d.bytes.assign(out, out + count);
    return d;
}

std::string decodedHex(const std::string& text) {
    Decoded d = decode(text);
    EXPECT_EQ(d.count, static_cast<int>(d.bytes.size()));
    EXPECT_EQ(d.buffer, d.count > 0);
    return hex(d.bytes);
}

TEST(DecodeMimeBase64, HeadersMatchWithoutRegardToCase) {
    EXPECT_EQ(decodedHex("Content-Type: application/octet-stream\r\n"
                         "Content-Transfer-Encoding: BASE64\r\n\r\nTWFu\r\nTWFu\r\n"),
              "4D 61 6E 4D 61 6E");
    EXPECT_EQ(decodedHex("CONTENT-TYPE: a/b; name=x\r\ncontent-transfer-encoding: Base64\r\n"
                         "\r\nTWFu"),
              "4D 61 6E");
    // No header at all: the first base64 line starts the body.
    EXPECT_EQ(decodedHex("TWFu\nTWFu"), "4D 61 6E 4D 61 6E");
    // Folded Content-Type parameters stay in the header.
    EXPECT_EQ(decodedHex("Content-Type: application/pkcs7-mime;\r\n\tname=reply\r\n"
                         "  smime-type=signed-data\r\n\r\nTWFu"),
              "4D 61 6E");
}

TEST(DecodeMimeBase64, OtherTransferEncodingsAreNotDecoded) {
    Decoded d = decode("Content-Transfer-Encoding: 7bit\r\n\r\nTWFu\r\nTWFu\r\n");
    EXPECT_EQ(d.count, 0);
    EXPECT_FALSE(d.buffer);
    EXPECT_EQ(decodedHex("Content-Transfer-Encoding: binary\r\n"
                         "Content-Transfer-Encoding: base64\r\n\r\nTWFu"),
              "4D 61 6E");
    EXPECT_EQ(decodedHex("Content-Transfer-Encoding: x-token base64\r\n\r\nTWFu"), "4D 61 6E");
    // Only a whole token matches: neither the field name nor the value.
    EXPECT_EQ(decodedHex("Content-Transfer-Encodings: 7bit\r\n\r\nTWFu"), "4D 61 6E");
    EXPECT_EQ(decode("Content-Transfer-Encoding: base64x\r\n\r\nTWFu").count, 0);
}

TEST(DecodeMimeBase64, PaddingAndForeignCharactersEndTheBody) {
    EXPECT_EQ(decodedHex("TWFu\r\nTQ==\r\nTWFu"), "4D 61 6E 4D");
    EXPECT_EQ(decodedHex("TWFu\r\nTW*u\r\nTWFu"), "4D 61 6E 4D");
    // A MIME boundary ends the body; what came before is kept.
    EXPECT_EQ(decodedHex("Content-Type: a/b\r\n\r\nTWFu\r\n--boundary--\r\nTWFu\r\n"), "4D 61 6E");
    // A space ends just its line.
    EXPECT_EQ(decodedHex("TWFu\r\nTWFu trailing words\r\nTWFu"), "4D 61 6E 4D 61 6E 4D 61 6E");
}

TEST(DecodeMimeBase64, BitsCarryAcrossLines) {
    EXPECT_EQ(decodedHex("TW\r\nFu\r\nT\r\nWFu"), "4D 61 6E 4D 61 6E");
    // A line that does not start with body text is skipped between whole
    // bytes, but ends the body when it would cut one in half.
    EXPECT_EQ(decodedHex("TWFu\r\n (comment)\r\nTWFu"), "4D 61 6E 4D 61 6E");
    EXPECT_EQ(decodedHex("TWFuTW\r\n (comment)\r\nFu"), "4D 61 6E 4D");
}

TEST(DecodeMimeBase64, NothingDecodedGivesNoBuffer) {
    for (const char* text : {"", "\r\n\r\n", "Content-Type: a/b\r\n\r\n", "-----", "=AAA"}) {
        Decoded d = decode(text);
        EXPECT_EQ(d.count, 0) << text;
        EXPECT_FALSE(d.buffer) << text;
    }
    EXPECT_EQ(decode_mime_base64(nullptr, nullptr), 0);
    char text[] = "TWFu";
    EXPECT_EQ(decode_mime_base64(text, nullptr), 3);
}

TEST(DecodeMimeBase64, EndsEveryLineWithNul) {
    char text[] = "A: b\r\nTWFu\nTWFu";
    uint8_t* out = nullptr;
    EXPECT_EQ(decode_mime_base64(text, &out), 6);
    std::free(out);
    EXPECT_EQ(std::string(text, sizeof text - 1), std::string("A: b\0\nTWFu\0TWFu", 15));
}

TEST(DecodeMimeBase64, MatchesPythonForManyLengths) {
    std::vector<std::vector<uint8_t>> blobs;
    for (size_t n : testsupport::base64TestLengths())
        blobs.push_back(testsupport::randomBytes(n, static_cast<uint32_t>(n) + 2000));
    for (const auto& r : testsupport::base64References(blobs)) {
        SCOPED_TRACE("length " + std::to_string(r.data.size()));
        EXPECT_EQ(decode(r.mime).bytes, r.data);
        EXPECT_EQ(decode(r.openssl).bytes, r.data);
        EXPECT_EQ(decode("Content-Type: application/octet-stream\r\n"
                         "Content-Transfer-Encoding: base64\r\n\r\n" +
                         r.pemCrlf + "--end--\r\n")
                      .bytes,
                  r.data);
        // The writer's complete part, headers included, reads back.
        MimeBase64Writer writer(r.data.data(), static_cast<int>(r.data.size()), "reply");
        std::string part;
        while (const char* line = writer.nextLine()) part += std::string(line) + "\r\n";
        EXPECT_EQ(decode(part).bytes, r.data);
    }
}

TEST(MimeBase64Reader, FeedLineResults) {
    MimeBase64Reader reader;
    EXPECT_EQ(reader.feedLine("Content-Type: a/b"), 0);
    EXPECT_EQ(reader.feedLine(""), 0);
    EXPECT_EQ(reader.feedLine("TWFu"), 0);
    EXPECT_EQ(reader.feedLine(""), 0);
    EXPECT_EQ(reader.feedLine("TQ"), 0);
    EXPECT_EQ(reader.feedLine(""), -1);
    EXPECT_EQ(reader.count(), 4);
    uint8_t* bytes = reader.detach();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(hex(std::vector<uint8_t>(bytes, bytes + 4)), "4D 61 6E 4D");
    std::free(bytes);
    EXPECT_EQ(reader.count(), 0);
    EXPECT_EQ(reader.detach(), nullptr);
}

}  // namespace
}  // namespace fontseal

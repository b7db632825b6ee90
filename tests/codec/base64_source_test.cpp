// SPDX-License-Identifier: Apache-2.0
#include "codec/base64_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory_stream.h"
#include "platform/file_source.h"
#include "support/base64_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::hex;

// Reads until atEnd() says the text is over, then checks that one more byte
// is refused with 257.
std::vector<uint8_t> drain(ByteSource& source) {
    std::vector<uint8_t> out;
    while (!source.atEnd()) {
        uint8_t b;
        source.read(&b, 1);
        out.push_back(b);
    }
    uint8_t b;
    try {
        source.read(&b, 1);
        ADD_FAILURE() << "read past the end succeeded";
    } catch (const error& e) {
        EXPECT_EQ(e.code, kErrReadPastEnd);
    }
    EXPECT_TRUE(source.atEnd());
    return out;
}

std::vector<uint8_t> decode8(const std::string& text) {
    MemoryStream in(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    Base64Source source(in);
    return drain(source);
}

std::vector<uint8_t> decode16(const std::vector<uint8_t>& text) {
    MemoryStream in(text.data(), static_cast<int>(text.size()));
    WideBase64Source source(in);
    return drain(source);
}

std::vector<uint8_t> wide(const std::string& text) {
    std::vector<uint8_t> out;
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

int readCode(ByteSource& source, int count) {
    std::vector<uint8_t> buffer(static_cast<size_t>(count > 0 ? count : 1));
    try {
        source.read(buffer.data(), count);
    } catch (const error& e) {
        return e.code;
    }
    return 0;
}

TEST(Base64Source, PaddingEndsTheText) {
    EXPECT_EQ(hex(decode8("TWFu")), "4D 61 6E");
    EXPECT_EQ(hex(decode8("TQ==")), "4D");
    EXPECT_EQ(hex(decode8("TWE=")), "4D 61");
    // Whatever follows a padded group is not part of the text.
    EXPECT_EQ(hex(decode8("TQ==TWFu")), "4D");
    EXPECT_EQ(hex(decode8("TWE=\r\nTWFu")), "4D 61");
    // '=' in the first two places of a group ends the text without a byte.
    EXPECT_EQ(hex(decode8("TWFu=AAA")), "4D 61 6E");
    EXPECT_EQ(hex(decode8("TWFuT===")), "4D 61 6E");
    // A group cut short without padding delivers nothing.
    EXPECT_EQ(hex(decode8("TWFuTW")), "4D 61 6E");
    EXPECT_EQ(hex(decode8("")), "");
    EXPECT_EQ(hex(decode8(" \r\n\t")), "");
}

TEST(Base64Source, ReadsAcrossLinesAndRefusesTheSeventhByte) {
    std::string text = "TWFu\r\nTWFu";
    MemoryStream in(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    Base64Source source(in);
    EXPECT_EQ(source.remaining(), -1);
    uint8_t six[6];
    source.read(six, 6);
    EXPECT_EQ(hex(std::vector<uint8_t>(six, six + 6)), "4D 61 6E 4D 61 6E");
    EXPECT_EQ(readCode(source, 1), kErrReadPastEnd);
    EXPECT_EQ(readCode(source, 1), kErrReadPastEnd);
    EXPECT_TRUE(source.atEnd());
}

TEST(Base64Source, ForeignCharactersEndTheText) {
    MemoryStream empty(nullptr, 0);
    Base64Source nothing(empty);
    EXPECT_EQ(readCode(nothing, 1), kErrReadPastEnd);
    // A PEM header is not skipped: the first '-' ends the text at once.
    EXPECT_EQ(hex(decode8("-----BEGIN CERTIFICATE-----\r\nTWFu")), "");
    // The bytes before the foreign character are delivered; a group it cuts
    // in half is lost.
    EXPECT_EQ(hex(decode8("TWFu\r\n-----END CERTIFICATE-----")), "4D 61 6E");
    EXPECT_EQ(hex(decode8("TWFuTW*u")), "4D 61 6E");
    EXPECT_EQ(hex(decode8(std::string("TWFu\0TWFu", 9))), "4D 61 6E");
    EXPECT_EQ(hex(decode8("TWFu\xC3\xA9TWFu")), "4D 61 6E");
    // A UTF-8 byte-order mark is foreign as well.
    EXPECT_EQ(hex(decode8("\xEF\xBB\xBFTWFu")), "");
    // Vertical tab and form feed are not whitespace here.
    EXPECT_EQ(hex(decode8("TWFu\vTWFu")), "4D 61 6E");
    EXPECT_EQ(hex(decode8("TWFu\fTWFu")), "4D 61 6E");
}

TEST(Base64Source, WhitespaceAnywhereIsSkipped) {
    EXPECT_EQ(hex(decode8(" T\tW\r\nF u \r\n")), "4D 61 6E");
    EXPECT_EQ(hex(decode8("\n\n\nT  Q =\t=\n")), "4D");
}

// The text arrives in blocks of 256 characters: every alignment of the line
// ends, groups and padding against the block edge must decode the same.
TEST(Base64Source, BlockEdgesDoNotMatter) {
    std::vector<uint8_t> data = testsupport::randomBytes(400, 7);
    std::vector<testsupport::Base64Reference> refs = testsupport::base64References({data});
    const std::string& body = refs[0].pemCrlf;
    for (size_t lead = 0; lead < 300; ++lead) {
        // Leading whitespace shifts everything, including the CR LF pairs.
        std::string text = std::string(lead % 2 ? lead : 0, ' ') +
                           std::string(lead % 2 ? 0 : lead / 2, '\r') +
                           std::string(lead % 2 ? 0 : lead / 2, '\n') + body;
        ASSERT_EQ(decode8(text), data) << "lead " << lead;
    }
    // A CR as character 255 and its LF as the first of the next block.
    std::string text = std::string(251, ' ') + "TWFu\r\nTQ==";
    ASSERT_EQ(text[255], '\r');
    ASSERT_EQ(text[256], '\n');
    EXPECT_EQ(hex(decode8(text)), "4D 61 6E 4D");
    // Padding as the last character of a block, and as the first of the next.
    EXPECT_EQ(hex(decode8(std::string(252, ' ') + "TQ==")), "4D");
    EXPECT_EQ(hex(decode8(std::string(253, ' ') + "TQ==")), "4D");
    EXPECT_EQ(hex(decode8(std::string(256, '\n') + "TWFu")), "4D 61 6E");
}

TEST(Base64Source, MatchesReferenceEncodersForManyLengths) {
    std::vector<std::vector<uint8_t>> blobs;
    for (size_t n : testsupport::base64TestLengths())
        blobs.push_back(testsupport::randomBytes(n, static_cast<uint32_t>(n)));
    for (const auto& r : testsupport::base64References(blobs)) {
        SCOPED_TRACE("length " + std::to_string(r.data.size()));
        EXPECT_EQ(decode8(r.oneLine), r.data);
        EXPECT_EQ(decode8(r.mime), r.data);
        EXPECT_EQ(decode8(r.pemCrlf), r.data);
        EXPECT_EQ(decode8(r.openssl), r.data);
        EXPECT_EQ(decode16(r.wide), r.data);
        EXPECT_EQ(decode16(r.wideBom), std::vector<uint8_t>());
        // The DER reader takes whole runs at once, not single bytes.
        MemoryStream in(reinterpret_cast<const uint8_t*>(r.pemCrlf.data()),
                        static_cast<int>(r.pemCrlf.size()));
        Base64Source source(in);
        std::vector<uint8_t> all(r.data.size());
        if (!all.empty()) source.read(all.data(), static_cast<int>(all.size()));
        EXPECT_EQ(all, r.data);
        EXPECT_TRUE(source.atEnd());
    }
}

TEST(WideBase64Source, ReadsSixteenBitCharacters) {
    EXPECT_EQ(hex(decode16(wide("TWFu"))), "4D 61 6E");
    EXPECT_EQ(hex(decode16(wide("TW\r\nFu\r\nTQ=="))), "4D 61 6E 4D");
    // A byte-order mark unit (FF FE in the file) ends the text at once.
    std::vector<uint8_t> bom = {0xFF, 0xFE};
    std::vector<uint8_t> text = wide("TWFu");
    bom.insert(bom.end(), text.begin(), text.end());
    EXPECT_EQ(hex(decode16(bom)), "");
    // The whole unit is the character: a letter with a high byte is foreign.
    std::vector<uint8_t> high = wide("TWFuTWFu");
    high[9] = 0x01;
    EXPECT_EQ(hex(decode16(high)), "4D 61 6E");
    // 8-bit text read as 16-bit pairs two letters into one foreign unit.
    std::string narrow = "TWFu";
    EXPECT_EQ(hex(decode16(std::vector<uint8_t>(narrow.begin(), narrow.end()))), "");
    // A dangling odd byte at the end is ignored.
    std::vector<uint8_t> odd = wide("TWFu");
    odd.push_back('T');
    EXPECT_EQ(hex(decode16(odd)), "4D 61 6E");
}

TEST(WideBase64Source, BlockEdgesDoNotMatter) {
    for (size_t lead = 250; lead < 262; ++lead)
        EXPECT_EQ(hex(decode16(wide(std::string(lead, ' ') + "TWFu\r\nTQ=="))), "4D 61 6E 4D")
            << "lead " << lead;
}

// A text source that claims more bytes than it can deliver.
class FailingSource : public ByteSource {
public:
    void read(uint8_t*, int) override { throw error(kErrShortTransfer); }
    bool atEnd() override { return false; }
    int remaining() override { return 100; }
};

TEST(Base64Source, FaultOfTheTextSourceEndsTheText) {
    FailingSource failing;
    Base64Source source(failing);
    EXPECT_TRUE(source.atEnd());
    EXPECT_EQ(readCode(source, 1), kErrReadPastEnd);
    WideBase64Source wideSource(failing);
    EXPECT_EQ(readCode(wideSource, 1), kErrReadPastEnd);
}

TEST(Base64Source, NegativeAndZeroCounts) {
    std::string text = "TWFu";
    MemoryStream in(reinterpret_cast<const uint8_t*>(text.data()), 4);
    Base64Source source(in);
    EXPECT_EQ(readCode(source, 0), 0);
    EXPECT_EQ(readCode(source, -1), kErrReadPastEnd);
    EXPECT_EQ(hex(drain(source)), "4D 61 6E");
}

// The certificate loader's PEM reading: skip the 27-byte header line on the
// file source, then decode the rest up to the END line.
TEST(Base64Source, DecodesACertificateFileMadeByOpenssl) {
    testsupport::TempDir dir;
    std::string pem = dir.file("c.pem"), der = dir.file("c.der");
    ASSERT_EQ(testsupport::run("openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=b64 -days 2"
                               " -keyout '" +
                               dir.file("k.pem") + "' -out '" + pem +
                               "' 2>/dev/null && openssl x509 -in '" + pem +
                               "' -outform DER -out '" + der + "'"),
              0);
    std::vector<uint8_t> expected = testsupport::readFile(der);
    std::vector<uint8_t> text = testsupport::readFile(pem);
    std::string crlf;
    for (uint8_t c : text) {
        if (c == '\n') crlf += '\r';
        crlf += static_cast<char>(c);
    }
    testsupport::writeText(dir.file("crlf.pem"), crlf);
    for (const char* name : {"c.pem", "crlf.pem"}) {
        FileSource file(dir.file(name).c_str());
        uint8_t header[27];
        file.read(header, 27);
        ASSERT_EQ(std::string(header, header + 27), "-----BEGIN CERTIFICATE-----");
        Base64Source source(file);
        EXPECT_EQ(drain(source), expected) << name;
    }
    // Bare base64 in 16-bit characters straight from the file.
    std::string body = std::string(text.begin() + 28, text.end());
    body = body.substr(0, body.find('-'));
    testsupport::writeFile(dir.file("w.b64"), wide(body));
    FileSource file(dir.file("w.b64").c_str());
    WideBase64Source source(file);
    EXPECT_EQ(drain(source), expected);
}

}  // namespace
}  // namespace fontseal

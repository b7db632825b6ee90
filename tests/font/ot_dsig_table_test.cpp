// SPDX-License-Identifier: Apache-2.0
#include "font/ot_dsig_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "font/ot_errors.h"
#include "font/font_test_util.h"
#include "support/sfnt_support.h"

namespace fontseal {
namespace {

using testsupport::be16;
using testsupport::be32;

std::vector<uint8_t> blob(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed ^ (i * 29));
    return v;
}

// The table image as written, and the table after writing.
std::vector<uint8_t> writeTable(OTDsigTable& table) {
    OTMemoryStream out(0);
    table.writeTo(&out);
    return fonttest::contents(out);
}

TEST(OTDsigTable, OneSignatureOf1000BytesIs1028Long) {
    OTSigningFont font;
    OTDsigTable& dsig = font.appendDsigTable();
    std::vector<uint8_t> sig = blob(1000, 3);
    dsig.setSignature(fonttest::mallocCopy(sig), 1000);
    EXPECT_EQ(dsig.computeLength(), 1028u);
    std::vector<uint8_t> image = writeTable(dsig);
    ASSERT_EQ(image.size(), 1028u);
    EXPECT_EQ(dsig.length(), 1028u);
    EXPECT_EQ(be32(image, 0), 1u);      // version
    EXPECT_EQ(be16(image, 4), 1u);      // numSignatures
    EXPECT_EQ(be16(image, 6), 1u);      // flags
    EXPECT_EQ(be32(image, 8), 1u);      // format
    EXPECT_EQ(be32(image, 12), 1008u);  // block length
    EXPECT_EQ(be32(image, 16), 20u);    // block offset
    EXPECT_EQ(be32(image, 20), 0u);     // reserved
    EXPECT_EQ(be32(image, 24), 1000u);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 28, image.end()), sig);
    EXPECT_EQ(dsig.checksum(), testsupport::sfntSum(image));
}

TEST(OTDsigTable, OddLengthIsPaddedWithZeros) {
    OTSigningFont font;
    OTDsigTable& dsig = font.appendDsigTable();
    std::vector<uint8_t> sig = blob(1001, 0xFF);
    dsig.setSignature(fonttest::mallocCopy(sig), 1001);
    std::vector<uint8_t> image = writeTable(dsig);
    ASSERT_EQ(image.size(), 1032u);
    EXPECT_EQ(dsig.length(), 1032u);
    EXPECT_EQ(be32(image, 12), 1009u);
    EXPECT_EQ(be32(image, 24), 1001u);
    EXPECT_EQ(image[1029], 0);
    EXPECT_EQ(image[1030], 0);
    EXPECT_EQ(image[1031], 0);
    EXPECT_EQ(dsig.checksum(), testsupport::sfntSum(image));
}

TEST(OTDsigTable, SeveralSignaturesChainTheirBlocksAndParseBack) {
    std::vector<uint8_t> a = blob(100, 1), b = blob(7, 2);
    std::vector<uint8_t> font = testsupport::buildSfnt({{"name", blob(12, 9)}});
    std::vector<uint8_t> out = fonttest::rewrite(font, [&](OTSigningFont& f) {
        OTDsigTable& dsig = f.appendDsigTable();
        dsig.signatures.resize(2);
        dsig.signatures[0].length = 100;
        dsig.signatures[0].bytes.reset(fonttest::mallocCopy(a));
        dsig.signatures[1].format = 1;
        dsig.signatures[1].reserved2 = 5;
        dsig.signatures[1].length = 7;
        dsig.signatures[1].bytes.reset(fonttest::mallocCopy(b));
    });
    testsupport::SfntDirectory dir = testsupport::parseSfntDirectory(out);
    const testsupport::SfntEntry* entry = testsupport::findEntry(dir, "DSIG");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->length, 156u);  // 8 + 2 x 20 + 107, rounded up
    std::vector<uint8_t> image = testsupport::tableBytes(out, *entry);
    EXPECT_EQ(be32(image, 16), 32u);
    EXPECT_EQ(be32(image, 20 + 4), 15u);
    EXPECT_EQ(be32(image, 20 + 8), 140u);

    OTMemoryStream input(0);
    fonttest::fill(input, out);
    OTSigningFont reread(&input);
    reread.readDirectory();
    auto& parsed = dynamic_cast<OTDsigTable&>(reread.table(reread.findTable("DSIG")));
    EXPECT_EQ(parsed.parse(nullptr), 0);
    EXPECT_EQ(parsed.state(), OTTable::kParsed);
    ASSERT_EQ(parsed.signatures.size(), 2u);
    EXPECT_EQ(parsed.signatures[1].reserved2, 5);
    EXPECT_EQ(std::vector<uint8_t>(parsed.signatures[0].bytes.get(),
                                   parsed.signatures[0].bytes.get() + 100),
              a);
    EXPECT_EQ(std::vector<uint8_t>(parsed.signatures[1].bytes.get(),
                                   parsed.signatures[1].bytes.get() + 7),
              b);
}

TEST(OTDsigTable, ParseRejectsBlocksOutsideTheTable) {
    std::vector<uint8_t> image(40, 0);
    testsupport::putBe32(image, 0, 1);
    testsupport::putBe16(image, 4, 1);
    testsupport::putBe32(image, 8, 1);
    testsupport::putBe32(image, 12, 20);  // block of 20 bytes at 20: runs to 40, fits
    testsupport::putBe32(image, 16, 20);
    testsupport::putBe32(image, 24, 12);  // 12 signature bytes in a 20-byte block
    auto parseWith = [](const std::vector<uint8_t>& table) {
        std::vector<uint8_t> font = testsupport::buildSfnt({{"DSIG", table}});
        OTMemoryStream input(0);
        fonttest::fill(input, font);
        OTSigningFont f(&input);
        f.readDirectory();
        try {
            return f.table(0).parse(nullptr);
        } catch (const OT_EXCEPTION& e) {
            return e.code;
        }
    };
    EXPECT_EQ(parseWith(image), 0);
    std::vector<uint8_t> bad = image;
    testsupport::putBe32(bad, 16, 24);  // block now ends at 44
    EXPECT_EQ(parseWith(bad), -2);
    bad = image;
    testsupport::putBe32(bad, 24, 13);  // more signature bytes than the block holds
    EXPECT_EQ(parseWith(bad), -2);
    bad = image;
    testsupport::putBe16(bad, 4, 3);  // records beyond the table
    EXPECT_EQ(parseWith(bad), -2);
    EXPECT_EQ(parseWith(std::vector<uint8_t>(image.begin(), image.begin() + 6)), -2);
}

TEST(OTDsigTable, SetSignatureReplacesAndOwnerIsRequired) {
    OTDsigTable orphan("DSIG", nullptr);
    orphan.signatures.resize(3);
    orphan.version = 7;
    orphan.setSignature(fonttest::mallocCopy(blob(10, 1)), 10);
    ASSERT_EQ(orphan.signatures.size(), 1u);
    EXPECT_EQ(orphan.version, 1u);
    EXPECT_EQ(orphan.flags, 1);
    EXPECT_EQ(orphan.signatures[0].format, 1u);
    OTMemoryStream out(0);
    try {
        orphan.writeTo(&out);
        FAIL() << "a table without owner was written";
    } catch (const OT_EXCEPTION& e) {
        EXPECT_EQ(e.code, -4);
    }
}

TEST(OTDsigTable, FontToolsReadsTheTable) {
    testsupport::TempDir dir;
    std::string inPath = dir.file("in.ttf"), outPath = dir.file("out.ttf");
    testsupport::writeFile(inPath, testsupport::buildSfnt({{"head", testsupport::sampleHead()},
                                                           {"name", blob(30, 4)}}));
    std::vector<uint8_t> sig = blob(1000, 0x5A);
    fonttest::rewriteFile(inPath, outPath, [&](OTSigningFont& f) {
        f.appendDsigTable().setSignature(fonttest::mallocCopy(sig), 1000);
    });
    std::vector<uint8_t> out = testsupport::readFile(outPath);
    EXPECT_EQ(testsupport::sfntSum(out), 0xB1B0AFBAu);
    std::string report;
    ASSERT_EQ(fonttest::fontToolsReport(outPath, &report), 0) << report;
    const std::string header = "\n1 1 1\n1 1008 20 1000 ";
    size_t at = report.find(header);
    ASSERT_NE(at, std::string::npos) << report;
    size_t from = at + header.size();
    EXPECT_EQ(testsupport::unhex(report.substr(from, report.find('\n', from) - from)), sig);
}

}  // namespace
}  // namespace fontseal

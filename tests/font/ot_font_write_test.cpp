// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "font/font_layout_check.h"
#include "font/font_test_util.h"
#include "font/ot_dsig_table.h"
#include "font/ot_font.h"
#include "font/ot_head_table.h"
#include "support/sfnt_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using fonttest::checkWrittenFont;
using fonttest::fontToolsReport;
using testsupport::readFile;

struct RealFont {
    std::string path;
    uint32_t version;
};

void PrintTo(const RealFont& font, std::ostream* os) { *os << font.path; }

class RealFontWrite : public ::testing::TestWithParam<RealFont> {};

TEST_P(RealFontWrite, LaysOutTheFontAndFontToolsAcceptsIt) {
    const RealFont& font = GetParam();
    std::vector<uint8_t> in = readFile(font.path);
    testsupport::TempDir dir;
    std::string outPath = dir.file("out.font");
    fonttest::rewriteFile(font.path, outPath);
    std::vector<uint8_t> out = readFile(outPath);
    checkWrittenFont(in, out, font.version);

    // The memory image the signing job digests is the same layout.
    EXPECT_EQ(fonttest::rewrite(in), out);
    // Writing the written font again changes nothing.
    EXPECT_EQ(fonttest::rewrite(out), out);

    std::string report;
    ASSERT_EQ(fontToolsReport(outPath, &report), 0) << report;
    std::string versionLine = font.version == OTFont::kVersionCff ? "OTTO\n" : "\x00\x01\x00\x00\n";
    EXPECT_EQ(report.substr(0, versionLine.size()), versionLine) << report;
}

TEST_P(RealFontWrite, WithDsigTheSignatureComesLastAndReadsBack) {
    const RealFont& font = GetParam();
    std::vector<uint8_t> in = readFile(font.path);
    std::vector<uint8_t> signature(1001);
    for (size_t i = 0; i < signature.size(); ++i) signature[i] = static_cast<uint8_t>(i * 13 + 5);

    testsupport::TempDir dir;
    std::string outPath = dir.file("signed.font");
    fonttest::rewriteFile(font.path, outPath, [&](OTSigningFont& f) {
        f.appendDsigTable().setSignature(fonttest::mallocCopy(signature), 1001);
    });
    std::vector<uint8_t> out = readFile(outPath);
    checkWrittenFont(in, out, font.version, {"DSIG"});

    testsupport::SfntDirectory dsts = testsupport::parseSfntDirectory(out);
    const testsupport::SfntEntry* dsig = testsupport::findEntry(dsts, "DSIG");
    ASSERT_NE(dsig, nullptr);
    EXPECT_EQ(dsig->length, 1032u);
    // DSIG data follows every other listed table and precedes the unlisted ones.
    for (const testsupport::SfntEntry& e : dsts.entries) {
        if (e.tag == "DSIG") continue;
        if (fonttest::orderRank(e.tag) < fonttest::orderRank("DSIG")) {
            EXPECT_LT(e.offset, dsig->offset) << e.tag;
        } else {
            EXPECT_GT(e.offset, dsig->offset) << e.tag;
        }
    }

    std::string report;
    ASSERT_EQ(fontToolsReport(outPath, &report), 0) << report;
    const std::string header = "\n1 1 1\n1 1009 20 1001 ";
    size_t at = report.find(header);
    ASSERT_NE(at, std::string::npos) << report;
    size_t from = at + header.size();
    std::string blob = report.substr(from, report.find('\n', from) - from);
    EXPECT_EQ(testsupport::unhex(blob), signature);

    // Signing again: the old DSIG is dropped and the rest is laid out as before.
    std::vector<uint8_t> unsigned1 = fonttest::rewrite(in);
    std::vector<uint8_t> unsigned2 = fonttest::rewrite(out, [](OTSigningFont& f) {
        int32_t index = f.findTable("DSIG");
        ASSERT_GE(index, 0);
        f.removeTable(index);
        EXPECT_EQ(f.findTable("DSIG"), -1);
    });
    EXPECT_EQ(unsigned2, unsigned1);
}

INSTANTIATE_TEST_SUITE_P(
    Fonts, RealFontWrite,
    ::testing::Values(RealFont{testsupport::dejavuSansPath(), OTFont::kVersionTrueType},
                      RealFont{testsupport::latinModernOtfPath(), OTFont::kVersionCff}),
    [](const ::testing::TestParamInfo<RealFont>& info) {
        return info.param.version == OTFont::kVersionCff ? std::string("LatinModernOtf")
                                                         : std::string("DejaVuSans");
    });

TEST(RealFontWrite, HeadFieldsAreParsedFromTheInput) {
    std::vector<uint8_t> in = readFile(testsupport::dejavuSansPath());
    OTMemoryStream stream(static_cast<int32_t>(in.size()));
    fonttest::fill(stream, in);
    OTSigningFont font(&stream);
    ASSERT_GT(font.readDirectory(), 0);
    int32_t index = font.findTable("head");
    ASSERT_GE(index, 0);
    auto& head = dynamic_cast<OTHeadTable&>(font.table(index));
    EXPECT_EQ(head.state(), OTTable::kParsed);
    EXPECT_EQ(head.magicNumber, 0x5F0F3CF5u);
    EXPECT_EQ(head.unitsPerEm, 2048);
    testsupport::SfntDirectory directory = testsupport::parseSfntDirectory(in);
    const testsupport::SfntEntry* entry = testsupport::findEntry(directory, "head");
    EXPECT_EQ(head.checkSumAdjustment, testsupport::be32(in, entry->offset + 8));
}

}  // namespace
}  // namespace fontseal

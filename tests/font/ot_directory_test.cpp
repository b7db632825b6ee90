// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "font/font_layout_check.h"
#include "font/font_test_util.h"
#include "font/ot_dsig_table.h"
#include "font/ot_errors.h"
#include "font/ot_font.h"
#include "font/ot_head_table.h"
#include "support/sfnt_support.h"

namespace fontseal {
namespace {

using testsupport::buildSfnt;
using testsupport::parseSfntDirectory;
using testsupport::SfntTable;

std::vector<uint8_t> bytesOf(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 3);
    return v;
}

// The code of the OT_EXCEPTION that reading (and then writing) `font` raises,
// or 0 when both succeed.
int32_t readAndWrite(const std::vector<uint8_t>& font) {
    try {
        fonttest::rewrite(font);
    } catch (const OT_EXCEPTION& e) {
        return e.code;
    }
    return 0;
}

std::string tableName(size_t i) {
    std::string tag = "t000";
    tag[1] = static_cast<char>('a' + i / 100);
    tag[2] = static_cast<char>('0' + i / 10 % 10);
    tag[3] = static_cast<char>('0' + i % 10);
    return tag;
}

std::vector<SfntTable> numbered(size_t count) {
    std::vector<SfntTable> tables;
    for (size_t i = 0; i < count; ++i) tables.push_back({tableName(i), bytesOf(1 + i % 5, 1)});
    return tables;
}

TEST(OTFontDirectory, SearchParametersFollowTheTableCount) {
    struct Case {
        uint16_t n, searchRange, entrySelector, rangeShift;
    };
    for (Case c : {Case{1, 16, 0, 0}, Case{2, 32, 1, 0}, Case{3, 32, 1, 16}, Case{16, 256, 4, 0},
                   Case{17, 256, 4, 16}}) {
        OTFont::SearchParams p = OTFont::searchParams(c.n);
        EXPECT_EQ(p.searchRange, c.searchRange) << c.n;
        EXPECT_EQ(p.entrySelector, c.entrySelector) << c.n;
        EXPECT_EQ(p.rangeShift, c.rangeShift) << c.n;

        // And in a written directory.
        std::vector<uint8_t> out = fonttest::rewrite(buildSfnt(numbered(c.n)));
        testsupport::SfntDirectory d = parseSfntDirectory(out);
        EXPECT_EQ(d.numTables, c.n);
        EXPECT_EQ(d.searchRange, c.searchRange) << c.n;
        EXPECT_EQ(d.entrySelector, c.entrySelector) << c.n;
        EXPECT_EQ(d.rangeShift, c.rangeShift) << c.n;
    }
}

TEST(OTFontDirectory, VersionComesFromTheTablesNotTheInput) {
    std::vector<SfntTable> tables = {{"head", testsupport::sampleHead()}, {"CFF ", bytesOf(40, 9)}};
    std::vector<uint8_t> cff = buildSfnt(tables, 0x00010000);
    EXPECT_EQ(parseSfntDirectory(fonttest::rewrite(cff)).version, 0x4F54544Fu);
    tables.pop_back();
    tables.push_back({"glyf", bytesOf(40, 9)});
    std::vector<uint8_t> tt = buildSfnt(tables, 0x4F54544F);
    EXPECT_EQ(parseSfntDirectory(fonttest::rewrite(tt)).version, 0x00010000u);
}

TEST(OTFontDirectory, UnlistedTablesFollowInTagOrder) {
    std::vector<SfntTable> tables = {{"zzzz", bytesOf(5, 1)}, {"GSUB", bytesOf(6, 2)},
                                     {"abcd", bytesOf(7, 3)}, {"DSIG", bytesOf(8, 4)},
                                     {"Zapf", bytesOf(9, 5)}, {"head", testsupport::sampleHead()},
                                     {"cmap", bytesOf(3, 6)}};
    std::vector<uint8_t> in = buildSfnt(tables);
    // A plain OTFont copies an existing DSIG like any other table.
    OTMemoryStream input(0);
    fonttest::fill(input, in);
    OTMemoryStream output(0);
    OTFont font(&input, &output);
    ASSERT_EQ(font.readDirectory(), 7);
    font.writeFont();
    std::vector<uint8_t> out = fonttest::contents(output);
    fonttest::checkWrittenFont(in, out, 0x00010000);

    testsupport::SfntDirectory d = parseSfntDirectory(out);
    std::vector<std::string> byOffset;
    for (const char* tag : {"head", "cmap", "GSUB", "DSIG", "Zapf", "abcd", "zzzz"}) {
        byOffset.push_back(tag);
        if (byOffset.size() > 1) {
            EXPECT_LT(testsupport::findEntry(d, byOffset[byOffset.size() - 2])->offset,
                      testsupport::findEntry(d, tag)->offset)
                << tag;
        }
    }
}

TEST(OTFontDirectory, CopiedTableKeepsItsWrongChecksum) {
    std::vector<uint8_t> in =
        buildSfnt({{"head", testsupport::sampleHead()}, {"name", bytesOf(10, 1)}});
    testsupport::SfntDirectory src = parseSfntDirectory(in);
    size_t nameRecord = 12 + 16 * 1;  // "head" < "name"
    ASSERT_EQ(src.entries[1].tag, "name");
    testsupport::putBe32(in, nameRecord + 4, 0x01020304);
    std::vector<uint8_t> out = fonttest::rewrite(in);
    testsupport::SfntDirectory written = parseSfntDirectory(out);
    EXPECT_EQ(testsupport::findEntry(written, "name")->checksum, 0x01020304u);
}

TEST(OTFontDirectory, TableCountLimitIs256) {
    EXPECT_EQ(readAndWrite(buildSfnt(numbered(256))), 0);
    EXPECT_EQ(readAndWrite(buildSfnt(numbered(257))), -2);
}

TEST(OTFontDirectory, TablesMustLieInsideTheFile) {
    std::vector<uint8_t> in =
        buildSfnt({{"head", testsupport::sampleHead()}, {"name", bytesOf(10, 1)}});
    const size_t nameRecord = 12 + 16;
    const uint32_t size = static_cast<uint32_t>(in.size());

    std::vector<uint8_t> past = in;
    testsupport::putBe32(past, nameRecord + 12, size);  // offset > 0, so the end is past EOF
    EXPECT_EQ(readAndWrite(past), -2);

    std::vector<uint8_t> wraps = in;
    testsupport::putBe32(wraps, nameRecord + 8, 16);
    testsupport::putBe32(wraps, nameRecord + 12, 0xFFFFFFF8u);  // 16 + length wraps to 8
    EXPECT_EQ(readAndWrite(wraps), -2);

    std::vector<uint8_t> atEnd = in;
    testsupport::putBe32(atEnd, nameRecord + 8, size);
    testsupport::putBe32(atEnd, nameRecord + 12, 0);
    testsupport::putBe32(atEnd, nameRecord + 4, 0);  // the checksum of no bytes
    std::vector<uint8_t> out = fonttest::rewrite(atEnd);
    testsupport::SfntDirectory written = parseSfntDirectory(out);
    const testsupport::SfntEntry* name = testsupport::findEntry(written, "name");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->length, 0u);
    EXPECT_EQ(testsupport::sfntSum(out), 0xB1B0AFBAu);

    // A table spanning exactly the whole file lies inside it, but over the
    // directory and head: refused as overlapping.
    std::vector<uint8_t> whole = in;
    testsupport::putBe32(whole, nameRecord + 8, 0);
    testsupport::putBe32(whole, nameRecord + 12, size);  // exactly the whole file
    EXPECT_EQ(readAndWrite(whole), -2);
    // name's data lies last: reaching exactly to the end of the file is accepted.
    std::vector<uint8_t> toEnd = in;
    testsupport::putBe32(toEnd, nameRecord + 12, size - testsupport::be32(in, nameRecord + 8));
    EXPECT_EQ(readAndWrite(toEnd), 0);
}

TEST(OTFontDirectory, WhatIsNoSfntIsNamed) {
    const std::vector<uint8_t> font = buildSfnt({{"head", testsupport::sampleHead()}});
    auto as = [&](const char* version) {
        std::vector<uint8_t> v = font;
        std::copy(version, version + 4, v.begin());
        return v;
    };
    struct Case {
        std::vector<uint8_t> bytes;
        int32_t code;
    };
    const Case cases[] = {
        {as("true"), 0},
        {as("OTTO"), 0},
        {as("wOFF"), kOtWoff},
        {as("wOF2"), kOtWoff2},
        {as("ttcf"), kOtCollection},
        {as("\0\1\0\1"), kOtNotSfnt},
        {std::vector<uint8_t>(font.begin(), font.begin() + 6), kOtBadDirectory},
        {{'w', 'O', 'F', '2'}, kOtWoff2},
    };
    for (const Case& c : cases) EXPECT_EQ(readAndWrite(c.bytes), c.code);
}

// An input as long as the streams can address, holding a real directory and
// head at its start and zeros after them, without the bytes in memory.
class LongInput : public OTStream {
public:
    explicit LongInput(std::vector<uint8_t> start) : start_(std::move(start)) {}
    int32_t write(const void*, int32_t) override { return 0; }
    int32_t read(void* buffer, int32_t count) override {
        auto* out = static_cast<uint8_t*>(buffer);
        int32_t n = std::min(count, size() - position_);
        for (int32_t i = 0; i < n; ++i) {
            size_t at = static_cast<size_t>(position_) + i;
            out[i] = at < start_.size() ? start_[at] : 0;
        }
        position_ += n;
        return n;
    }
    int32_t seek(int32_t offset, SeekOrigin) override { return position_ = offset; }
    int32_t tell() override { return position_; }
    int32_t size() override { return INT32_MAX; }
    bool close() override { return true; }

private:
    std::vector<uint8_t> start_;
    int32_t position_ = 0;
};

TEST(OTFontDirectory, FontsTooLongForThePositionsAreRefusedBeforeWriting) {
    // head at 44 (54 bytes, 56 with padding), a table from 100 to the end of
    // the input: the output needs one byte of padding past INT32_MAX. With a
    // table one word shorter it fits, until a signature is added.
    for (uint32_t shorter : {0u, 4u}) {
        std::vector<uint8_t> start =
            buildSfnt({{"head", testsupport::sampleHead()}, {"zBig", std::vector<uint8_t>(1, 0)}});
        testsupport::putBe32(start, 12 + 16 + 12, uint32_t(INT32_MAX) - 100 - shorter);
        LongInput input(start);
        OTMemoryStream output(0);
        OTSigningFont font(&input, &output);
        ASSERT_EQ(font.readDirectory(), 2);
        if (shorter) {
            EXPECT_EQ(font.layout().size, uint64_t(INT32_MAX) - 3);
            font.appendDsigTable().setSignature(fonttest::mallocCopy({1, 2, 3}), 3);
        }
        int32_t code = 0;
        try {
            font.writeFont();
        } catch (const OT_EXCEPTION& e) {
            code = e.code;
        }
        EXPECT_EQ(code, kOtTooLarge);
        EXPECT_EQ(output.size(), 0);
    }
}

TEST(OTFontDirectory, TruncatedDirectoryOrHeadIsUnusable) {
    std::vector<uint8_t> in =
        buildSfnt({{"name", bytesOf(10, 1)}, {"head", testsupport::sampleHead()}});
    EXPECT_EQ(readAndWrite(std::vector<uint8_t>(in.begin(), in.begin() + 11)), -2);
    EXPECT_EQ(readAndWrite(std::vector<uint8_t>(in.begin(), in.begin() + 12 + 16 + 15)), -2);
    // head lies last: cutting into it leaves fewer than 54 bytes to parse,
    // once its length is shortened to keep the directory check passing.
    testsupport::SfntDirectory original = parseSfntDirectory(in);
    const testsupport::SfntEntry* head = testsupport::findEntry(original, "head");
    std::vector<uint8_t> cut(in.begin(), in.begin() + head->offset + 20);
    ASSERT_EQ(original.entries[0].tag, "head");
    testsupport::putBe32(cut, 12 + 12, 20);  // head's length: the directory check passes
    EXPECT_EQ(readAndWrite(cut), -2);
    // Even with all 54 bytes present a head whose length says 20 is refused:
    // its fields would be read from beyond the table.
    std::vector<uint8_t> whole(in.begin(), in.begin() + head->offset + 54);
    testsupport::putBe32(whole, 12 + 12, 20);
    EXPECT_EQ(readAndWrite(whole), -2);
    testsupport::putBe32(whole, 12 + 12, 54);
    EXPECT_EQ(readAndWrite(whole), 0);
    EXPECT_EQ(readAndWrite({}), -2);
}

TEST(OTFontDirectory, FontWithoutHeadIsWrittenWithoutAdjustment) {
    std::vector<uint8_t> in = buildSfnt({{"name", bytesOf(10, 1)}, {"cmap", bytesOf(33, 2)}});
    std::vector<uint8_t> out = fonttest::rewrite(in);
    // Checked against an independent layout; every byte is a copied table,
    // padding or directory, so no stray adjustment was written anywhere.
    std::vector<uint8_t> expected = buildSfnt({{"name", bytesOf(10, 1)}, {"cmap", bytesOf(33, 2)}});
    EXPECT_EQ(out, expected);

    // A font whose head was removed after one write: the second write has
    // no head and must not reuse the first write's adjustment position.
    OTMemoryStream input(0);
    fonttest::fill(input, buildSfnt({{"head", testsupport::sampleHead()},
                                     {"cmap", bytesOf(33, 2)},
                                     {"name", bytesOf(10, 1)}}));
    OTFont font(&input);
    font.readDirectory();
    OTMemoryStream first(0);
    font.setOutput(&first);
    font.writeFont();
    EXPECT_EQ(font.checksumAdjustmentPosition(), 12 + 16 * 3 + 8);
    font.removeTable(font.findTable("head"));
    OTMemoryStream second(0);
    font.setOutput(&second);
    font.writeFont();
    EXPECT_EQ(font.checksumAdjustmentPosition(), -1);
    EXPECT_EQ(fonttest::contents(second), expected);
}

TEST(OTFontDirectory, RemoveTableShiftsLaterEntriesUp) {
    std::vector<uint8_t> in = buildSfnt(numbered(5));
    OTMemoryStream input(0);
    fonttest::fill(input, in);
    OTFont font(&input);
    ASSERT_EQ(font.readDirectory(), 5);
    font.removeTable(1);
    ASSERT_EQ(font.tableCount(), 4);
    EXPECT_EQ(std::string(font.table(0).tag(), 4), tableName(0));
    EXPECT_EQ(std::string(font.table(1).tag(), 4), tableName(2));
    EXPECT_EQ(std::string(font.table(3).tag(), 4), tableName(4));
    EXPECT_EQ(font.findTable(tableName(1).c_str()), -1);
    EXPECT_EQ(font.findTable(tableName(4).c_str()), 3);
    font.removeTable(-1);
    font.removeTable(4);
    EXPECT_EQ(font.tableCount(), 4);
}

TEST(OTFontDirectory, MissingStreamsOwnerOrRawDataRaise) {
    auto code = [](auto&& action) {
        try {
            action();
        } catch (const OT_EXCEPTION& e) {
            return e.code;
        }
        return 0;
    };
    OTFont noInput;
    EXPECT_EQ(code([&] { noInput.readDirectory(); }), -3);
    EXPECT_EQ(code([&] { noInput.writeFont(); }), -7);

    OTMemoryStream input(0);
    fonttest::fill(input, buildSfnt({{"name", bytesOf(10, 1)}}));
    OTFont font(&input);
    font.readDirectory();
    EXPECT_EQ(code([&] { font.writeFont(); }), -7);
    EXPECT_EQ(code([&] { font.table(0).writeTo(nullptr); }), -7);

    OTMemoryStream output(0);
    font.setOutput(&output);
    font.appendTable(font.createTable("cvt "));  // new, not raw: cannot be copied
    EXPECT_EQ(code([&] { font.writeFont(); }), -6);

    OTTable orphan("name", nullptr);
    EXPECT_EQ(code([&] { orphan.writeTo(&output); }), -4);
    OTHeadTable orphanHead("head", nullptr);
    EXPECT_EQ(code([&] { orphanHead.writeTo(&output); }), -4);
    EXPECT_EQ(code([&] { orphanHead.parse(&input); }), -4);

    OTFileStream missing("/nonexistent/font.ttf", OpenMode::kRead);
    OTFont unopened(&missing);
    EXPECT_EQ(code([&] { unopened.readDirectory(); }), -3);
}

TEST(OTFontDirectory, InputThatShrinksUnderTheCopyIsAShortTransfer) {
    testsupport::TempDir dir;
    std::string path = dir.file("in.ttf");
    std::vector<uint8_t> in =
        buildSfnt({{"head", testsupport::sampleHead()}, {"name", bytesOf(5000, 1)}});
    testsupport::writeFile(path, in);
    OTFileStream input(path.c_str(), OpenMode::kRead);
    OTFont font(&input);
    font.readDirectory();
    ASSERT_EQ(truncate(path.c_str(), 200), 0);
    OTMemoryStream output(0);
    font.setOutput(&output);
    try {
        font.writeFont();
        FAIL() << "a copy from a shrunken file succeeded";
    } catch (const error& e) {
        EXPECT_EQ(e.code, kErrShortTransfer);
    }
}

}  // namespace
}  // namespace fontseal

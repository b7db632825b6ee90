// SPDX-License-Identifier: Apache-2.0
// Mutated fonts through the directory reader and the writer, under the
// address and undefined-behaviour sanitizers: every input either raises
// OT_EXCEPTION -2 or gives a well-formed font, never anything worse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "font/ot_dsig_table.h"
#include "font/ot_errors.h"
#include "font/ot_font.h"
#include "font/ot_memory_stream.h"
#include "font/ot_signing_font.h"
#include "support/sfnt_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::SfntTable;

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 5);
    return v;
}

std::vector<std::vector<uint8_t>> seeds() {
    std::vector<std::vector<uint8_t>> out;
    out.push_back(testsupport::buildSfnt({{"head", testsupport::sampleHead()},
                                          {"hhea", bytes(36, 1)},
                                          {"maxp", bytes(6, 2)},
                                          {"name", bytes(45, 3)},
                                          {"cmap", bytes(20, 4)},
                                          {"loca", bytes(10, 5)},
                                          {"glyf", bytes(77, 6)},
                                          {"post", bytes(32, 7)},
                                          {"zzzz", bytes(3, 8)}}));
    out.push_back(testsupport::buildSfnt({{"head", testsupport::sampleHead()},
                                          {"CFF ", bytes(120, 9)},
                                          {"DSIG", bytes(40, 10)},
                                          {"GSUB", bytes(0, 11)},
                                          {"MATH", bytes(13, 12)}},
                                         0x4F54544F));
    for (const std::string& path :
         {testsupport::dejavuSansPath(), testsupport::latinModernOtfPath()}) {
        std::vector<uint8_t> font = testsupport::readFile(path);
        font.resize(std::min<size_t>(font.size(), 4096));
        out.push_back(font);
    }
    return out;
}

uint32_t interesting(std::mt19937& rng, uint32_t size) {
    const uint32_t values[] = {0,        1,          4,          54,         size - 1,   size,
                               size + 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF8, size / 2};
    return rng() % 3 == 0 ? rng() : values[rng() % (sizeof values / sizeof values[0])];
}

std::vector<uint8_t> mutate(std::vector<uint8_t> font, std::mt19937& rng) {
    int steps = 1 + static_cast<int>(rng() % 4);
    for (int s = 0; s < steps && !font.empty(); ++s) {
        uint16_t count = font.size() >= 6 ? testsupport::be16(font, 4) : 0;
        size_t directoryEnd = std::min(font.size(), 12 + 16 * size_t(count));
        switch (rng() % 6) {
            case 0: {  // a few bytes anywhere
                for (int k = 0; k < 4; ++k) font[rng() % font.size()] = static_cast<uint8_t>(rng());
                break;
            }
            case 1:
            case 2: {  // a directory field: checksum, offset or length
                if (count == 0) break;
                size_t at = 12 + 16 * (rng() % count) + 4 * (1 + rng() % 3);
                if (at + 4 <= font.size()) {
                    testsupport::putBe32(font, at, interesting(rng, uint32_t(font.size())));
                }
                break;
            }
            case 3: {  // numTables
                const uint16_t counts[] = {0, 1, 2, 255, 256, 257, 0xFFFF};
                if (font.size() >= 6) testsupport::putBe16(font, 4, counts[rng() % 7]);
                break;
            }
            case 4:  // truncation, often inside the directory
                font.resize(rng() % 2 ? rng() % (directoryEnd + 1) : rng() % (font.size() + 1));
                break;
            default: {  // a tag, to make duplicates and unlisted tags
                if (count == 0) break;
                size_t at = 12 + 16 * (rng() % count);
                const char* tags[] = {"head", "DSIG", "CFF ", "zzzz", "glyf", "\0\0\0\0"};
                if (at + 4 <= font.size()) std::memcpy(&font[at], tags[rng() % 6], 4);
                break;
            }
        }
    }
    return font;
}

// A written font: a directory that describes tables inside the output, each
// at a multiple of 4, in ascending tag order.
void checkWellFormed(const std::vector<uint8_t>& out, int32_t tables) {
    testsupport::SfntDirectory dir = testsupport::parseSfntDirectory(out);
    ASSERT_EQ(dir.numTables, tables);
    for (size_t i = 0; i < dir.entries.size(); ++i) {
        const testsupport::SfntEntry& e = dir.entries[i];
        ASSERT_EQ(e.offset % 4, 0u);
        ASSERT_LE(uint64_t(e.offset) + e.length, out.size());
        if (i > 0) {
            ASSERT_LE(dir.entries[i - 1].tag, e.tag);
        }
    }
}

std::vector<uint8_t> contents(OTMemoryStream& s) {
    return std::vector<uint8_t>(s.buffer(), s.buffer() + s.size());
}

TEST(DirectoryFuzz, MutatedFontsAreRejectedOrWrittenWellFormed) {
    std::mt19937 rng(0x5EA1F0);
    std::vector<std::vector<uint8_t>> base = seeds();
    int written = 0, rejected = 0;
    for (int iteration = 0; iteration < 5000; ++iteration) {
        std::vector<uint8_t> font = mutate(base[rng() % base.size()], rng);
        OTMemoryStream input(0);
        if (!font.empty()) input.write(font.data(), static_cast<int32_t>(font.size()));
        input.seek(0, SeekOrigin::kBegin);
        OTMemoryStream output(0x1000);
        OTSigningFont signing(&input, &output);
        try {
            signing.readDirectory();
            signing.removeTable(signing.findTable("DSIG"));
            if (rng() % 2) {
                size_t n = rng() % 300;
                auto* sig = static_cast<uint8_t*>(std::malloc(n + 1));
                std::memset(sig, 0xA5, n + 1);
                signing.appendDsigTable().setSignature(sig, static_cast<uint32_t>(n));
            }
            ASSERT_EQ(signing.writeFont(), 0);
        } catch (const OT_EXCEPTION& e) {
            // -2, or a code naming an input that is no sfnt font at all.
            ASSERT_TRUE(e.code == -2 || (e.code <= kOtWoff && e.code >= kOtNotSfnt))
                << "iteration " << iteration << " code " << e.code;
            ++rejected;
            continue;
        }
        ++written;
        std::vector<uint8_t> out = contents(output);
        checkWellFormed(out, signing.tableCount());
        if (HasFatalFailure()) FAIL() << "iteration " << iteration;

        // Our own output reads back and, copied once more, comes out the same
        // (unless a second head table, which is never parsed, is involved).
        int heads = 0;
        for (int32_t i = 0; i < signing.tableCount(); ++i)
            heads += std::memcmp(signing.table(i).tag(), "head", 4) == 0;
        OTMemoryStream again(0);
        again.write(out.data(), static_cast<int32_t>(out.size()));
        again.seek(0, SeekOrigin::kBegin);
        OTMemoryStream output2(0);
        OTFont plain(&again, &output2);
        ASSERT_EQ(plain.readDirectory(), signing.tableCount()) << "iteration " << iteration;
        plain.writeFont();
        if (heads <= 1) {
            ASSERT_EQ(contents(output2), out) << "iteration " << iteration;
        }
    }
    // Both outcomes are exercised, not just one.
    EXPECT_GT(written, 400);
    EXPECT_GT(rejected, 400);
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Damaged collections under the sanitizers: the reader either refuses one
// with a code of its own or takes it, and what it takes lays out into a
// collection that reads back without a gap.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "font/ot_collection.h"
#include "font/ot_collection_layout.h"
#include "font/ot_memory_stream.h"
#include "support/sfnt_support.h"

namespace fontseal {
namespace {

class Collect : public OTChunkSink {
public:
    void put(const uint8_t* data, size_t count) override {
        bytes.insert(bytes.end(), data, data + count);
    }
    std::vector<uint8_t> bytes;
};

// Three members over four tables, the first shared by all: a version 2
// header of 36 bytes, directories at 36, 80 and 124, tables of 17 bytes
// (20 padded) from 168 on.
constexpr uint32_t kTables = 168, kDirectories = 36;

std::vector<uint8_t> seed() {
    std::vector<uint8_t> f(kTables + 4 * 20, 0);
    testsupport::putBe32(f, 0, OTCollection::kTag);
    testsupport::putBe16(f, 4, 2);
    testsupport::putBe32(f, 8, 3);
    for (uint32_t m = 0; m < 3; ++m) {
        const uint32_t dir = kDirectories + 44 * m;
        testsupport::putBe32(f, 12 + 4 * m, dir);
        testsupport::putBe32(f, dir, m == 1 ? 0x4F54544F : 0x00010000);
        testsupport::putBe16(f, dir + 4, 2);
        const uint32_t tables[2] = {kTables, kTables + 20 * (m + 1)};
        const char* tags[2] = {"aaaa", "zzzz"};
        for (int r = 0; r < 2; ++r) {
            std::memcpy(&f[dir + 12 + 16 * r], tags[r], 4);
            testsupport::putBe32(f, dir + 20 + 16 * r, tables[r]);
            testsupport::putBe32(f, dir + 24 + 16 * r, 17);
        }
    }
    for (size_t i = kTables; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 7);
    return f;
}

bool read(const std::vector<uint8_t>& bytes, OTCollection& c) {
    OTMemoryStream in(static_cast<int32_t>(bytes.size() + 1));
    if (!bytes.empty()) in.write(bytes.data(), static_cast<int32_t>(bytes.size()));
    try {
        c.read(in, bytes.size());
        return true;
    } catch (const OT_EXCEPTION& e) {
        EXPECT_TRUE(e.code == kOtNotSfnt || e.code == kOtWoffMember ||
                    e.code == kOtTooManyMembers || e.code == kOtCollectionDirectory)
            << e.code;
        return false;
    }
}

TEST(OTCollectionFuzz, DamagedCollectionsAreRefusedOrLaidOutWithoutGaps) {
    const std::vector<uint8_t> base = seed();
    OTCollection c;
    ASSERT_TRUE(read(base, c));
    std::mt19937 random(20261208);
    int taken = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> f = base;
        // Mostly the header and directories, where the reader decides.
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % (random() % 4 ? kTables : f.size());
            f[at] = static_cast<uint8_t>(random() % 3 ? random() : f[at] ^ (1u << (random() % 8)));
        }
        if (round % 7 == 0) f.resize(random() % f.size());
        OTCollection damaged;
        if (!read(f, damaged)) continue;
        ++taken;
        const OTLayout layout = layout_collection(damaged);
        OTMemoryStream in(static_cast<int32_t>(f.size() + 1));
        in.write(f.data(), static_cast<int32_t>(f.size()));
        Collect out;
        emit_collection(layout, in, out);
        ASSERT_EQ(out.bytes.size(), layout.size);
        OTCollection again;
        ASSERT_TRUE(read(out.bytes, again)) << round;
        EXPECT_EQ(again.firstGap(out.bytes.size()), out.bytes.size()) << round;
        EXPECT_EQ(again.members.size(), damaged.members.size());
    }
    // The table reached both ways.
    EXPECT_GT(taken, 100);
}

}  // namespace
}  // namespace fontseal

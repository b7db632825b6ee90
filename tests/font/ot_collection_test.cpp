// SPDX-License-Identifier: Apache-2.0
// Collections: which ones the reader refuses and with which code, over a
// collection laid out by hand here. (The layout of signed collections is
// checked end to end by an independent walk, in tests/e2e/test_collection.py.)
#include "font/ot_collection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "font/ot_memory_stream.h"
#include "support/sfnt_support.h"

namespace fontseal {
namespace {

using testsupport::putBe16;
using testsupport::putBe32;

// Two members of two tables each, sharing 'cmap', as a version 1
// collection: header 0..20, directories at 20 and 64, cmap at 108 (7 bytes
// and padding), member 0's head at 116, member 1's at 172; 228 bytes.
constexpr uint32_t kDir0 = 20, kDir1 = 64, kCmap = 108, kHead0 = 116, kHead1 = 172, kEnd = 228;

std::vector<uint8_t> sample() {
    std::vector<uint8_t> f(kEnd, 0);
    putBe32(f, 0, OTCollection::kTag);
    putBe16(f, 4, 1);
    putBe32(f, 8, 2);
    putBe32(f, 12, kDir0);
    putBe32(f, 16, kDir1);
    const uint32_t heads[2] = {kHead0, kHead1};
    const uint32_t dirs[2] = {kDir0, kDir1};
    for (int m = 0; m < 2; ++m) {
        const uint32_t d = dirs[m];
        putBe32(f, d, 0x00010000);
        putBe16(f, d + 4, 2);
        // Records in tag order: cmap, head.
        std::memcpy(&f[d + 12], "cmap", 4);
        putBe32(f, d + 20, kCmap);
        putBe32(f, d + 24, 7);
        std::memcpy(&f[d + 28], "head", 4);
        putBe32(f, d + 36, heads[m]);
        putBe32(f, d + 40, 54);
        for (uint32_t i = 0; i < 54; ++i) f[heads[m] + i] = static_cast<uint8_t>(m * 100 + i);
    }
    for (uint32_t i = 0; i < 7; ++i) f[kCmap + i] = static_cast<uint8_t>(0xC0 + i);
    return f;
}

// Sets the record `index` of the member at `dir`.
void setRecord(std::vector<uint8_t>& f, uint32_t dir, int index, const char* tag, uint32_t offset,
               uint32_t length) {
    std::memcpy(&f[dir + 12 + 16 * index], tag, 4);
    putBe32(f, dir + 20 + 16 * index, offset);
    putBe32(f, dir + 24 + 16 * index, length);
}

int32_t readCode(const std::vector<uint8_t>& bytes) {
    OTMemoryStream in(static_cast<int32_t>(bytes.size()));
    in.write(bytes.data(), static_cast<int32_t>(bytes.size()));
    OTCollection c;
    try {
        c.read(in, bytes.size());
    } catch (const OT_EXCEPTION& e) {
        return e.code;
    }
    return 0;
}

TEST(OTCollection, RefusesWhatCannotBeSignedAndNamesIt) {
    using Edit = std::function<void(std::vector<uint8_t>&)>;
    struct Case {
        const char* name;
        Edit edit;
        int32_t code;
    };
    const Case cases[] = {
        {"as built", [](std::vector<uint8_t>&) {}, 0},
        {"a member's own DSIG, even outside the file, is set aside",
         [](std::vector<uint8_t>& f) { setRecord(f, kDir1, 1, "DSIG", 0xFFFFFF00, 99); }, 0},
        {"no collection", [](std::vector<uint8_t>& f) { putBe32(f, 0, 0x00010000); }, kOtNotSfnt},
        {"a header cut short", [](std::vector<uint8_t>& f) { f.resize(10); },
         kOtCollectionDirectory},
        {"version 3", [](std::vector<uint8_t>& f) { putBe16(f, 4, 3); }, kOtCollectionDirectory},
        {"no member", [](std::vector<uint8_t>& f) { putBe32(f, 8, 0); }, kOtCollectionDirectory},
        {"1025 members", [](std::vector<uint8_t>& f) { putBe32(f, 8, 1025); }, kOtTooManyMembers},
        {"a WOFF member", [](std::vector<uint8_t>& f) { putBe32(f, kDir1, 0x774F4646); },
         kOtWoffMember},
        {"a WOFF2 member", [](std::vector<uint8_t>& f) { putBe32(f, kDir0, 0x774F4632); },
         kOtWoffMember},
        {"a member past the end", [](std::vector<uint8_t>& f) { putBe32(f, 16, kEnd - 8); },
         kOtCollectionDirectory},
        {"a table past the end",
         [](std::vector<uint8_t>& f) { setRecord(f, kDir1, 1, "head", kHead1, 57); },
         kOtCollectionDirectory},
        {"a length that wraps around",
         [](std::vector<uint8_t>& f) { setRecord(f, kDir1, 1, "head", kHead1, 0xFFFFFFF0); },
         kOtCollectionDirectory},
        {"heads that overlap across members",
         [](std::vector<uint8_t>& f) { setRecord(f, kDir1, 1, "head", kHead0 + 4, 54); },
         kOtCollectionDirectory},
        {"a table over a directory",
         [](std::vector<uint8_t>& f) { setRecord(f, kDir1, 1, "head", kDir1 + 8, 54); },
         kOtCollectionDirectory},
        {"a table over the header",
         [](std::vector<uint8_t>& f) { setRecord(f, kDir0, 0, "cmap", 16, 7); },
         kOtCollectionDirectory},
        {"one table under two tags of one member",
         [](std::vector<uint8_t>& f) { setRecord(f, kDir0, 1, "zzzz", kCmap, 7); },
         kOtCollectionDirectory},
        {"a tag twice", [](std::vector<uint8_t>& f) { setRecord(f, kDir0, 1, "cmap", kHead0, 54); },
         kOtCollectionDirectory},
        {"directories that overlap", [](std::vector<uint8_t>& f) { putBe32(f, 16, kDir0 + 16); },
         kOtCollectionDirectory},
        {"a member of 257 tables", [](std::vector<uint8_t>& f) { putBe16(f, kDir0 + 4, 257); },
         kOtCollectionDirectory},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = sample();
        c.edit(f);
        EXPECT_EQ(readCode(f), c.code) << c.name;
    }
}

}  // namespace
}  // namespace fontseal

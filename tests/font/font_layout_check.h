// SPDX-License-Identifier: Apache-2.0
// Checks a written font against its input with code independent of the
// writer: directory, data order, padding, checksums and table bytes.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/sfnt_support.h"

namespace fontseal {
namespace fonttest {

inline int orderRank(const std::string& tag) {
    static const std::vector<std::string> order = {
        "head", "hhea", "vhea", "maxp", "OS/2", "gasp", "name", "cmap", "loca", "LTSH",
        "VDMX", "prep", "fpgm", "cvt ", "hmtx", "vmtx", "hdmx", "glyf", "post", "kern",
        "PCLT", "EBLC", "EBSC", "EBDT", "GDEF", "GPOS", "GSUB", "JSTF", "BASE", "DSIG"};
    auto it = std::find(order.begin(), order.end(), tag);
    return static_cast<int>(it - order.begin());
}

// Tags in the order their data must follow each other in the file.
inline std::vector<std::string> expectedDataOrder(const testsupport::SfntDirectory& dir) {
    std::vector<std::string> tags;
    for (const auto& e : dir.entries) tags.push_back(e.tag);
    std::stable_sort(tags.begin(), tags.end(), [](const std::string& a, const std::string& b) {
        return orderRank(a) < orderRank(b);
    });
    return tags;
}

// `out` was written from `in` with the tables in `added` new and the tables
// in `removed` dropped.
inline void checkWrittenFont(const std::vector<uint8_t>& in, const std::vector<uint8_t>& out,
                             uint32_t version, const std::vector<std::string>& added = {},
                             const std::vector<std::string>& removed = {}) {
    using namespace testsupport;
    SfntDirectory src = parseSfntDirectory(in);
    SfntDirectory dst = parseSfntDirectory(out);
    const size_t n = dst.entries.size();
    EXPECT_EQ(dst.version, version);
    EXPECT_EQ(n, src.entries.size() + added.size() - removed.size());

    for (size_t i = 1; i < n; ++i) EXPECT_LT(dst.entries[i - 1].tag, dst.entries[i].tag);

    // Data: right after the directory, in the fixed order, each table at a
    // multiple of 4 and the gaps zero, nothing after the last padding.
    size_t expectOffset = 12 + 16 * n;
    for (const std::string& tag : expectedDataOrder(dst)) {
        const SfntEntry* e = findEntry(dst, tag);
        ASSERT_EQ(e->offset, expectOffset) << tag;
        size_t end = e->offset + e->length;
        size_t padded = (end + 3) & ~size_t(3);
        ASSERT_LE(padded, out.size()) << tag;
        for (size_t k = end; k < padded; ++k) EXPECT_EQ(out[k], 0) << tag << " padding";
        expectOffset = padded;
    }
    EXPECT_EQ(expectOffset, out.size());
    EXPECT_EQ(sfntSum(out), 0xB1B0AFBAu);

    for (const SfntEntry& e : dst.entries) {
        std::vector<uint8_t> bytes = tableBytes(out, e);
        if (e.tag == "head") {
            std::vector<uint8_t> zeroed = bytes;
            putBe32(zeroed, 8, 0);
            EXPECT_EQ(e.checksum, sfntSum(zeroed));
        } else {
            EXPECT_EQ(e.checksum, sfntSum(bytes)) << e.tag;
        }
        if (std::find(added.begin(), added.end(), e.tag) != added.end()) continue;
        const SfntEntry* s = findEntry(src, e.tag);
        ASSERT_NE(s, nullptr) << e.tag;
        std::vector<uint8_t> original = tableBytes(in, *s);
        if (e.tag == "head") {
            ASSERT_EQ(bytes.size(), 54u);
            original.resize(54);
            putBe32(original, 8, 0);
            putBe32(bytes, 8, 0);
        } else {
            EXPECT_EQ(e.checksum, s->checksum) << e.tag;
        }
        EXPECT_EQ(bytes, original) << e.tag;
    }
}

}  // namespace fonttest
}  // namespace fontseal

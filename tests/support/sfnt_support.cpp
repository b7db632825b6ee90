// SPDX-License-Identifier: Apache-2.0
#include "support/sfnt_support.h"

#include <algorithm>
#include <stdexcept>

namespace testsupport {

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t(b.at(at)) << 24) | (uint32_t(b.at(at + 1)) << 16) |
           (uint32_t(b.at(at + 2)) << 8) | b.at(at + 3);
}

uint16_t be16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>((b.at(at) << 8) | b.at(at + 1));
}

void putBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void putBe16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v >> 8);
    b.at(at + 1) = static_cast<uint8_t>(v);
}

uint32_t sfntSum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t word = 0;
        for (size_t k = 0; k < 4; ++k) word = (word << 8) | (i + k < length ? data[i + k] : 0);
        sum += word;
    }
    return sum;
}

uint32_t sfntSum(const std::vector<uint8_t>& bytes) { return sfntSum(bytes.data(), bytes.size()); }

std::vector<uint8_t> sampleHead(uint16_t unitsPerEm) {
    std::vector<uint8_t> h(54, 0);
    putBe32(h, 0, 0x00010000);
    putBe32(h, 4, 0x00028000);
    putBe32(h, 12, 0x5F0F3CF5);
    putBe16(h, 16, 0x000B);
    putBe16(h, 18, unitsPerEm);
    putBe32(h, 24, 0xDEADBEEF);
    putBe32(h, 32, 0x12345678);
    putBe16(h, 36, 0xFF38);  // xMin -200
    putBe16(h, 42, 900);
    putBe16(h, 46, 8);
    putBe16(h, 48, 2);
    return h;
}

std::vector<uint8_t> buildSfnt(const std::vector<SfntTable>& tables, uint32_t version) {
    const size_t n = tables.size();
    std::vector<uint8_t> font(12 + 16 * n, 0);
    putBe32(font, 0, version);
    putBe16(font, 4, static_cast<uint16_t>(n));
    uint16_t selector = 0;
    while ((2u << selector) <= n) ++selector;
    putBe16(font, 6, static_cast<uint16_t>(16u << selector));
    putBe16(font, 8, selector);
    putBe16(font, 10, static_cast<uint16_t>(n ? 16 * n - (16u << selector) : 0));

    std::vector<SfntEntry> entries;
    size_t headAt = 0;
    bool hasHead = false;
    for (const SfntTable& t : tables) {
        std::vector<uint8_t> data = t.data;
        if (t.tag == "head" && data.size() >= 12) putBe32(data, 8, 0);
        SfntEntry e{t.tag, sfntSum(data), static_cast<uint32_t>(font.size()),
                    static_cast<uint32_t>(data.size())};
        if (t.tag == "head") {
            headAt = font.size();
            hasHead = true;
        }
        font.insert(font.end(), data.begin(), data.end());
        font.resize((font.size() + 3) & ~size_t(3), 0);
        entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(),
              [](const SfntEntry& a, const SfntEntry& b) { return a.tag < b.tag; });
    for (size_t i = 0; i < n; ++i) {
        size_t r = 12 + 16 * i;
        for (int k = 0; k < 4; ++k) font[r + k] = static_cast<uint8_t>(entries[i].tag.at(k));
        putBe32(font, r + 4, entries[i].checksum);
        putBe32(font, r + 8, entries[i].offset);
        putBe32(font, r + 12, entries[i].length);
    }
    if (hasHead) putBe32(font, headAt + 8, 0xB1B0AFBA - sfntSum(font));
    return font;
}

SfntDirectory parseSfntDirectory(const std::vector<uint8_t>& font) {
    if (font.size() < 12) throw std::runtime_error("font shorter than its offset table");
    SfntDirectory d;
    d.version = be32(font, 0);
    d.numTables = be16(font, 4);
    d.searchRange = be16(font, 6);
    d.entrySelector = be16(font, 8);
    d.rangeShift = be16(font, 10);
    if (font.size() < 12 + 16 * size_t(d.numTables))
        throw std::runtime_error("font shorter than its table directory");
    for (size_t i = 0; i < d.numTables; ++i) {
        size_t r = 12 + 16 * i;
        SfntEntry e;
        e.tag.assign(font.begin() + r, font.begin() + r + 4);
        e.checksum = be32(font, r + 4);
        e.offset = be32(font, r + 8);
        e.length = be32(font, r + 12);
        d.entries.push_back(e);
    }
    return d;
}

const SfntEntry* findEntry(const SfntDirectory& dir, const std::string& tag) {
    for (const SfntEntry& e : dir.entries)
        if (e.tag == tag) return &e;
    return nullptr;
}

std::vector<uint8_t> tableBytes(const std::vector<uint8_t>& font, const SfntEntry& e) {
    if (uint64_t(e.offset) + e.length > font.size())
        throw std::runtime_error("table " + e.tag + " runs past the end of the font");
    return std::vector<uint8_t>(font.begin() + e.offset, font.begin() + e.offset + e.length);
}

}  // namespace testsupport

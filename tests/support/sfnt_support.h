// SPDX-License-Identifier: Apache-2.0
// Building and inspecting sfnt font files in tests, written independently of
// the library's font writer so the two can check each other.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct SfntTable {
    std::string tag;  // four characters
    std::vector<uint8_t> data;
};

struct SfntEntry {
    std::string tag;
    uint32_t checksum = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
};

struct SfntDirectory {
    uint32_t version = 0;
    uint16_t numTables = 0;
    uint16_t searchRange = 0;
    uint16_t entrySelector = 0;
    uint16_t rangeShift = 0;
    std::vector<SfntEntry> entries;  // in file order
};

uint32_t be32(const std::vector<uint8_t>& bytes, size_t at);
uint16_t be16(const std::vector<uint8_t>& bytes, size_t at);
void putBe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
void putBe16(std::vector<uint8_t>& bytes, size_t at, uint16_t value);

// Wrapping sum of big-endian words, the last one padded with zeros.
uint32_t sfntSum(const uint8_t* data, size_t length);
uint32_t sfntSum(const std::vector<uint8_t>& bytes);

// A well-formed font: directory in tag order, data in the given order, each
// table padded to 4 bytes, correct checksums and head checkSumAdjustment.
std::vector<uint8_t> buildSfnt(const std::vector<SfntTable>& tables, uint32_t version = 0x00010000);
// A 54-byte head table with the magic number and the given unitsPerEm.
std::vector<uint8_t> sampleHead(uint16_t unitsPerEm = 1000);

// Throws std::runtime_error when the bytes are too short for the directory.
SfntDirectory parseSfntDirectory(const std::vector<uint8_t>& font);
const SfntEntry* findEntry(const SfntDirectory& dir, const std::string& tag);
// The entry points into the directory, so it must outlive the call.
const SfntEntry* findEntry(SfntDirectory&& dir, const std::string& tag) = delete;
// The table's bytes (length of them), without padding.
std::vector<uint8_t> tableBytes(const std::vector<uint8_t>& font, const SfntEntry& entry);

}  // namespace testsupport

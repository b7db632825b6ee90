// SPDX-License-Identifier: Apache-2.0
#include "font/ot_collection.h"

#include <algorithm>
#include <map>
#include <utility>

#include "font/big_endian.h"
#include "font/ot_checksum.h"
#include "font/ot_stream_io.h"
#include "font/ot_tag.h"

namespace fontseal {

namespace {

constexpr uint32_t kDsig = 0x44534947;  // 'DSIG'
constexpr uint32_t kHead = 0x68656164;  // 'head'
// A head table is 54 bytes; one far longer is kept as listed.
constexpr uint32_t kMaxHeadLength = 4096;

[[noreturn]] void misplaced() { throw OT_EXCEPTION(kOtCollectionDirectory); }

// Reads `count` bytes at `offset`, which the caller has checked against the
// file size; a short read means the file is shorter than it said.
std::vector<uint8_t> readAt(OTStream& input, uint64_t offset, uint32_t count) {
    std::vector<uint8_t> bytes(count);
    if (input.seek(static_cast<int32_t>(offset), SeekOrigin::kBegin) !=
            static_cast<int32_t>(offset) ||
        !readExactly(input, bytes.data(), static_cast<int32_t>(count))) {
        throw OT_EXCEPTION(kOtCannotOpen);
    }
    return bytes;
}

uint64_t padded(uint64_t end) { return (end + 3) & ~static_cast<uint64_t>(3); }

}  // namespace

void OTCollection::read(OTStream& input, uint64_t size) {
    fileSize = size;
    members.clear();
    spans_.clear();
    if (size < 4 || loadBE32(readAt(input, 0, 4).data()) != kTag) throw OT_EXCEPTION(kOtNotSfnt);
    if (size < 12) misplaced();
    const std::vector<uint8_t> head = readAt(input, 0, 12);
    majorVersion = loadBE16(head.data() + 4);
    minorVersion = loadBE16(head.data() + 6);
    const uint32_t count = loadBE32(head.data() + 8);
    if (majorVersion < 1 || majorVersion > 2 || count == 0) misplaced();
    if (count > kMaxMembers) throw OT_EXCEPTION(kOtTooManyMembers);
    const uint64_t headerEnd = headerSize(count, majorVersion);
    if (headerEnd > size) misplaced();
    const std::vector<uint8_t> header = readAt(input, 12, static_cast<uint32_t>(headerEnd - 12));
    dsigTag = dsigLength = dsigOffset = 0;
    if (majorVersion >= 2) {
        const uint8_t* fields = header.data() + 4 * count;
        dsigTag = loadBE32(fields);
        dsigLength = loadBE32(fields + 4);
        dsigOffset = loadBE32(fields + 8);
    }

    std::vector<Span> owned;  // spans no two things may share
    owned.push_back({0, headerEnd});
    // A table's span and the member that first listed it: other members may
    // list it too, the same member not twice.
    std::map<std::pair<uint64_t, uint64_t>, size_t> tableOwner;
    members.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        OTCollectionMember& member = members[i];
        member.offset = loadBE32(header.data() + 4 * i);
        if (static_cast<uint64_t>(member.offset) + kDirectoryHeaderSize > size) misplaced();
        const std::vector<uint8_t> top = readAt(input, member.offset, kDirectoryHeaderSize);
        member.sfntVersion = loadBE32(top.data());
        switch (member.sfntVersion) {
            case 0x00010000:
            case 0x4F54544F:  // 'OTTO'
            case 0x74727565:  // 'true'
                break;
            case 0x774F4646:  // 'wOFF'
            case 0x774F4632:  // 'wOF2'
                throw OT_EXCEPTION(kOtWoffMember);
            default:
                misplaced();
        }
        const uint16_t listed = loadBE16(top.data() + 4);
        if (listed == 0 || listed > kMaxTables) misplaced();
        member.listedTables = listed;
        const uint64_t directoryEnd =
            static_cast<uint64_t>(member.offset) + kDirectoryHeaderSize + kRecordSize * listed;
        if (directoryEnd > size) misplaced();
        owned.push_back({member.offset, directoryEnd});
        spans_.push_back({member.offset, directoryEnd});
        const std::vector<uint8_t> records =
            readAt(input, member.offset + kDirectoryHeaderSize, kRecordSize * listed);
        for (uint16_t t = 0; t < listed; ++t) {
            const uint8_t* record = records.data() + kRecordSize * t;
            OTMemberTable table{loadBE32(record), loadBE32(record + 4), loadBE32(record + 8),
                                loadBE32(record + 12)};
            const uint64_t end = static_cast<uint64_t>(table.offset) + table.length;
            if (table.tag == kDsig) {
                // Set aside unchecked, as a single font's DSIG is; bytes it
                // covers inside the file still belong somewhere.
                if (end <= size && table.length > 0) spans_.push_back({table.offset, end});
                continue;
            }
            if (end > size) misplaced();
            if (table.tag == kHead && table.length >= 12 && table.length <= kMaxHeadLength) {
                // head's entry is summed with checkSumAdjustment taken as 0;
                // some collections ship one that counts it, which checking
                // readers refuse.
                std::vector<uint8_t> bytes = readAt(input, table.offset, table.length);
                std::fill(bytes.begin() + 8, bytes.begin() + 12, 0);
                table.checksum = otChecksum(bytes.data(), bytes.size());
            }
            member.tables.push_back(table);
            if (table.length == 0) continue;
            auto placed = tableOwner.emplace(std::make_pair(table.offset, end), i);
            if (!placed.second) {
                if (placed.first->second == i) misplaced();
                continue;
            }
            owned.push_back({table.offset, end});
            spans_.push_back({table.offset, end});
        }
        if (member.tables.empty()) misplaced();
        std::sort(member.tables.begin(), member.tables.end(),
                  [](const OTMemberTable& a, const OTMemberTable& b) { return a.tag < b.tag; });
        // A tag listed twice leaves it open which table is meant.
        for (size_t t = 1; t < member.tables.size(); ++t) {
            if (member.tables[t].tag == member.tables[t - 1].tag) misplaced();
        }
    }

    std::sort(owned.begin(), owned.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    for (size_t k = 1; k < owned.size(); ++k) {
        if (owned[k].begin < owned[k - 1].end) misplaced();
    }
    std::sort(spans_.begin(), spans_.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
}

uint64_t OTCollection::firstGap(uint64_t end) const {
    uint64_t covered = headerSize(static_cast<uint32_t>(members.size()), majorVersion);
    for (const Span& span : spans_) {
        if (padded(covered) >= end) return end;
        // Up to three bytes of padding may follow whatever was met last.
        if (span.begin > padded(covered)) return covered;
        covered = std::max(covered, span.end);
    }
    return padded(covered) >= end ? end : covered;
}

uint64_t OTCollection::dataEnd() const {
    uint64_t end = headerSize(static_cast<uint32_t>(members.size()), majorVersion);
    for (const Span& span : spans_) end = std::max(end, span.end);
    return end;
}

}  // namespace fontseal

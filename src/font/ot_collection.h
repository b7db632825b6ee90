// SPDX-License-Identifier: Apache-2.0
// A font collection as read: the header, each member font's directory and
// where the collection's DSIG lies. Nothing here is written; the layout of a
// new collection is ot_collection_layout.h's concern.
#pragma once
#include <cstdint>
#include <vector>

#include "font/ot_errors.h"
#include "font/ot_stream.h"

namespace fontseal {

// One directory entry of a member, as the input has it.
struct OTMemberTable {
    uint32_t tag = 0;
    uint32_t checksum = 0;
    uint32_t offset = 0;  // in the input
    uint32_t length = 0;
};

struct OTCollectionMember {
    uint32_t offset = 0;        // of its offset table, in the input
    uint32_t sfntVersion = 0;   // kept as read
    uint16_t listedTables = 0;  // entries in its directory, its own DSIG included
    // In tag order, without the member's own DSIG entries (a collection is
    // signed as a whole; signatures of members sign nothing that stays).
    // Checksums as listed, except head's, summed afresh with its
    // checkSumAdjustment taken as 0.
    std::vector<OTMemberTable> tables;
};

class OTCollection {
public:
    static constexpr uint32_t kTag = 0x74746366;  // 'ttcf'
    static constexpr uint32_t kMaxMembers = 1024;
    static constexpr uint32_t kMaxTables = 256;  // a member's, as for single fonts
    static constexpr uint32_t kDirectoryHeaderSize = 12;
    static constexpr uint32_t kRecordSize = 16;
    // The version 2 header's three DSIG fields follow the offset array.
    static constexpr uint32_t kDsigFieldsSize = 12;

    // Header size of a collection of `members` fonts, of version 1 or 2.
    static uint64_t headerSize(uint32_t members, uint16_t majorVersion) {
        return 12 + 4ull * members + (majorVersion >= 2 ? kDsigFieldsSize : 0);
    }

    // Reads and checks the collection in `input` (`fileSize` bytes long):
    // the members' offset tables and directories and every table lie wholly
    // in the file, and nothing shares bytes with the header, a directory or
    // another table, except that members may list the very same table (same
    // offset and length). OT_EXCEPTION kOtNotSfnt when the input is no
    // collection, kOtTooManyMembers past kMaxMembers, kOtWoffMember for a
    // member wrapped as a web font, kOtCollectionDirectory for anything out
    // of place. The header's DSIG is located, not read, nor checked against
    // the file: a damaged signature never stops re-signing or stripping.
    void read(OTStream& input, uint64_t fileSize);

    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
    uint64_t fileSize = 0;
    std::vector<OTCollectionMember> members;
    // The version 2 header's fields; all 0 for version 1.
    uint32_t dsigTag = 0;
    uint32_t dsigLength = 0;
    uint32_t dsigOffset = 0;

    // Where the header's DSIG fields lie (for version 2 headers).
    uint32_t dsigFieldsOffset() const { return 12 + 4 * static_cast<uint32_t>(members.size()); }

    // The first byte before `end` that neither the header, a directory, a
    // table (listed by any member, the members' own DSIG entries included)
    // nor the padding after one up to the next multiple of 4 accounts for;
    // `end` when there is none. A signed collection is hashed as it lies, so
    // a signature may cover only bytes that belong somewhere.
    uint64_t firstGap(uint64_t end) const;
    // The end of the last directory or table in the file.
    uint64_t dataEnd() const;

private:
    struct Span {
        uint64_t begin;
        uint64_t end;
    };
    // Every directory and table, member DSIG entries included, sorted.
    std::vector<Span> spans_;
};

}  // namespace fontseal

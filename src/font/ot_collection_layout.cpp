// SPDX-License-Identifier: Apache-2.0
#include "font/ot_collection_layout.h"

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <utility>

#include "base/error.h"
#include "font/big_endian.h"
#include "font/ot_font.h"
#include "font/ot_stream_io.h"

namespace fontseal {

namespace {

// Table bytes are read in pieces of this size.
constexpr uint32_t kCopyChunk = 1 << 20;

uint32_t paddingOf(uint32_t length) { return (4 - length % 4) % 4; }

}  // namespace

OTLayout layout_collection(const OTCollection& collection) {
    const uint32_t count = static_cast<uint32_t>(collection.members.size());
    OTLayout layout;
    layout.directory.assign(OTCollection::headerSize(count, 2), 0);
    uint8_t* header = layout.directory.data();
    storeBE32(header, OTCollection::kTag);
    storeBE16(header + 4, 2);
    storeBE16(header + 6, 0);
    storeBE32(header + 8, count);

    uint64_t position = layout.directory.size();
    // Output offsets of the tables already stored, by input span.
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> stored;
    for (uint32_t i = 0; i < count; ++i) {
        const OTCollectionMember& member = collection.members[i];
        const uint16_t tables = static_cast<uint16_t>(member.tables.size());
        storeBE32(header + 12 + 4 * i, static_cast<uint32_t>(position));

        OTLayoutPiece directory;
        directory.offset = position;
        directory.length = OTCollection::kDirectoryHeaderSize + OTCollection::kRecordSize * tables;
        directory.image = static_cast<int32_t>(layout.images.size());
        layout.images.emplace_back(directory.length, 0);
        layout.pieces.push_back(directory);
        position += directory.length;

        uint8_t* image = layout.images.back().data();
        const OTFont::SearchParams params = OTFont::searchParams(tables);
        storeBE32(image, member.sfntVersion);
        storeBE16(image + 4, tables);
        storeBE16(image + 6, params.searchRange);
        storeBE16(image + 8, params.entrySelector);
        storeBE16(image + 10, params.rangeShift);
        uint8_t* record = image + OTCollection::kDirectoryHeaderSize;
        for (const OTMemberTable& table : member.tables) {
            uint64_t offset = position;
            if (table.length > 0) {
                auto found = stored.emplace(std::make_pair(table.offset, table.length), position);
                if (found.second) {
                    OTLayoutPiece piece;
                    piece.offset = position;
                    piece.length = table.length;
                    piece.padding = paddingOf(table.length);
                    piece.inputOffset = table.offset;
                    layout.pieces.push_back(piece);
                    position += static_cast<uint64_t>(piece.length) + piece.padding;
                } else {
                    offset = found.first->second;
                }
            }
            // Every position must be a 32-bit signed value for the streams.
            if (position > INT32_MAX) throw OT_EXCEPTION(kOtTooLarge);
            storeBE32(record, table.tag);
            storeBE32(record + 4, table.checksum);
            storeBE32(record + 8, static_cast<uint32_t>(offset));
            storeBE32(record + 12, table.length);
            record += OTCollection::kRecordSize;
        }
    }
    layout.size = position;
    return layout;
}

uint32_t collection_dsig_fields(const OTLayout& layout) {
    return static_cast<uint32_t>(layout.directory.size()) - OTCollection::kDsigFieldsSize;
}

void emit_collection(const OTLayout& layout, OTStream& input, OTChunkSink& sink) {
    static const uint8_t kZeros[4] = {0, 0, 0, 0};
    sink.put(layout.directory.data(), layout.directory.size());
    std::unique_ptr<uint8_t[]> chunk;
    for (const OTLayoutPiece& piece : layout.pieces) {
        if (piece.image >= 0) {
            sink.put(layout.images[static_cast<size_t>(piece.image)].data(), piece.length);
            continue;
        }
        const uint8_t* inPlace = input.bytesAt(piece.inputOffset, piece.length);
        if (inPlace) {
            sink.put(inPlace, piece.length);
        } else {
            if (!chunk) chunk.reset(new uint8_t[kCopyChunk]);
            const int32_t at = static_cast<int32_t>(piece.inputOffset);
            if (input.seek(at, SeekOrigin::kBegin) != at) throw error(kErrShortTransfer);
            for (uint32_t left = piece.length; left > 0;) {
                const int32_t n = static_cast<int32_t>(std::min<uint32_t>(left, kCopyChunk));
                if (!readExactly(input, chunk.get(), n)) throw error(kErrShortTransfer);
                sink.put(chunk.get(), static_cast<size_t>(n));
                left -= static_cast<uint32_t>(n);
            }
        }
        if (piece.padding > 0) sink.put(kZeros, piece.padding);
    }
}

}  // namespace fontseal

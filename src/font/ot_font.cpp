// SPDX-License-Identifier: Apache-2.0
#include "font/ot_font.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <numeric>
#include <utility>
#include <vector>

#include "base/error.h"
#include "font/big_endian.h"
#include "font/ot_checksum.h"
#include "font/ot_errors.h"
#include "font/ot_head_table.h"
#include "font/ot_memory_stream.h"
#include "font/ot_stream.h"
#include "font/ot_stream_io.h"
#include "font/ot_table_order.h"
#include "font/ot_tag.h"

namespace fontseal {

namespace {

constexpr int32_t kHeaderSize = 12;
constexpr int32_t kRecordSize = 16;
// Raw tables are read in pieces of this size from an input that does not
// hold its bytes in memory.
constexpr uint32_t kCopyChunk = 1 << 20;
// 16 x count must fit the 16-bit rangeShift of the directory header.

void seekExactly(OTStream& stream, int32_t offset) {
    if (stream.seek(offset, SeekOrigin::kBegin) != offset) throw error(kErrShortTransfer);
}

// Raises the code that names what the input is when it is no sfnt font.
void checkVersion(uint32_t version) {
    switch (version) {
        case OTFont::kVersionTrueType:
        case OTFont::kVersionCff:
        case OTFont::kVersionApple:
            return;
        case 0x774F4646:  // 'wOFF'
            throw OT_EXCEPTION(kOtWoff);
        case 0x774F4632:  // 'wOF2'
            throw OT_EXCEPTION(kOtWoff2);
        case 0x74746366:  // 'ttcf'
            throw OT_EXCEPTION(kOtCollection);
        default:
            throw OT_EXCEPTION(kOtNotSfnt);
    }
}

}  // namespace

OTFont::OTFont(OTStream* input, OTStream* output) : input_(input), output_(output) {}

OTFont::~OTFont() = default;

std::unique_ptr<OTTable> OTFont::createTable(const char* tag) {
    if (tagValue(tag) == tagValue("head")) return std::make_unique<OTHeadTable>(tag, this);
    return std::make_unique<OTTable>(tag, this);
}

OTTable* OTFont::appendTable(std::unique_ptr<OTTable> table) {
    OTTable* raw = table.get();
    tables_.append() = std::move(table);
    return raw;
}

int32_t OTFont::findTable(const char* tag) const {
    uint32_t wanted = tagValue(tag);
    for (int32_t i = 0; i < tables_.count(); ++i) {
        if (tables_[i]->tagValue() == wanted) return i;
    }
    return -1;
}

void OTFont::removeTable(int32_t index) { releaseTable(index); }

std::unique_ptr<OTTable> OTFont::releaseTable(int32_t index) {
    if (index < 0 || index >= tables_.count()) return nullptr;
    std::unique_ptr<OTTable> table = std::move(tables_[index]);
    for (int32_t i = index; i + 1 < tables_.count(); ++i) tables_[i] = std::move(tables_[i + 1]);
    tables_.pop();
    return table;
}

void OTFont::setAside(const char* tag) { asideTag_ = fontseal::tagValue(tag); }

std::vector<std::unique_ptr<OTTable>> OTFont::takeAside() { return std::move(aside_); }

int32_t OTFont::readDirectory() {
    if (!input_ || !input_->isOk()) throw OT_EXCEPTION(kOtNoInput);
    aside_.clear();
    int32_t reported = input_->size();
    uint64_t fileSize = reported > 0 ? static_cast<uint64_t>(reported) : 0;
    input_->seek(startOffset_, SeekOrigin::kBegin);

    // The version is checked, not kept: the writer decides it from the tables.
    uint8_t header[kHeaderSize];
    int32_t got = input_->read(header, kHeaderSize);
    if (got >= 4) checkVersion(loadBE32(header));
    if (got != kHeaderSize)
        throw OT_EXCEPTION(kOtBadDirectory,
                           got <= 0 && fileSize == 0 ? kOtFaultEmpty : kOtFaultShortDirectory);
    uint16_t numTables = loadBE16(header + 4);
    if (numTables == 0) throw OT_EXCEPTION(kOtBadDirectory, kOtFaultNoTables);
    if (numTables > kMaxTables) throw OT_EXCEPTION(kOtBadDirectory, kOtFaultTooManyTables);

    for (uint16_t i = 0; i < numTables; ++i) {
        uint8_t record[kRecordSize];
        if (!readExactly(*input_, record, kRecordSize))
            throw OT_EXCEPTION(kOtBadDirectory, kOtFaultShortDirectory);
        std::unique_ptr<OTTable> table = createTable(reinterpret_cast<const char*>(record));
        if (!table) throw OT_EXCEPTION(kOtBadDirectory);
        uint32_t checksum = loadBE32(record + 4);
        uint32_t offset = loadBE32(record + 8);
        uint32_t length = loadBE32(record + 12);
        table->setChecksum(checksum);
        table->setOffset(offset);
        table->setInputOffset(offset);
        table->setLength(length);
        table->setState(OTTable::kRaw);
        if (asideTag_ != 0 && table->tagValue() == asideTag_) {
            aside_.push_back(std::move(table));
            continue;
        }
        // Both ends must lie in the file; summed in 64 bits so that a huge
        // length cannot wrap around to a small end.
        if (static_cast<uint64_t>(offset) + length > fileSize)
            throw OT_EXCEPTION(kOtBadDirectory, kOtFaultPastEnd);
        appendTable(std::move(table));
    }
    if (tables_.count() == 0) throw OT_EXCEPTION(kOtBadDirectory, kOtFaultNoTables);

    // A tag listed twice leaves it open which table is meant; only DSIG
    // entries, which the signing passes drop, may repeat.
    std::vector<uint32_t> tags;
    for (const std::unique_ptr<OTTable>& table : tables_) {
        if (table->tagValue() != fontseal::tagValue("DSIG")) tags.push_back(table->tagValue());
    }
    std::sort(tags.begin(), tags.end());
    if (std::adjacent_find(tags.begin(), tags.end()) != tags.end()) {
        throw OT_EXCEPTION(kOtBadDirectory, kOtFaultDuplicateTable);
    }

    // No table shares bytes with another or with the directory, so the
    // lengths add up to no more than the file holds. Empty tables take no
    // bytes and may lie anywhere inside the file.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const std::unique_ptr<OTTable>& table : tables_) {
        if (table->length() == 0) continue;
        spans.emplace_back(table->inputOffset(),
                           static_cast<uint64_t>(table->inputOffset()) + table->length());
    }
    std::sort(spans.begin(), spans.end());
    uint64_t taken = static_cast<uint64_t>(startOffset_) + kHeaderSize +
                     static_cast<uint64_t>(kRecordSize) * numTables;
    for (const auto& span : spans) {
        if (span.first < taken) throw OT_EXCEPTION(kOtBadDirectory, kOtFaultOverlap);
        taken = span.second;
    }

    int32_t head = findTable("head");
    if (head >= 0) tables_[head]->parse(nullptr);
    return tables_.count();
}

OTFont::SearchParams OTFont::searchParams(uint16_t count) {
    uint16_t entrySelector = 0;
    for (uint32_t n = count; n > 1; n >>= 1) ++entrySelector;
    uint32_t searchRange = 16u << entrySelector;
    uint32_t all = 16u * count;
    return SearchParams{static_cast<uint16_t>(searchRange), entrySelector,
                        static_cast<uint16_t>(all > searchRange ? all - searchRange : 0)};
}

OTLayout OTFont::layout(OTLayoutOrder dataOrder) {
    std::stable_sort(tables_.begin(), tables_.end(),
                     [](const std::unique_ptr<OTTable>& a, const std::unique_ptr<OTTable>& b) {
                         return a->tagValue() < b->tagValue();
                     });
    const int32_t count = tables_.count();
    // One limit for reading and writing: a font of no tables, or of more
    // than fontseal reads, would not read back, so it is never written.
    if (count == 0) throw OT_EXCEPTION(kOtBadDirectory, kOtFaultNoTables);
    if (count > kMaxTables) throw OT_EXCEPTION(kOtBadDirectory, kOtFaultTooManyToWrite);

    OTLayout layout;
    const size_t directoryLength = kHeaderSize + static_cast<size_t>(kRecordSize) * count;
    layout.directory.assign(directoryLength, 0);
    uint8_t* header = layout.directory.data();
    SearchParams params = searchParams(static_cast<uint16_t>(count));
    storeBE32(header, findTable("CFF ") >= 0 ? kVersionCff : kVersionTrueType);
    storeBE16(header + 4, static_cast<uint16_t>(count));
    storeBE16(header + 6, params.searchRange);
    storeBE16(header + 8, params.entrySelector);
    storeBE16(header + 10, params.rangeShift);

    // Listed tables in list order, then the rest in tag order (the sort is
    // stable over the tag-sorted list), the same layout on every platform.
    std::vector<int32_t> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [this](int32_t a, int32_t b) {
        return tableOrderRank(tables_[a]->tagValue()) < tableOrderRank(tables_[b]->tagValue());
    });
    if (dataOrder == OTLayoutOrder::kFile) {
        std::stable_sort(order.begin(), order.end(), [this](int32_t a, int32_t b) {
            return tables_[a]->inputOffset() < tables_[b]->inputOffset();
        });
    }

    // The head writer reports where in its image checkSumAdjustment lies; the
    // last head laid out receives the adjustment, as it would in a file
    // written table by table.
    int32_t adjustmentImage = -1;
    int32_t adjustmentInImage = -1;
    uint64_t position = directoryLength;
    for (int32_t index : order) {
        OTTable& table = *tables_[index];
        OTLayoutPiece piece;
        piece.offset = position;
        if (table.rebuildsImage()) {
            OTMemoryStream image(0);
            adjustmentPosition_ = -1;
            table.writeTo(&image);
            if (!image.isOk()) throw std::bad_alloc();
            piece.image = static_cast<int32_t>(layout.images.size());
            layout.images.emplace_back(image.buffer(), image.buffer() + image.size());
            if (adjustmentPosition_ >= 0) {
                adjustmentImage = piece.image;
                adjustmentInImage = adjustmentPosition_;
            }
        } else {
            if (table.state() != OTTable::kRaw) throw OT_EXCEPTION(kOtNotRaw);
            if (!input_) throw OT_EXCEPTION(kOtNoInput);
            piece.inputOffset = table.inputOffset();
        }
        piece.length = table.length();
        piece.padding = (4 - piece.length % 4) % 4;
        table.setOffset(static_cast<uint32_t>(position));
        position += static_cast<uint64_t>(piece.length) + piece.padding;
        layout.pieces.push_back(piece);
    }
    layout.size = position;
    // Every position in the font must be a 32-bit signed value for the
    // streams that write it; refused before a byte is written.
    if (position > INT32_MAX) throw OT_EXCEPTION(kOtTooLarge);

    uint32_t sum = 0;
    uint8_t* record = header + kHeaderSize;
    for (const std::unique_ptr<OTTable>& table : tables_) {
        std::memcpy(record, table->tag(), 4);
        storeBE32(record + 4, table->checksum());
        storeBE32(record + 8, table->offset());
        storeBE32(record + 12, table->length());
        sum += table->checksum();
        record += kRecordSize;
    }
    sum += otChecksum(layout.directory.data(), directoryLength);

    // A font without head has nowhere to keep the adjustment.
    adjustmentPosition_ = -1;
    if (adjustmentImage >= 0) {
        const OTLayoutPiece& head = *std::find_if(
            layout.pieces.begin(), layout.pieces.end(),
            [&](const OTLayoutPiece& piece) { return piece.image == adjustmentImage; });
        std::vector<uint8_t>& image = layout.images[static_cast<size_t>(adjustmentImage)];
        if (static_cast<size_t>(adjustmentInImage) + 4 <= image.size()) {
            storeBE32(image.data() + adjustmentInImage, kChecksumMagic - sum);
            adjustmentPosition_ = static_cast<int32_t>(head.offset + adjustmentInImage);
        }
    }
    return layout;
}

void OTFont::emit(const OTLayout& layout, OTChunkSink& sink) {
    static const uint8_t kZeros[4] = {0, 0, 0, 0};
    sink.put(layout.directory.data(), layout.directory.size());
    std::unique_ptr<uint8_t[]> chunk;
    for (const OTLayoutPiece& piece : layout.pieces) {
        if (piece.image >= 0) {
            sink.put(layout.images[static_cast<size_t>(piece.image)].data(), piece.length);
        } else if (piece.length > 0) {
            if (!input_) throw OT_EXCEPTION(kOtNoInput);
            const uint8_t* inPlace = input_->bytesAt(piece.inputOffset, piece.length);
            if (inPlace) {
                sink.put(inPlace, piece.length);
            } else {
                if (!chunk) chunk.reset(new uint8_t[kCopyChunk]);
                seekExactly(*input_, static_cast<int32_t>(piece.inputOffset));
                for (uint32_t left = piece.length; left > 0;) {
                    int32_t n = static_cast<int32_t>(std::min<uint32_t>(left, kCopyChunk));
                    // The directory was checked against the file size, so a
                    // short read means the file changed or failed underneath.
                    if (!readExactly(*input_, chunk.get(), n)) throw error(kErrShortTransfer);
                    sink.put(chunk.get(), static_cast<size_t>(n));
                    left -= static_cast<uint32_t>(n);
                }
            }
        }
        if (piece.padding > 0) sink.put(kZeros, piece.padding);
    }
}

int32_t OTFont::writeFont() {
    if (!output_) throw OT_EXCEPTION(kOtNoOutput);
    return writeFont(layout());
}

int32_t OTFont::writeFont(const OTLayout& laid) {
    if (!output_) throw OT_EXCEPTION(kOtNoOutput);

    struct StreamSink : OTChunkSink {
        OTStream& stream;
        explicit StreamSink(OTStream& s) : stream(s) {}
        void put(const uint8_t* data, size_t count) override {
            while (count > 0) {
                int32_t n = static_cast<int32_t>(std::min<size_t>(count, INT32_MAX));
                writeExactly(stream, data, n);
                data += n;
                count -= static_cast<size_t>(n);
            }
        }
    } sink(*output_);
    seekExactly(*output_, 0);
    emit(laid, sink);
    return 0;
}

}  // namespace fontseal

#include "font/ot_font.h"

#include <algorithm>
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
constexpr int32_t kDirectoryImageCapacity = 4096;
// 16 x count must fit the 16-bit rangeShift of the directory header.
constexpr int32_t kMaxWritableTables = 4095;

void seekExactly(OTStream& stream, int32_t offset) {
    if (stream.seek(offset, SeekOrigin::kBegin) != offset) throw error(kErrShortTransfer);
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

void OTFont::removeTable(int32_t index) {
    if (index < 0 || index >= tables_.count()) return;
    tables_[index].reset();
    for (int32_t i = index; i + 1 < tables_.count(); ++i) tables_[i] = std::move(tables_[i + 1]);
    tables_.pop();
}

int32_t OTFont::readDirectory() {
    if (!input_ || !input_->isOk()) throw OT_EXCEPTION(kOtNoInput);
    int32_t reported = input_->size();
    uint64_t fileSize = reported > 0 ? static_cast<uint64_t>(reported) : 0;
    input_->seek(startOffset_, SeekOrigin::kBegin);

    // The version is not kept: the writer decides it from the tables.
    uint8_t header[kHeaderSize];
    if (!readExactly(*input_, header, kHeaderSize)) throw OT_EXCEPTION(kOtBadDirectory);
    uint16_t numTables = loadBE16(header + 4);
    if (numTables > kMaxTables) throw OT_EXCEPTION(kOtBadDirectory);

    for (uint16_t i = 0; i < numTables; ++i) {
        uint8_t record[kRecordSize];
        if (!readExactly(*input_, record, kRecordSize)) throw OT_EXCEPTION(kOtBadDirectory);
        std::unique_ptr<OTTable> table = createTable(reinterpret_cast<const char*>(record));
        if (!table) throw OT_EXCEPTION(kOtBadDirectory);
        uint32_t checksum = loadBE32(record + 4);
        uint32_t offset = loadBE32(record + 8);
        uint32_t length = loadBE32(record + 12);
        // Both ends must lie in the file; summed in 64 bits so that a huge
        // length cannot wrap around to a small end.
        if (static_cast<uint64_t>(offset) + length > fileSize) throw OT_EXCEPTION(kOtBadDirectory);
        table->setChecksum(checksum);
        table->setOffset(offset);
        table->setInputOffset(offset);
        table->setLength(length);
        table->setState(OTTable::kRaw);
        appendTable(std::move(table));
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

int32_t OTFont::writeFont() {
    std::stable_sort(tables_.begin(), tables_.end(),
                     [](const std::unique_ptr<OTTable>& a, const std::unique_ptr<OTTable>& b) {
                         return a->tagValue() < b->tagValue();
                     });
    if (!output_) throw OT_EXCEPTION(kOtNoOutput);
    const int32_t count = tables_.count();
    if (count > kMaxWritableTables) throw OT_EXCEPTION(kOtBadDirectory);

    OTMemoryStream directory(kDirectoryImageCapacity);
    SearchParams params = searchParams(static_cast<uint16_t>(count));
    writeBE32(directory, findTable("CFF ") >= 0 ? kVersionCff : kVersionTrueType);
    writeBE16(directory, static_cast<uint16_t>(count));
    writeBE16(directory, params.searchRange);
    writeBE16(directory, params.entrySelector);
    writeBE16(directory, params.rangeShift);
    writeZeros(directory, kRecordSize * count);
    const int32_t directoryLength = directory.size();

    // Placeholder; rewritten once every table's offset and checksum is known.
    seekExactly(*output_, 0);
    writeExactly(*output_, directory.buffer(), directoryLength);

    // Listed tables in list order, then the rest in tag order (the sort is
    // stable over the tag-sorted list), the same layout on every platform.
    std::vector<int32_t> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [this](int32_t a, int32_t b) {
        return tableOrderRank(tables_[a]->tagValue()) < tableOrderRank(tables_[b]->tagValue());
    });

    adjustmentPosition_ = -1;
    uint32_t position = static_cast<uint32_t>(directoryLength);
    for (int32_t index : order) {
        OTTable& table = *tables_[index];
        table.writeTo(output_);
        table.setOffset(position);
        int32_t end = output_->tell();
        int32_t padding = (4 - end % 4) % 4;
        writeZeros(*output_, padding);
        position = static_cast<uint32_t>(end + padding);
    }

    directory.seek(kHeaderSize, SeekOrigin::kBegin);
    uint32_t sum = 0;
    for (const std::unique_ptr<OTTable>& table : tables_) {
        writeExactly(directory, table->tag(), 4);
        writeBE32(directory, table->checksum());
        writeBE32(directory, table->offset());
        writeBE32(directory, table->length());
        sum += table->checksum();
    }
    sum += otChecksum(directory.buffer(), static_cast<size_t>(directoryLength));
    uint32_t adjustment = kChecksumMagic - sum;

    seekExactly(*output_, 0);
    writeExactly(*output_, directory.buffer(), directoryLength);
    // A font without head has nowhere to keep the adjustment.
    if (adjustmentPosition_ >= 0) {
        seekExactly(*output_, adjustmentPosition_);
        writeBE32(*output_, adjustment);
    }
    return 0;
}

}  // namespace fontseal

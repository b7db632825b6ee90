// SPDX-License-Identifier: Apache-2.0
#include "font/ot_table.h"

#include <cstring>

#include "base/error.h"
#include "font/ot_checksum.h"
#include "font/ot_errors.h"
#include "font/ot_font.h"
#include "font/ot_memory_stream.h"
#include "font/ot_stream_io.h"
#include "font/ot_tag.h"

namespace fontseal {

namespace {
constexpr uint32_t kCopyChunk = 4096;
}

OTTable::OTTable(const char* tag, OTFont* owner) : owner_(owner) { std::memcpy(tag_, tag, 4); }

uint32_t OTTable::tagValue() const { return fontseal::tagValue(tag_); }

int32_t OTTable::parse(OTStream*) { return 0; }

uint32_t OTTable::computeLength() { return 0; }

OTStream& OTTable::outputFor(OTStream* stream) const {
    if (!stream && owner_) stream = owner_->output();
    if (!stream) throw OT_EXCEPTION(kOtNoOutput);
    return *stream;
}

void OTTable::writeTo(OTStream* stream) {
    if (!owner_) throw OT_EXCEPTION(kOtNoOwner);
    if (state_ != kRaw) throw OT_EXCEPTION(kOtNotRaw);
    OTStream* input = owner_->input();
    if (!input) throw OT_EXCEPTION(kOtNoInput);
    OTStream& out = outputFor(stream);
    if (length_ == 0) return;

    uint8_t chunk[kCopyChunk];
    if (input->seek(static_cast<int32_t>(inputOffset_), SeekOrigin::kBegin) !=
        static_cast<int32_t>(inputOffset_)) {
        throw error(kErrShortTransfer);
    }
    uint32_t left = length_;
    while (left > 0) {
        int32_t n = static_cast<int32_t>(left < kCopyChunk ? left : kCopyChunk);
        // The directory was checked against the file size, so a short read
        // means the file changed or failed underneath us.
        if (!readExactly(*input, chunk, n)) throw error(kErrShortTransfer);
        writeExactly(out, chunk, n);
        left -= static_cast<uint32_t>(n);
    }
}

void OTTable::emit(OTMemoryStream& image, OTStream* stream) {
    OTStream& out = outputFor(stream);
    // The image is padded to whole words and never shorter than the length
    // recorded for the table.
    int64_t wanted = static_cast<int64_t>(length_);
    image.seek(image.size(), SeekOrigin::kBegin);
    if (image.size() < wanted) writeZeros(image, static_cast<int32_t>(wanted - image.size()));
    writeZeros(image, (4 - image.size() % 4) % 4);
    checksum_ = otChecksum(image.buffer(), length_);
    writeExactly(out, image.buffer(), static_cast<int32_t>(length_));
}

}  // namespace fontseal

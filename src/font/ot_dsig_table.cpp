// SPDX-License-Identifier: Apache-2.0
#include "font/ot_dsig_table.h"

#include <cstring>
#include <new>
#include <utility>

#include "base/error.h"
#include "font/big_endian.h"
#include "font/ot_errors.h"
#include "font/ot_font.h"
#include "font/ot_memory_stream.h"
#include "font/ot_stream_io.h"

namespace fontseal {

void OTDsigTable::setSignature(uint8_t* bytes, uint32_t length) {
    HeapBytes owned(bytes);
    version = 1;
    flags = 1;
    signatures.clear();
    signatures.emplace_back();
    DsigSignature& record = signatures.back();
    record.format = 1;
    record.reserved1 = 0;
    record.reserved2 = 0;
    record.length = length;
    record.bytes = std::move(owned);
}

uint32_t OTDsigTable::computeLength() {
    uint64_t total = kHeaderSize;
    for (const DsigSignature& s : signatures) total += kRecordSize + kBlockHeaderSize + s.length;
    total = (total + 3) & ~static_cast<uint64_t>(3);
    // The image is built in memory with 32-bit signed sizes.
    if (total > INT32_MAX || signatures.size() > 0xFFFF) throw error(kErrBufferFull);
    setLength(static_cast<uint32_t>(total));
    return static_cast<uint32_t>(total);
}

void OTDsigTable::writeTo(OTStream* stream) {
    if (!owner()) throw OT_EXCEPTION(kOtNoOwner);
    OTMemoryStream image(static_cast<int32_t>(computeLength()));
    writeBE32(image, version);
    writeBE16(image, static_cast<uint16_t>(signatures.size()));
    writeBE16(image, flags);
    uint32_t blockOffset = kHeaderSize + kRecordSize * static_cast<uint32_t>(signatures.size());
    for (const DsigSignature& s : signatures) {
        writeBE32(image, s.format);
        writeBE32(image, s.length + kBlockHeaderSize);
        writeBE32(image, blockOffset);
        blockOffset += s.length + kBlockHeaderSize;
    }
    for (const DsigSignature& s : signatures) {
        writeBE16(image, s.reserved1);
        writeBE16(image, s.reserved2);
        writeBE32(image, s.length);
        if (s.bytes) {
            writeExactly(image, s.bytes.get(), static_cast<int32_t>(s.length));
        } else {
            writeZeros(image, static_cast<int32_t>(s.length));
        }
    }
    emit(image, stream);
}

int32_t OTDsigTable::parse(OTStream* stream) {
    if (!owner()) throw OT_EXCEPTION(kOtNoOwner);
    if (!stream) stream = owner()->input();
    if (!stream) throw OT_EXCEPTION(kOtNoInput);

    const uint32_t size = length();
    HeapBytes data(static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1)));
    if (!data) throw std::bad_alloc();
    if (size > INT32_MAX ||
        stream->seek(static_cast<int32_t>(inputOffset()), SeekOrigin::kBegin) !=
            static_cast<int32_t>(inputOffset()) ||
        !readExactly(*stream, data.get(), static_cast<int32_t>(size)) || size < kHeaderSize) {
        throw OT_EXCEPTION(kOtBadDirectory);
    }
    const uint8_t* p = data.get();
    uint16_t count = loadBE16(p + 4);
    if (static_cast<uint64_t>(kHeaderSize) + static_cast<uint64_t>(kRecordSize) * count > size) {
        throw OT_EXCEPTION(kOtBadDirectory);
    }

    std::vector<DsigSignature> parsed(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* record = p + kHeaderSize + kRecordSize * i;
        uint32_t blockLength = loadBE32(record + 4);
        uint32_t blockOffset = loadBE32(record + 8);
        if (blockLength < kBlockHeaderSize ||
            static_cast<uint64_t>(blockOffset) + blockLength > size) {
            throw OT_EXCEPTION(kOtBadDirectory);
        }
        const uint8_t* block = p + blockOffset;
        DsigSignature& s = parsed[i];
        s.format = loadBE32(record);
        s.reserved1 = loadBE16(block);
        s.reserved2 = loadBE16(block + 2);
        s.length = loadBE32(block + 4);
        if (s.length > blockLength - kBlockHeaderSize) throw OT_EXCEPTION(kOtBadDirectory);
        s.bytes.reset(static_cast<uint8_t*>(std::malloc(s.length > 0 ? s.length : 1)));
        if (!s.bytes) throw std::bad_alloc();
        std::memcpy(s.bytes.get(), block + kBlockHeaderSize, s.length);
    }
    version = loadBE32(p);
    flags = loadBE16(p + 6);
    signatures = std::move(parsed);
    setState(kParsed);
    return 0;
}

}  // namespace fontseal

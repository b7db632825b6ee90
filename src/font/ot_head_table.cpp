// SPDX-License-Identifier: Apache-2.0
#include "font/ot_head_table.h"

#include "base/error.h"
#include "font/big_endian.h"
#include "font/ot_errors.h"
#include "font/ot_font.h"
#include "font/ot_memory_stream.h"
#include "font/ot_stream_io.h"

namespace fontseal {

uint32_t OTHeadTable::computeLength() {
    setLength(kLength);
    return kLength;
}

int32_t OTHeadTable::parse(OTStream* stream) {
    if (!owner()) throw OT_EXCEPTION(kOtNoOwner);
    if (!stream) stream = owner()->input();
    if (!stream) throw OT_EXCEPTION(kOtNoInput);

    // The fields are read from the table's own bytes, never from whatever
    // follows a table too short to hold them.
    uint8_t b[kLength];
    if (length() < kLength ||
        stream->seek(static_cast<int32_t>(inputOffset()), SeekOrigin::kBegin) !=
            static_cast<int32_t>(inputOffset()) ||
        !readExactly(*stream, b, kLength)) {
        throw OT_EXCEPTION(kOtBadDirectory, kOtFaultShortHead);
    }
    version = loadBE32(b + 0);
    fontRevision = loadBE32(b + 4);
    checkSumAdjustment = loadBE32(b + 8);
    magicNumber = loadBE32(b + 12);
    flags = loadBE16(b + 16);
    unitsPerEm = loadBE16(b + 18);
    created[0] = loadBE32(b + 20);
    created[1] = loadBE32(b + 24);
    modified[0] = loadBE32(b + 28);
    modified[1] = loadBE32(b + 32);
    xMin = static_cast<int16_t>(loadBE16(b + 36));
    yMin = static_cast<int16_t>(loadBE16(b + 38));
    xMax = static_cast<int16_t>(loadBE16(b + 40));
    yMax = static_cast<int16_t>(loadBE16(b + 42));
    macStyle = loadBE16(b + 44);
    lowestRecPPEM = loadBE16(b + 46);
    fontDirectionHint = loadBE16(b + 48);
    indexToLocFormat = loadBE16(b + 50);
    glyphDataFormat = loadBE16(b + 52);
    setState(kParsed);
    return 0;
}

void OTHeadTable::writeTo(OTStream* stream) {
    if (!owner()) throw OT_EXCEPTION(kOtNoOwner);
    // Only a font's first head table is parsed. A second one under the same
    // tag keeps its own bytes instead of being rebuilt from empty fields,
    // and leaves the checksum adjustment to the first.
    if (state() == kRaw) return OTTable::writeTo(stream);
    OTMemoryStream image(static_cast<int32_t>(computeLength()));
    checkSumAdjustment = 0;
    writeBE32(image, version);
    writeBE32(image, fontRevision);
    writeBE32(image, checkSumAdjustment);
    writeBE32(image, magicNumber);
    writeBE16(image, flags);
    writeBE16(image, unitsPerEm);
    writeBE32(image, created[0]);
    writeBE32(image, created[1]);
    writeBE32(image, modified[0]);
    writeBE32(image, modified[1]);
    writeBE16(image, static_cast<uint16_t>(xMin));
    writeBE16(image, static_cast<uint16_t>(yMin));
    writeBE16(image, static_cast<uint16_t>(xMax));
    writeBE16(image, static_cast<uint16_t>(yMax));
    writeBE16(image, macStyle);
    writeBE16(image, lowestRecPPEM);
    writeBE16(image, fontDirectionHint);
    writeBE16(image, indexToLocFormat);
    writeBE16(image, glyphDataFormat);

    OTStream& out = outputFor(stream);
    owner()->setChecksumAdjustmentPosition(out.tell() + kAdjustmentOffset);
    emit(image, &out);
}

}  // namespace fontseal

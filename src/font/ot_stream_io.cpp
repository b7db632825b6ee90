// SPDX-License-Identifier: Apache-2.0
#include "font/ot_stream_io.h"

#include "base/error.h"
#include "font/big_endian.h"

namespace fontseal {

void writeExactly(OTStream& stream, const void* buffer, int32_t count) {
    if (count <= 0) return;
    if (stream.write(buffer, count) != count) throw error(kErrShortTransfer);
}

void writeBE16(OTStream& stream, uint16_t value) {
    uint8_t bytes[2];
    storeBE16(bytes, value);
    writeExactly(stream, bytes, 2);
}

void writeBE32(OTStream& stream, uint32_t value) {
    uint8_t bytes[4];
    storeBE32(bytes, value);
    writeExactly(stream, bytes, 4);
}

void writeZeros(OTStream& stream, int32_t count) {
    static const uint8_t kZeros[16] = {};
    while (count > 0) {
        int32_t n = count < 16 ? count : 16;
        writeExactly(stream, kZeros, n);
        count -= n;
    }
}

bool readExactly(OTStream& stream, void* buffer, int32_t count) {
    if (count <= 0) return true;
    return stream.read(buffer, count) == count;
}

}  // namespace fontseal

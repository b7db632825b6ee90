// SPDX-License-Identifier: Apache-2.0
#include "font/ot_checksum.h"

#include "font/big_endian.h"

namespace fontseal {

uint32_t otChecksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    size_t whole = length & ~static_cast<size_t>(3);
    for (size_t i = 0; i < whole; i += 4) sum += loadBE32(data + i);
    if (whole < length) {
        uint8_t last[4] = {0, 0, 0, 0};
        for (size_t i = whole; i < length; ++i) last[i - whole] = data[i];
        sum += loadBE32(last);
    }
    return sum;
}

}  // namespace fontseal

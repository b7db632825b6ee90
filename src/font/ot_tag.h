// SPDX-License-Identifier: Apache-2.0
// Table tags: four raw bytes, compared byte by byte (which is the order of
// their big-endian 32-bit values).
#pragma once
#include <cstdint>

#include "font/big_endian.h"

namespace fontseal {

inline uint32_t tagValue(const char* tag) {
    return loadBE32(reinterpret_cast<const uint8_t*>(tag));
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The sfnt table checksum: the wrapping 32-bit sum of the bytes taken as
// big-endian words, the last word padded with zero bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fontseal {

uint32_t otChecksum(const uint8_t* data, size_t length);

}  // namespace fontseal

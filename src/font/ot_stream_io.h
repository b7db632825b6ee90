// SPDX-License-Identifier: Apache-2.0
// Whole-value transfers on OTStream for the font writers and readers: the
// value is converted in a local buffer and moved in one piece.
#pragma once
#include <cstdint>

#include "font/ot_stream.h"

namespace fontseal {

// Writes exactly `count` bytes or raises error 258 (short write), so a font
// image that could not be completed is never taken for a finished one.
void writeExactly(OTStream& stream, const void* buffer, int32_t count);
void writeBE16(OTStream& stream, uint16_t value);
void writeBE32(OTStream& stream, uint32_t value);
// Writes `count` zero bytes.
void writeZeros(OTStream& stream, int32_t count);

// Reads exactly `count` bytes; false on a short read.
bool readExactly(OTStream& stream, void* buffer, int32_t count);

}  // namespace fontseal

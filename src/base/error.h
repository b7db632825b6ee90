// SPDX-License-Identifier: Apache-2.0
// Exception types raised inside the library. They never cross the exported
// C interface: the signing job and the entry points turn them into result codes.
#pragma once
#include <cstdint>

namespace fontseal {

// Stream, buffer, DER, signing and key faults. The four trailing fields are
// kept at -1, -1, 0, 0 so the layout matches what callers have always seen.
struct error {
    int32_t code;
    int32_t field1 = -1;
    int32_t field2 = -1;
    int32_t field3 = 0;
    int32_t field4 = 0;
    explicit error(int32_t c) : code(c) {}
};

// Codes shared by several layers.
enum : int32_t {
    kErrReadPastEnd = 257,
    kErrShortTransfer = 258,
    kErrBufferFull = 259,
    kErrCannotOpen = 261,
};

// GrowArray index faults are thrown as a plain int of this value.
constexpr int kIndexFault = -2;

}  // namespace fontseal

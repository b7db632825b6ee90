// SPDX-License-Identifier: Apache-2.0
// How files are opened and where a seek counts from, as named values for the
// layers above the platform; only the platform knows its runtime's numbers.
#pragma once
#include <cstdint>

namespace fontseal {

enum class OpenMode {
    kRead,             // an existing file, read-only
    kReadWrite,        // an existing file, read and write, content kept
    kWriteOnly,        // an existing file, write-only, content kept
    kCreateReadWrite,  // created or truncated, read and write, owner-only when created
    kCreateWriteOnly,  // created or truncated, write-only, owner-only when created
};

inline bool isWriteOnly(OpenMode mode) {
    return mode == OpenMode::kWriteOnly || mode == OpenMode::kCreateWriteOnly;
}

enum class SeekOrigin : int32_t {
    kBegin,
    kCurrent,
    kEnd,
};

}  // namespace fontseal

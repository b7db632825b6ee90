// SPDX-License-Identifier: Apache-2.0
#include "verify/collection_layout_check.h"

#include <cstdint>

namespace fontseal {

std::string collection_layout_fault(const OTCollection& c) {
    const uint64_t dsigEnd = static_cast<uint64_t>(c.dsigOffset) + c.dsigLength;
    if (c.dataEnd() > c.dsigOffset) {
        return "a directory or table lies at or after the DSIG table, which must be last";
    }
    // The DSIG's own padding may end the file, nothing else.
    if (((dsigEnd + 3) & ~static_cast<uint64_t>(3)) < c.fileSize) {
        return std::to_string(c.fileSize - dsigEnd) +
               " bytes follow the DSIG table, which must be last in the file";
    }
    const uint64_t gap = c.firstGap(c.dsigOffset);
    if (gap < c.dsigOffset) {
        return "the bytes before the DSIG table do not run contiguously: nothing in the "
               "collection accounts for the bytes at offset " +
               std::to_string(gap);
    }
    return "";
}

}  // namespace fontseal

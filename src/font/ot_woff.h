// SPDX-License-Identifier: Apache-2.0
// WOFF 1.0 web fonts, unwrapped: the sfnt a WOFF file was made from,
// rebuilt in memory so that the font passes read it as they read a file.
// WOFF2 is only recognised: its encoder rebuilds tables, so what a signature
// covered cannot be recovered from it.
#pragma once
#include <cstdint>
#include <memory>

#include "font/ot_stream.h"

namespace fontseal {

enum class WoffKind { kNone, kWoff, kWoff2 };

// What the file at `path` starts as; kNone also when it cannot be read.
WoffKind woff_kind(const char* path);

struct WoffFont {
    std::unique_ptr<OTStream> sfnt;  // the decoded font, in memory
    // head.modified of the decoded font, in seconds since 1970; 0 without.
    int64_t headModified = 0;
};

// Decodes the WOFF 1.0 file at `path`: the sfnt header and directory (in tag
// order, as every sfnt has it) followed by each table, uncompressed, in the
// order the WOFF file holds their data (which an encoder keeps from the
// font it was given), each padded to four bytes. OT_EXCEPTION kOtCannotOpen
// when the file cannot be read, kOtTooLarge past 2 GiB, kOtBadDirectory
// for a WOFF that is damaged (a table outside the file, overlapping
// another, not inflating to its stated length, ...).
WoffFont decode_woff(const char* path);

}  // namespace fontseal

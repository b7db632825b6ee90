// SPDX-License-Identifier: Apache-2.0
// How the font layer fails: it raises OT_EXCEPTION with one of the codes
// below for its own faults, and lets the stream faults of base/error.h
// (short transfers) pass through as `error`.
#pragma once
#include <cstdint>

namespace fontseal {

struct OT_EXCEPTION {
    int32_t code;
    // What exactly was wrong, where the code alone does not say: a kOtFault*
    // value for kOtBadDirectory, the system's reason (an errno value, or a
    // platform/regular_file.h kFile* value) for kOtCannotOpen and
    // kOtCannotCreate; 0 when nothing more is known.
    int32_t reason;
    explicit OT_EXCEPTION(int32_t c, int32_t r = 0) : code(c), reason(r) {}
};

enum : int32_t {
    kOtBadDirectory = -2,  // the table directory or a table in it is unusable
    kOtNoInput = -3,       // a font or table read without an input stream
    kOtNoOwner = -4,       // a table used without the font that owns it
    kOtNotRaw = -6,        // a raw copy of a table that is not in the raw state
    kOtNoOutput = -7,      // a font or table written without an output stream
    kOtCannotOpen = -8,    // the input font cannot be opened or read
    kOtCannotCreate = -9,  // the output font cannot be created or put in place
    // Inputs that are no sfnt font, told apart so they can be named.
    kOtWoff = -10,        // a WOFF web font
    kOtWoff2 = -11,       // a WOFF2 web font
    kOtCollection = -12,  // a font collection
    kOtNotSfnt = -13,     // anything else that does not start as an sfnt font does
    kOtTooLarge = -14,    // a font longer than 32-bit signed positions can address
    // Collections that stay refused, told apart so they can be named.
    kOtWoffMember = -15,           // a collection member wrapped as WOFF or WOFF2
    kOtTooManyMembers = -16,       // a collection of more fonts than we take
    kOtCollectionDirectory = -17,  // a collection header, member or table out of place
};

// The reasons of kOtBadDirectory, so a message can name the fault found.
enum : int32_t {
    kOtFaultEmpty = -30,           // the file is empty
    kOtFaultShortDirectory = -31,  // the file ends inside the table directory
    kOtFaultNoTables = -32,        // the directory lists no table
    kOtFaultTooManyTables = -33,   // more tables than fontseal reads
    kOtFaultDuplicateTable = -34,  // a tag other than DSIG listed twice
    kOtFaultPastEnd = -35,         // a table reaches past the end of the file
    kOtFaultOverlap = -36,         // tables share bytes, or a table lies over the directory
    kOtFaultShortHead = -37,       // the head table is too short to hold its fields
    kOtFaultTooManyToWrite = -38,  // the written font would hold more tables than are read
};

}  // namespace fontseal

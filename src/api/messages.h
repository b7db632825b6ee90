// SPDX-License-Identifier: Apache-2.0
// What each public result means to the person who made the call: one line
// that names the file concerned, the problem and the code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "fontseal/fontseal.h"

namespace fontseal {

// The files of a call, as its caller named them; any may be empty.
struct CallFiles {
    std::string input;
    std::string output;
    std::string cert;
    std::string key;
    // The time-stamp servers asked, as a list for the reader.
    std::string timestampServers{};
};

// Whether a caller's struct of `size` bytes reaches to the end of the field
// at `offset` of `length` bytes: hosts built with an older header pass
// smaller structs, and the fields they lack are neither read nor written.
constexpr bool struct_covers(uint32_t size, size_t offset, size_t length) {
    return size >= offset + length;
}

// The line without its closing "(code N)". `detail` is what
// result_for_current_exception gave besides the code, or 0.
std::string explain_result(int32_t code, const CallFiles& files, int32_t detail = 0);
std::string describe_result(int32_t code, const CallFiles& files, int32_t detail = 0);

// Stores `code` and, for a failure, its description in `report` (which may
// be null or shorter than the current struct: only the fields its size
// covers are written). Returns `code`.
int32_t fill_report(fontseal_report* report, int32_t code, const CallFiles& files,
                    int32_t detail = 0);

// Stores which server gave the time stamp (-1: none) and its time, as far as
// `report` reaches.
void report_timestamp(fontseal_report* report, int32_t server, int64_t time);

// Stores why no server gave a time stamp, as far as `report` reaches.
void report_timestamp_warning(fontseal_report* report, const std::string& text);

}  // namespace fontseal

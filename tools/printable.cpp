// SPDX-License-Identifier: Apache-2.0
#include "printable.h"

#include <cstddef>
#include <cstdint>

namespace fontseal_cli {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the UTF-8 sequence at `i` and its code point; 0 when the
// bytes there are not a valid, shortest-form sequence.
size_t sequence_at(const std::string& text, size_t i, uint32_t& code) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
    return length;
}

bool is_control(uint32_t code) { return code < 0x20 || (code >= 0x7F && code < 0xA0); }

}  // namespace

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t code = 0;
        const size_t length = sequence_at(text, i, code);
        if (length == 0 || is_control(code)) {
            out += kReplacement;
            i += length ? length : 1;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string printable(const char* text) { return printable(std::string(text ? text : "")); }

}  // namespace fontseal_cli

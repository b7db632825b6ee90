// SPDX-License-Identifier: Apache-2.0
// The standard base64 alphabet, shared by the decoding sources, the MIME
// writer and the MIME reader.
#pragma once
#include <cstdint>

namespace fontseal {

// Value of the padding character in the decoding tables.
constexpr int kBase64Pad = 64;

// 0..63 for a letter of the alphabet, kBase64Pad for '=', -1 for anything
// else. Takes a whole character code so that 16-bit text cannot alias an
// 8-bit letter.
inline int base64Value(uint32_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a') + 26;
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0') + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return kBase64Pad;
    return -1;
}

inline char base64Letter(uint32_t value) {
    static const char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    return kLetters[value & 63];
}

}  // namespace fontseal

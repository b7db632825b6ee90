// SPDX-License-Identifier: Apache-2.0
// Reference base64 texts for the codec tests, produced by tools this project
// did not write (Python's base64 module and openssl), over reproducible
// random data.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

std::vector<uint8_t> randomBytes(size_t length, uint32_t seed);

// Lengths that cover every padding case and the buffer edges of the codec.
std::vector<size_t> base64TestLengths();

struct Base64Reference {
    std::vector<uint8_t> data;
    std::string oneLine;           // no line breaks
    std::string mime;              // 76-character lines, LF after each
    std::string pemCrlf;           // 64-character lines, CR LF after each
    std::string lines72;           // 72-character lines joined by CR LF, none at the end
    std::string openssl;           // `openssl base64 -e`: 64-character lines, LF
    std::vector<uint8_t> wide;     // `mime` as 16-bit little-endian text, no byte-order mark
    std::vector<uint8_t> wideBom;  // the same with a byte-order mark (FF FE) in front
};

// One reference per blob, computed in a single run of the tools.
std::vector<Base64Reference> base64References(const std::vector<std::vector<uint8_t>>& blobs);

}  // namespace testsupport

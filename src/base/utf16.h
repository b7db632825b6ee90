// SPDX-License-Identifier: Apache-2.0
// Program names arrive as UTF-8 and go into signatures as 16-bit text.
#pragma once
#include <string>

namespace fontseal {

// Converts UTF-8 to UTF-16 code units. Returns false on malformed input.
bool utf8_to_utf16(const std::string& in, std::u16string& out);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Text the CLI shows but did not write itself: names and validity from
// certificates, friendly names and key locations from the store, token
// labels, file paths, and the library's messages that quote them.
#pragma once
#include <string>

namespace fontseal_cli {

// `text` with every control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 replaced by U+FFFD, so that printing it can never
// move the cursor, retitle or clear the terminal, or break a line.
std::string printable(const std::string& text);

// The same for a C string; null gives an empty string.
std::string printable(const char* text);

}  // namespace fontseal_cli

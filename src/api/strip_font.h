// SPDX-License-Identifier: Apache-2.0
// Writes a font without its DSIG table, laid out exactly as the signer lays
// out the bytes it signs (less the trailing flags).
#pragma once
#include <cstdint>

namespace fontseal {

// Returns 0, or a result code of the public header (-3, -4, -5, ...).
int32_t strip_font(const char* input_path, const char* output_path, int32_t* detail = nullptr);

}  // namespace fontseal

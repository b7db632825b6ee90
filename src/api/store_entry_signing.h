// SPDX-License-Identifier: Apache-2.0
// Signing with a certificate-store entry through our own SignedData writer,
// so that the store route gets every digest and time-stamp choice the key
// files get. The store's own signing (win_sign_font) is left as it is.
#pragma once
#include <cstdint>
#include <string>

#include "api/signing_step.h"

namespace fontseal {

// Finds the entry named by `thumbprint` (a unique prefix of 8 or more hex
// digits) in the current user's store, opens its key and signs `input` into
// `output` with the entry's certificate. Returns the result code; a fault of
// the store itself (no such entry, an ambiguous prefix, no key, a key file
// others can read, ...) is a FONTSEAL_E_STORE_* code with the line that
// explains it in `storeMessage`. Holds no state between calls: every call
// reads the store and opens the key afresh.
int32_t sign_with_store_entry(const char* thumbprint, const char* input, const char* output,
                              const SignOptions& options, int32_t* detail,
                              std::string& storeMessage);

}  // namespace fontseal

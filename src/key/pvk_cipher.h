// SPDX-License-Identifier: Apache-2.0
// Decryption of a key file's blob body: RC4 under SHA-1 of salt and
// password, first with the full 128-bit key, then with the 40-bit export
// variant that older tools wrote.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fontseal {

// Decrypts `length` (at least 4) bytes of `cipher` into `plain` with a key
// derived from `material` (salt followed by password). Returns true once the
// output begins with the "RSA2" marker; false when neither key strength
// yields it.
bool decrypt_key_body(const uint8_t* material, std::size_t material_length, const uint8_t* cipher,
                      std::size_t length, uint8_t* plain);

}  // namespace fontseal

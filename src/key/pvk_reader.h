// SPDX-License-Identifier: Apache-2.0
// Reading a password-protected private-key file (PVK layout) into an RSA key.
#pragma once
#include <openssl/types.h>

#include <cstdint>

#include "base/byte_stream.h"
#include "key/evp_signing_key.h"
#include "key/key_errors.h"

namespace fontseal {

// The first four bytes of every PVK file, as they appear in the file.
constexpr uint8_t kPvkMagicBytes[4] = {0x1E, 0xF1, 0xB5, 0xB0};

// Reads the key file from the start of `stream` into `key`, an RSA key with
// all eight components made in `library` (null: the default context).
// `password` is NUL-terminated; null counts as empty, and files stored in
// clear need none. Returns 0 on success, else kErrKeyFile, kErrKeyBlob or
// kErrKeyPassword, with `key` empty.
int load_private_key(ByteSource& stream, const char* password, EvpPkeyPtr& key,
                     OSSL_LIB_CTX* library = nullptr);

// Whether the key file at the start of `stream` needs a password: 1 when its
// blob is encrypted, 0 when it is stored in clear, kErrKeyFile when the
// header cannot be read.
int pvk_needs_password(ByteSource& stream);

}  // namespace fontseal

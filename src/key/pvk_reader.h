// Reading a password-protected private-key file (PVK layout) into an RSA key.
#pragma once
#include <openssl/rsa.h>

#include <cstdint>

#include "base/byte_stream.h"

namespace fontseal {

enum : int32_t {
    // Not a key file, a header field out of range, a file that ends early, or
    // no salt and no password to derive a key from.
    kErrKeyFile = -5818,
    // The plain blob is too short for its components, or memory ran out
    // while the key was built.
    kErrKeyBlob = -5819,
    // Neither key strength decrypts the blob: a wrong password.
    kErrKeyPassword = -5820,
};

// Reads the key file from the start of `stream` and fills `key` (created and
// owned by the caller, e.g. with new_rsa_key()) with all eight components.
// `password` is NUL-terminated; null counts as empty, and files stored in
// clear need none. Returns 0 on success, else one of the codes above, with
// `key` left without components.
int load_private_key(ByteSource& stream, const char* password, RSA* key);

}  // namespace fontseal

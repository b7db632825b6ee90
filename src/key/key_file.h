// SPDX-License-Identifier: Apache-2.0
// Reading the private key of a key file whose form is found from its
// content, never from its name: PVK; PEM with a PKCS#1 ("RSA PRIVATE KEY",
// plain or with encryption headers) or PKCS#8 key (plain or encrypted);
// DER PKCS#8, plain or encrypted; PKCS#12, with either the legacy
// RC2/3DES or the AES/PBKDF2 protection. Everything but PVK is decoded by
// OpenSSL itself.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "key/evp_signing_key.h"
#include "key/key_errors.h"

namespace fontseal {

// The most iterations a password-protected key file may ask for, for its MAC
// or for any key derivation (for scrypt, N * r * p): far above what any tool
// writes (OpenSSL writes 2048, current tools up to a few hundred thousand).
// (The fuzzers' build lowers it, so that no execution derives for seconds.)
#if defined(FONTSEAL_FUZZ_BUILD)
constexpr uint64_t kMaxKeyIterations = 4096;
#else
constexpr uint64_t kMaxKeyIterations = 10000000;
#endif

enum class KeyFileForm { kUnknown, kPvk, kPem, kDer, kPkcs12 };

struct KeyFileContents {
    KeyFileForm form = KeyFileForm::kUnknown;
    std::unique_ptr<EvpSigningKey> key;
    // The certificates a PKCS#12 file carries, as DER: the one that belongs
    // to the key first, then the others in file order. Empty for other forms.
    std::vector<std::vector<uint8_t>> certificates;
};

// Reads the key (and a PKCS#12 file's certificates) from the file at
// `path`. `password` is NUL-terminated; null counts as empty, and files
// stored in clear need none. Returns 0, or with `out` emptied:
//   kErrKeyPassword  the password does not open the key (in every form);
//   kErrKeyNotRsa    a readable key of another kind;
//   kErrKeyFormat    content of no form above;
//   kErrKeyIterations  an iteration count above kMaxKeyIterations;
//   kErrKeyFile / kErrKeyBlob  a file of a known form that cannot be read.
// Raises error(kErrCannotOpen) when the file cannot be opened.
int load_key_file(const char* path, const char* password, KeyFileContents& out);

// Whether the key file at `path` needs a password before it can be read:
// 1 yes, 0 no (stored in clear, or a PKCS#12 file protected by an empty
// password), or kErrKeyFormat / kErrKeyFile for a file that could not be
// read with any password. Raises error(kErrCannotOpen) like load_key_file.
int key_file_needs_password(const char* path);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Results of reading a key file. The values are part of what the signing
// calls have always reported, so they never change.
#pragma once
#include <cstdint>

namespace fontseal {

enum : int32_t {
    // Not a key file, a header field out of range, a file that ends early, or
    // no salt and no password to derive a key from; also a file of a known
    // form whose contents cannot be read.
    kErrKeyFile = -5818,
    // The plain blob is too short for its components, or memory ran out
    // while the key was built.
    kErrKeyBlob = -5819,
    // The password does not open the key: wrong, or none given for a key
    // that needs one.
    kErrKeyPassword = -5820,
    // A readable key of another kind than RSA (EC, EdDSA, DSA): fonts are
    // signed with RSA only.
    kErrKeyNotRsa = -5822,
    // Content of no key-file form this library reads.
    kErrKeyFormat = -5823,
    // The file asks for more key-derivation (or MAC) iterations than
    // kMaxKeyIterations: refused before any key is derived, since deriving
    // would keep the caller busy for hours.
    kErrKeyIterations = -5824,
};

}  // namespace fontseal

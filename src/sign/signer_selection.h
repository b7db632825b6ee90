// SPDX-License-Identifier: Apache-2.0
// Finding the certificate that belongs to a private key.
#pragma once
#include "key/signing_key.h"
#include "x509/p7_certificate.h"

namespace fontseal {

// Index of the first of `count` certificates whose RSA modulus and public
// exponent equal the key's, or -1 (also when the key cannot give its public
// half). Entries without extracted fields never match.
int find_signer(const P7Certificate* certificates, int count, const SigningKey& key);

}  // namespace fontseal

// Finding the certificate that belongs to a private key.
#pragma once
#include <openssl/types.h>

#include "x509/p7_certificate.h"

namespace fontseal {

// Index of the first of `count` certificates whose RSA modulus and public
// exponent equal the key's, or -1. Entries without extracted fields never
// match.
int find_signer(const P7Certificate* certificates, int count, const RSA* key);

}  // namespace fontseal

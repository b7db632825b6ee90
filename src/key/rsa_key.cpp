#define OPENSSL_SUPPRESS_DEPRECATED
#include "key/rsa_key.h"

namespace fontseal {

void RsaFree::operator()(RSA* rsa) const { RSA_free(rsa); }

RsaPtr new_rsa_key() { return RsaPtr(RSA_new()); }

}  // namespace fontseal

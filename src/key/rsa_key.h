// Ownership of an OpenSSL RSA key object for the code that loads and signs
// with it, so no path has to remember RSA_free.
#pragma once
#include <openssl/rsa.h>

#include <memory>

namespace fontseal {

struct RsaFree {
    void operator()(RSA* rsa) const;
};
using RsaPtr = std::unique_ptr<RSA, RsaFree>;

// A new, empty key object to hand to load_private_key; null when memory runs
// out. Freeing it frees every component it holds.
RsaPtr new_rsa_key();

}  // namespace fontseal

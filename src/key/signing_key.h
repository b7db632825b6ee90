// SPDX-License-Identifier: Apache-2.0
// A private RSA key as the signer sees it, wherever the key lives: read from
// a file, held by a token, kept in a store. The signer needs only the public
// half, to find the certificate that belongs to the key, and one private
// operation on a DigestInfo it has built itself, so hashing and encoding stay
// on this side and every kind of key signs the same bytes.
#pragma once
#include <cstdint>
#include <vector>

namespace fontseal {

// Unsigned big-endian magnitudes without leading zero bytes, as a token
// reports them.
struct RsaPublicKey {
    std::vector<uint8_t> modulus;
    std::vector<uint8_t> exponent;
};

class SigningKey {
public:
    virtual ~SigningKey() = default;

    // False when the key cannot tell (or is no RSA key).
    virtual bool publicKey(RsaPublicKey& out) const = 0;
    // Bytes of every signature: the modulus length. 0 when unknown.
    virtual int signatureSize() const = 0;
    // PKCS#1 v1.5 block type 1 over `digestInfo` taken as it is, then the
    // private-key operation; `signature` receives exactly signatureSize()
    // bytes, leading zero bytes kept. False when the key refuses, for
    // instance a modulus too short for the DigestInfo and its padding.
    virtual bool signDigestInfo(const uint8_t* digestInfo, int length,
                                std::vector<uint8_t>& signature) const = 0;
};

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Certificates, keys and blob inspection for the SignedData tests. Keys and
// certificates are made by the openssl tool at test time; blobs are taken
// apart with `openssl asn1parse`, so the structure is not read back through
// the library's own DER code.
#pragma once
#include <openssl/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A certificate authority and code-signing certificates issued by it.
struct TestPki {
    explicit TestPki(const TempDir& dir);
    // A new RSA key (PEM); bits >= 512.
    std::string makeKey(const std::string& name, int bits = 1024) const;
    // A certificate for `publicKeyPem` (a private key, or with forcePublicKey
    // a public key only) issued by the CA. `extensions`: lines of an openssl
    // extension section, for example "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21";
    // empty gives a version 1 certificate.
    std::string makeCert(const std::string& name, const std::string& keyPem, int serial,
                         const std::string& extensions, bool forcePublicKey = false) const;

    const TempDir& dir;
    std::string caKey;
    std::string caPem;
};

// Runs `openssl <arguments>`; throws std::runtime_error with its output on failure.
void openssl(const std::string& arguments);

// A private key read from PEM (traditional or PKCS#8); the caller frees it.
EVP_PKEY* readPemKey(const std::string& path);
// Writes the public half of `key` as PEM.
void writePublicKey(const EVP_PKEY* key, const std::string& path);
// A key with a modulus of exactly `bits` bits, made in memory: the openssl
// tool refuses keys below 512 bits.
EVP_PKEY* makeSmallKey(int bits);
// An RSA key of the given public numbers only, or with a private exponent
// too when `d` is given; the other components are left out. Null on failure.
EVP_PKEY* rsaKeyFromNumbers(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d = nullptr);

// One element as `openssl asn1parse` lists it.
struct Asn1Node {
    size_t offset = 0;
    int depth = 0;
    size_t header = 0;
    size_t length = 0;
    bool constructed = false;
    std::string type;   // "SEQUENCE", "cont [ 0 ]", "OBJECT", ...
    std::string value;  // the text after the type's colon, if any
    size_t end() const { return offset + header + length; }
};

class Asn1Tree {
public:
    // Parses the DER file at `path` with openssl; throws when it cannot.
    explicit Asn1Tree(const std::string& path);
    const std::vector<Asn1Node>& nodes() const { return nodes_; }
    // Indexes of the direct children of node `parent`.
    std::vector<size_t> children(size_t parent) const;
    // The k-th child of `parent`; throws when there is none.
    size_t child(size_t parent, size_t k) const;
    const Asn1Node& operator[](size_t i) const { return nodes_.at(i); }
    // The whole element, header included.
    Bytes element(size_t i) const;
    // Only the content octets.
    Bytes content(size_t i) const;
    const Bytes& bytes() const { return bytes_; }

private:
    std::vector<Asn1Node> nodes_;
    Bytes bytes_;
};

// Digest of `data` by the openssl tool ("sha1" or "md5").
Bytes opensslDigest(const TempDir& dir, const Bytes& data, const char* algorithm);

}  // namespace testsupport

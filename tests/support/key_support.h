// SPDX-License-Identifier: Apache-2.0
// RSA keys made by openssl at test time, in PEM and in the three PVK forms
// (128-bit RC4, 40-bit RC4, unencrypted), and a byte source that cannot tell
// its length, as a network or pipe reader would be.
#pragma once
#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_stream.h"
#include "support/test_support.h"

namespace testsupport {

struct PvkKeySet {
    int bits = 0;
    std::string password;
    std::string pem;        // private key, PEM
    std::string publicPem;  // public key, PEM
    std::string strong;     // PVK, 128-bit RC4 under `password`
    std::string weak;       // PVK, 40-bit RC4 under `password`
    std::string none;       // PVK, blob in clear
};

// Generates a `bits`-bit key in `dir` (files named after `stem`); throws
// std::runtime_error when openssl fails.
PvkKeySet makePvkKeys(const TempDir& dir, const std::string& stem, int bits,
                      const std::string& password);

struct BnClearFree {
    void operator()(BIGNUM* bn) const;
};
using BnValue = std::unique_ptr<BIGNUM, BnClearFree>;

// The eight RSA components by their OpenSSL parameter names: n, e, d, p, q,
// d mod (p-1), d mod (q-1), q^-1 mod p.
extern const char* const kRsaComponents[8];
// One component of `key`, or null when it has none.
BnValue keyComponent(const EVP_PKEY* key, const char* name);

// Little-endian 32-bit field access for editing key-file headers.
uint32_t getLe32(const std::vector<uint8_t>& bytes, size_t offset);
void setLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

// Reads from a copy of `bytes` but answers remaining() with -1.
class UnsizedSource : public fontseal::ByteSource {
public:
    explicit UnsizedSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    void read(uint8_t* buffer, int count) override;
    bool atEnd() override { return position_ >= bytes_.size(); }
    int remaining() override { return -1; }

private:
    std::vector<uint8_t> bytes_;
    size_t position_ = 0;
};

}  // namespace testsupport

// SPDX-License-Identifier: Apache-2.0
#include "support/key_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstring>
#include <stdexcept>

#include "base/error.h"

namespace testsupport {
namespace {

void openssl(const std::string& arguments) {
    const std::string command = "openssl " + arguments + " 2>/dev/null";
    if (run(command) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace

PvkKeySet makePvkKeys(const TempDir& dir, const std::string& stem, int bits,
                      const std::string& password) {
    PvkKeySet set;
    set.bits = bits;
    set.password = password;
    set.pem = dir.file(stem + ".pem");
    set.publicPem = dir.file(stem + ".pub.pem");
    set.strong = dir.file(stem + ".strong.pvk");
    set.weak = dir.file(stem + ".weak.pvk");
    set.none = dir.file(stem + ".none.pvk");
    openssl("genrsa -out '" + set.pem + "' " + std::to_string(bits));
    openssl("rsa -in '" + set.pem + "' -pubout -out '" + set.publicPem + "'");
    // RC4 for PVK encryption lives in the legacy provider of OpenSSL 3.
    const std::string toPvk = "rsa -provider legacy -provider default -in '" + set.pem +
                              "' -outform PVK -passout 'pass:" + password + "' ";
    openssl(toPvk + "-out '" + set.strong + "'");
    openssl(toPvk + "-pvk-weak -out '" + set.weak + "'");
    openssl(toPvk + "-pvk-none -out '" + set.none + "'");
    return set;
}

void BnClearFree::operator()(BIGNUM* bn) const { BN_clear_free(bn); }

const char* const kRsaComponents[8] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,           OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,     OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

BnValue keyComponent(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    if (!key || EVP_PKEY_get_bn_param(key, name, &value) != 1) return nullptr;
    return BnValue(value);
}

uint32_t getLe32(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t(bytes.at(offset)) | uint32_t(bytes.at(offset + 1)) << 8 |
           uint32_t(bytes.at(offset + 2)) << 16 | uint32_t(bytes.at(offset + 3)) << 24;
}

void setLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(offset + i) = uint8_t(value >> (8 * i));
}

void UnsizedSource::read(uint8_t* buffer, int count) {
    if (count < 0 || size_t(count) > bytes_.size() - position_) {
        throw fontseal::error(fontseal::kErrReadPastEnd);
    }
    if (count > 0) std::memcpy(buffer, bytes_.data() + position_, size_t(count));
    position_ += size_t(count);
}

}  // namespace testsupport

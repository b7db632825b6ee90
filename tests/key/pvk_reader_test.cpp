// SPDX-License-Identifier: Apache-2.0
// Key files written by openssl, loaded by the reader and compared with what
// openssl's own PEM reader makes of the same key.
#include "key/pvk_reader.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/memory_stream.h"
#include "key/evp_signing_key.h"
#include "platform/file_source.h"
#include "support/key_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::PvkKeySet;
using Bytes = std::vector<uint8_t>;

const char kPassword[] = "secret";
constexpr size_t kHeaderSize = 24;
constexpr size_t kEncryptedFlag = 12;
constexpr size_t kSaltLength = 16;
constexpr size_t kBlobLength = 20;

// One key per size for the whole process; generating is the slow part.
const PvkKeySet& keys(int bits) {
    static testsupport::TempDir dir;
    static std::map<int, PvkKeySet> cache;
    auto found = cache.find(bits);
    if (found != cache.end()) return found->second;
    return cache[bits] = testsupport::makePvkKeys(dir, "k" + std::to_string(bits), bits, kPassword);
}

EvpPkeyPtr readPem(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return nullptr;
    return EvpPkeyPtr(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
}

// Compares all eight components; an absent component never matches.
::testing::AssertionResult sameKey(const EVP_PKEY* expected, const EVP_PKEY* actual) {
    static const char* names[8] = {"n", "e", "d", "p", "q", "dmp1", "dmq1", "iqmp"};
    for (int i = 0; i < 8; ++i) {
        testsupport::BnValue want =
            testsupport::keyComponent(expected, testsupport::kRsaComponents[i]);
        testsupport::BnValue have =
            testsupport::keyComponent(actual, testsupport::kRsaComponents[i]);
        if (!want || !have || BN_cmp(want.get(), have.get()) != 0) {
            return ::testing::AssertionFailure() << "component " << names[i] << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

// Loads from memory; no key may be left behind whenever loading fails.
int loadBytes(const Bytes& bytes, const char* password, EvpPkeyPtr* out = nullptr) {
    EvpPkeyPtr key;
    MemoryStream stream(bytes.data(), static_cast<int>(bytes.size()));
    const int result = load_private_key(stream, password, key);
    EXPECT_TRUE(result == 0 ? key != nullptr : key == nullptr)
        << "result " << result << " with key " << key.get();
    if (out) *out = std::move(key);
    return result;
}

int loadUnsized(const Bytes& bytes, const char* password) {
    EvpPkeyPtr key;
    testsupport::UnsizedSource stream(bytes);
    const int result = load_private_key(stream, password, key);
    EXPECT_TRUE(result == 0 ? key != nullptr : key == nullptr)
        << "result " << result << " with key " << key.get();
    return result;
}

int loadFile(const std::string& path, const char* password, EvpPkeyPtr* out) {
    EvpPkeyPtr key;
    FileSource stream(path.c_str());
    const int result = load_private_key(stream, password, key);
    *out = std::move(key);
    return result;
}

Bytes fileBytes(const std::string& path) { return testsupport::readFile(path); }

TEST(PvkReader, LoadsEveryFormAtSeveralSizes) {
    for (int bits : {1024, 1536, 2048, 3072}) {
        SCOPED_TRACE(bits);
        const PvkKeySet& set = keys(bits);
        EvpPkeyPtr expected = readPem(set.pem);
        ASSERT_TRUE(expected);
        EvpPkeyPtr key;
        ASSERT_EQ(0, loadFile(set.strong, kPassword, &key));
        EXPECT_TRUE(sameKey(expected.get(), key.get()));
        // The 128-bit key cannot decrypt this one; only the 40-bit retry can.
        ASSERT_EQ(0, loadFile(set.weak, kPassword, &key));
        EXPECT_TRUE(sameKey(expected.get(), key.get()));
        // A file stored in clear needs no password and ignores one given.
        for (const char* password : {static_cast<const char*>(nullptr), "", "anything"}) {
            ASSERT_EQ(0, loadFile(set.none, password, &key));
            EXPECT_TRUE(sameKey(expected.get(), key.get()));
        }
    }
}

TEST(PvkReader, LoadsThroughStreamsOfUnknownLength) {
    const PvkKeySet& set = keys(1024);
    EXPECT_EQ(0, loadUnsized(fileBytes(set.strong), kPassword));
    EXPECT_EQ(0, loadUnsized(fileBytes(set.weak), kPassword));
    EXPECT_EQ(0, loadUnsized(fileBytes(set.none), nullptr));
}

TEST(PvkReader, BitLengthsNotMultipleOf16UseRoundedUpWidths) {
    // A 1032-bit modulus has 65-byte primes, not 1032/16 = 64; with 1025 bits
    // even the modulus needs 129 bytes.
    for (int bits : {1025, 1032}) {
        SCOPED_TRACE(bits);
        const PvkKeySet& set = keys(bits);
        EvpPkeyPtr expected = readPem(set.pem);
        ASSERT_TRUE(expected);
        EvpPkeyPtr key;
        ASSERT_EQ(0, loadFile(set.strong, kPassword, &key));
        EXPECT_TRUE(sameKey(expected.get(), key.get()));
        ASSERT_EQ(0, loadFile(set.none, nullptr, &key));
        EXPECT_TRUE(sameKey(expected.get(), key.get()));
    }
}

TEST(PvkReader, WrongPasswordIsReported) {
    const PvkKeySet& set = keys(1024);
    for (const std::string& path : {set.strong, set.weak}) {
        const Bytes bytes = fileBytes(path);
        EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, "Secret"));
        EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, "secret "));
        // With a salt there is still a key to derive from an empty password.
        EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, ""));
        EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, nullptr));
    }
}

TEST(PvkReader, FilesEndingEarlyAreReadingFailures) {
    const PvkKeySet& set = keys(1024);
    for (const std::string& path : {set.strong, set.none}) {
        SCOPED_TRACE(path);
        const Bytes whole = fileBytes(path);
        const size_t salt = testsupport::getLe32(whole, kSaltLength);
        const size_t blobStart = kHeaderSize + salt;
        std::vector<size_t> cuts = {
            0, 3, 4, 11, 16, 20, 23, blobStart, blobStart + 7, blobStart + 12, whole.size() - 1};
        if (salt > 0) cuts.push_back(kHeaderSize + salt / 2);
        for (size_t cut : cuts) {
            SCOPED_TRACE(cut);
            const Bytes part(whole.begin(), whole.begin() + cut);
            EXPECT_EQ(kErrKeyFile, loadBytes(part, kPassword));
            EXPECT_EQ(kErrKeyFile, loadUnsized(part, kPassword));
        }
    }
}

TEST(PvkReader, HeaderFaultsAreReadingFailures) {
    const Bytes good = fileBytes(keys(1024).strong);
    Bytes bytes = good;
    bytes[0] ^= 1;  // magic
    EXPECT_EQ(kErrKeyFile, loadBytes(bytes, kPassword));
    bytes = good;
    testsupport::setLe32(bytes, 4, 1);  // reserved
    EXPECT_EQ(kErrKeyFile, loadBytes(bytes, kPassword));
    bytes = good;
    testsupport::setLe32(bytes, kBlobLength, 0);
    EXPECT_EQ(kErrKeyFile, loadBytes(bytes, kPassword));
    // Key type is not consulted.
    bytes = good;
    testsupport::setLe32(bytes, 8, 2);
    EXPECT_EQ(0, loadBytes(bytes, kPassword));
}

TEST(PvkReader, BlobTooShortForItsComponents) {
    const PvkKeySet& set = keys(1024);
    for (const std::string& path : {set.strong, set.none}) {
        SCOPED_TRACE(path);
        Bytes bytes = fileBytes(path);
        // 1024 bits: 20 bytes of header fields, two 128-byte and five 64-byte components.
        ASSERT_EQ(596u, testsupport::getLe32(bytes, kBlobLength));
        bytes.pop_back();
        testsupport::setLe32(bytes, kBlobLength, 595);
        EXPECT_EQ(kErrKeyBlob, loadBytes(bytes, kPassword));
    }
    // In a clear blob the bit length can be raised directly: 16 more bits
    // need 2 + 2 + 5 more bytes than the blob has.
    Bytes bytes = fileBytes(set.none);
    const size_t bitLength = kHeaderSize + 12;
    ASSERT_EQ(1024u, testsupport::getLe32(bytes, bitLength));
    testsupport::setLe32(bytes, bitLength, 1040);
    EXPECT_EQ(kErrKeyBlob, loadBytes(bytes, nullptr));
    // A clear blob too short to hold even its marker never reaches the key.
    Bytes tiny(bytes.begin(), bytes.begin() + kHeaderSize + 11);
    testsupport::setLe32(tiny, kBlobLength, 11);
    EXPECT_EQ(kErrKeyBlob, loadBytes(tiny, kPassword));
}

// RC4 as OpenSSL's legacy provider has it, in a library context of its own.
void rc4InPlace(const uint8_t key[16], uint8_t* bytes, size_t length) {
    std::unique_ptr<OSSL_LIB_CTX, void (*)(OSSL_LIB_CTX*)> library(OSSL_LIB_CTX_new(),
                                                                   &OSSL_LIB_CTX_free);
    ASSERT_TRUE(library);
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(library.get(), "legacy");
    ASSERT_NE(legacy, nullptr);
    EVP_CIPHER* rc4 = EVP_CIPHER_fetch(library.get(), "RC4", nullptr);
    ASSERT_NE(rc4, nullptr);
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int out = 0;
    EXPECT_EQ(1, EVP_EncryptInit_ex2(context, rc4, key, nullptr, nullptr));
    EXPECT_EQ(1, EVP_EncryptUpdate(context, bytes, &out, bytes, static_cast<int>(length)));
    EXPECT_EQ(static_cast<size_t>(out), length);
    EVP_CIPHER_CTX_free(context);
    EVP_CIPHER_free(rc4);
    OSSL_PROVIDER_unload(legacy);
}

// The file's header with the given salt and a blob whose body is RC4-encrypted
// under SHA-1 of salt and password, cut to `keyBytes` digest bytes.
Bytes encryptClearFile(const Bytes& clear, const Bytes& salt, const std::string& password,
                       int keyBytes) {
    const size_t clearSalt = testsupport::getLe32(clear, kSaltLength);
    Bytes blob(clear.begin() + kHeaderSize + clearSalt, clear.end());
    Bytes material = salt;
    material.insert(material.end(), password.begin(), password.end());
    uint8_t rc4Key[EVP_MAX_MD_SIZE] = {};
    EXPECT_EQ(1,
              EVP_Digest(material.data(), material.size(), rc4Key, nullptr, EVP_sha1(), nullptr));
    std::fill(rc4Key + keyBytes, rc4Key + 16, 0);
    rc4InPlace(rc4Key, blob.data() + 8, blob.size() - 8);

    Bytes out(clear.begin(), clear.begin() + kHeaderSize);
    testsupport::setLe32(out, kEncryptedFlag, 1);
    testsupport::setLe32(out, kSaltLength, static_cast<uint32_t>(salt.size()));
    out.insert(out.end(), salt.begin(), salt.end());
    out.insert(out.end(), blob.begin(), blob.end());
    return out;
}

TEST(PvkReader, SaltlessFileDerivesTheKeyFromThePasswordAlone) {
    const PvkKeySet& set = keys(1024);
    const Bytes clear = fileBytes(set.none);
    EvpPkeyPtr expected = readPem(set.pem);
    for (int keyBytes : {16, 5}) {
        SCOPED_TRACE(keyBytes);
        const Bytes bytes = encryptClearFile(clear, {}, "pw", keyBytes);
        EvpPkeyPtr key;
        ASSERT_EQ(0, loadBytes(bytes, "pw", &key));
        EXPECT_TRUE(sameKey(expected.get(), key.get()));
        EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, "px"));
        // Nothing to derive a key from.
        EXPECT_EQ(kErrKeyFile, loadBytes(bytes, ""));
        EXPECT_EQ(kErrKeyFile, loadBytes(bytes, nullptr));
    }
    // The same construction with a salt agrees with what openssl writes.
    const Bytes salted = encryptClearFile(clear, Bytes(16, 0xA5), kPassword, 16);
    EvpPkeyPtr key;
    ASSERT_EQ(0, loadBytes(salted, kPassword, &key));
    EXPECT_TRUE(sameKey(expected.get(), key.get()));
}

TEST(PvkReader, EncryptedFlagDecidesOnlyWhetherAClearBlobIsTrusted) {
    const PvkKeySet& set = keys(1024);
    // A clear blob in a file that claims encryption is decrypted like any
    // other, which garbles it.
    Bytes bytes = fileBytes(set.none);
    testsupport::setLe32(bytes, kEncryptedFlag, 1);
    EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, kPassword));
    EXPECT_EQ(kErrKeyFile, loadBytes(bytes, nullptr));
    // An encrypted blob in a file that claims none still needs its password.
    bytes = fileBytes(set.strong);
    testsupport::setLe32(bytes, kEncryptedFlag, 0);
    EXPECT_EQ(0, loadBytes(bytes, kPassword));
    EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, "wrong"));
}

TEST(PvkReader, LoadedKeyMakesSignaturesOpensslVerifies) {
    const PvkKeySet& set = keys(2048);
    EvpPkeyPtr loaded;
    ASSERT_EQ(0, loadFile(set.weak, kPassword, &loaded));
    const EvpSigningKey key(std::move(loaded));
    const std::string message = "font digest stand-in, 20+ bytes";
    Bytes signature;
    ASSERT_TRUE(key.signDigestInfo(reinterpret_cast<const uint8_t*>(message.data()),
                                   static_cast<int>(message.size()), signature));
    ASSERT_EQ(256u, signature.size());
    ASSERT_EQ(256, key.signatureSize());

    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("sig.bin"), signature);
    std::string recovered;
    ASSERT_EQ(0, testsupport::run("openssl pkeyutl -verifyrecover -pubin -inkey '" + set.publicPem +
                                      "' -pkeyopt rsa_padding_mode:pkcs1 -in '" +
                                      dir.file("sig.bin") + "' 2>/dev/null",
                                  &recovered));
    EXPECT_EQ(message, recovered);
}

}  // namespace
}  // namespace fontseal

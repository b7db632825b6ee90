// Key files written by openssl, loaded by the reader and compared with what
// openssl's own PEM reader makes of the same key.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "key/pvk_reader.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rc4.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/memory_stream.h"
#include "key/rsa_key.h"
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

RsaPtr readPem(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return nullptr;
    return RsaPtr(PEM_read_RSAPrivateKey(file.get(), nullptr, nullptr, nullptr));
}

// Compares all eight components; an absent component never matches.
::testing::AssertionResult sameKey(const RSA* expected, const RSA* actual) {
    const BIGNUM *en, *ee, *ed, *ep, *eq, *edp, *edq, *eiq;
    const BIGNUM *an, *ae, *ad, *ap, *aq, *adp, *adq, *aiq;
    RSA_get0_key(expected, &en, &ee, &ed);
    RSA_get0_factors(expected, &ep, &eq);
    RSA_get0_crt_params(expected, &edp, &edq, &eiq);
    RSA_get0_key(actual, &an, &ae, &ad);
    RSA_get0_factors(actual, &ap, &aq);
    RSA_get0_crt_params(actual, &adp, &adq, &aiq);
    const BIGNUM* pairs[8][2] = {{en, an}, {ee, ae},   {ed, ad},   {ep, ap},
                                 {eq, aq}, {edp, adp}, {edq, adq}, {eiq, aiq}};
    static const char* names[8] = {"n", "e", "d", "p", "q", "dmp1", "dmq1", "iqmp"};
    for (int i = 0; i < 8; ++i) {
        if (!pairs[i][0] || !pairs[i][1] || BN_cmp(pairs[i][0], pairs[i][1]) != 0) {
            return ::testing::AssertionFailure() << "component " << names[i] << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

bool isEmpty(const RSA* key) {
    const BIGNUM *n, *e, *d, *p, *q, *dmp1, *dmq1, *iqmp;
    RSA_get0_key(key, &n, &e, &d);
    RSA_get0_factors(key, &p, &q);
    RSA_get0_crt_params(key, &dmp1, &dmq1, &iqmp);
    return !n && !e && !d && !p && !q && !dmp1 && !dmq1 && !iqmp;
}

// Loads from memory; the key must stay empty whenever loading fails.
int loadBytes(const Bytes& bytes, const char* password, RsaPtr* out = nullptr) {
    RsaPtr key = new_rsa_key();
    MemoryStream stream(bytes.data(), static_cast<int>(bytes.size()));
    const int result = load_private_key(stream, password, key.get());
    EXPECT_TRUE(result == 0 || isEmpty(key.get())) << "failure " << result << " left components";
    if (out) *out = std::move(key);
    return result;
}

int loadUnsized(const Bytes& bytes, const char* password) {
    RsaPtr key = new_rsa_key();
    testsupport::UnsizedSource stream(bytes);
    const int result = load_private_key(stream, password, key.get());
    EXPECT_TRUE(result == 0 || isEmpty(key.get())) << "failure " << result << " left components";
    return result;
}

int loadFile(const std::string& path, const char* password, RsaPtr* out) {
    RsaPtr key = new_rsa_key();
    FileSource stream(path.c_str());
    const int result = load_private_key(stream, password, key.get());
    *out = std::move(key);
    return result;
}

Bytes fileBytes(const std::string& path) { return testsupport::readFile(path); }

TEST(PvkReader, LoadsEveryFormAtSeveralSizes) {
    for (int bits : {1024, 1536, 2048, 3072}) {
        SCOPED_TRACE(bits);
        const PvkKeySet& set = keys(bits);
        RsaPtr expected = readPem(set.pem);
        ASSERT_TRUE(expected);
        RsaPtr key;
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
        RsaPtr expected = readPem(set.pem);
        ASSERT_TRUE(expected);
        RsaPtr key;
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

// The file's header with the given salt and a blob whose body is RC4-encrypted
// under SHA-1 of salt and password, cut to `keyBytes` digest bytes.
Bytes encryptClearFile(const Bytes& clear, const Bytes& salt, const std::string& password,
                       int keyBytes) {
    const size_t clearSalt = testsupport::getLe32(clear, kSaltLength);
    Bytes blob(clear.begin() + kHeaderSize + clearSalt, clear.end());
    Bytes material = salt;
    material.insert(material.end(), password.begin(), password.end());
    uint8_t rc4Key[20] = {};
    SHA1(material.data(), material.size(), rc4Key);
    std::fill(rc4Key + keyBytes, rc4Key + 16, 0);
    RC4_KEY state;
    RC4_set_key(&state, 16, rc4Key);
    RC4(&state, blob.size() - 8, blob.data() + 8, blob.data() + 8);

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
    RsaPtr expected = readPem(set.pem);
    for (int keyBytes : {16, 5}) {
        SCOPED_TRACE(keyBytes);
        const Bytes bytes = encryptClearFile(clear, {}, "pw", keyBytes);
        RsaPtr key;
        ASSERT_EQ(0, loadBytes(bytes, "pw", &key));
        EXPECT_TRUE(sameKey(expected.get(), key.get()));
        EXPECT_EQ(kErrKeyPassword, loadBytes(bytes, "px"));
        // Nothing to derive a key from.
        EXPECT_EQ(kErrKeyFile, loadBytes(bytes, ""));
        EXPECT_EQ(kErrKeyFile, loadBytes(bytes, nullptr));
    }
    // The same construction with a salt agrees with what openssl writes.
    const Bytes salted = encryptClearFile(clear, Bytes(16, 0xA5), kPassword, 16);
    RsaPtr key;
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
    RsaPtr key;
    ASSERT_EQ(0, loadFile(set.weak, kPassword, &key));
    const std::string message = "font digest stand-in, 20+ bytes";
    Bytes signature(RSA_size(key.get()));
    const int length = RSA_private_encrypt(static_cast<int>(message.size()),
                                           reinterpret_cast<const uint8_t*>(message.data()),
                                           signature.data(), key.get(), RSA_PKCS1_PADDING);
    ASSERT_EQ(256, length);

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

// SPDX-License-Identifier: Apache-2.0
// Key files of every form, mutated, through the content-sniffing reader
// under the address and undefined-behaviour sanitizers: every outcome is one
// of the reader's codes, with a key exactly when it reports success, and the
// password question gets an answer of its own kind.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "key/key_file.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kIterations = 1500;

void openssl(const std::string& arguments) {
    ASSERT_EQ(testsupport::run("openssl " + arguments + " >/dev/null 2>&1"), 0) << arguments;
}

void mutate(Bytes& bytes, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < edits && !bytes.empty(); ++i) {
        switch (rng() % 5) {
            case 0:
                bytes[rng() % bytes.size()] ^= uint8_t(1u << (rng() % 8));
                break;
            case 1:
                bytes[rng() % bytes.size()] = uint8_t(rng());
                break;
            case 2:
                bytes.resize(rng() % bytes.size());
                break;
            case 3:  // text that the PEM scan looks for, anywhere
                for (char c : std::string(rng() % 2 ? "-----BEGIN " : "PRIVATE KEY-----"))
                    bytes.insert(bytes.begin() + long(rng() % (bytes.size() + 1)), uint8_t(c));
                break;
            default:
                bytes.erase(bytes.begin() + static_cast<long>(rng() % bytes.size()));
                break;
        }
    }
}

TEST(KeyFileFuzz, MutatedKeyFilesNeverMisbehave) {
    testsupport::TempDir dir;
    const std::string key = dir.file("k.pem"), cert = dir.file("c.pem");
    openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + key);
    openssl("req -new -x509 -key " + key + " -subj /CN=k -days 1 -out " + cert);
    const std::string pass = " -passout pass:pw";
    const std::vector<std::string> forms = {
        "rsa -traditional -aes128 -in " + key + pass + " -out " + dir.file("p1.pem"),
        "pkcs8 -topk8 -v2 aes-128-cbc -in " + key + pass + " -out " + dir.file("p8.pem"),
        "pkcs8 -topk8 -nocrypt -outform DER -in " + key + " -out " + dir.file("p8.der"),
        "pkcs8 -topk8 -v2 aes-128-cbc -outform DER -in " + key + pass + " -out " +
            dir.file("p8e.der"),
        "pkcs12 -export -inkey " + key + " -in " + cert + pass + " -iter 16 -maciter -out " +
            dir.file("k.p12"),
    };
    std::vector<Bytes> originals = {testsupport::readFile(key)};
    for (const std::string& form : forms) {
        openssl(form);
        originals.push_back(testsupport::readFile(form.substr(form.rfind(' ') + 1)));
    }

    std::mt19937 rng(20261208);
    const std::string path = dir.file("mutant");
    int loaded = 0;
    for (int i = 0; i < kIterations; ++i) {
        Bytes bytes = originals[rng() % originals.size()];
        mutate(bytes, rng);
        testsupport::writeFile(path, bytes);
        const char* password = rng() % 4 ? "pw" : nullptr;
        KeyFileContents contents;
        const int result = load_key_file(path.c_str(), password, contents);
        ASSERT_TRUE(result == 0 || result == kErrKeyFile || result == kErrKeyBlob ||
                    result == kErrKeyPassword || result == kErrKeyNotRsa || result == kErrKeyFormat)
            << "iteration " << i << " gave " << result;
        ASSERT_EQ(result == 0, contents.key != nullptr) << "iteration " << i;
        if (result == 0) {
            ++loaded;
            ASSERT_GT(contents.key->signatureSize(), 0) << "iteration " << i;
        }
        const int needs = key_file_needs_password(path.c_str());
        ASSERT_TRUE(needs == 0 || needs == 1 || needs == kErrKeyFile || needs == kErrKeyFormat)
            << "iteration " << i << " gave " << needs;
    }
    EXPECT_GT(loaded, kIterations / 20);
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The whole file-key signing path, on success and on every failure code,
// under AddressSanitizer and LeakSanitizer: nothing read out of bounds,
// nothing leaked, nothing left on disk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fontseal/fontseal.h"
#include "support/key_support.h"
#include "support/test_support.h"

namespace {

using testsupport::TempDir;

class SignFontPathTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        keys_ = new testsupport::PvkKeySet(testsupport::makePvkKeys(*dir_, "k", 2048, "pw"));
        other_ = new testsupport::PvkKeySet(testsupport::makePvkKeys(*dir_, "o", 1024, "pw"));
        cert_ = dir_->file("cert.pem");
        otherCert_ = dir_->file("other.pem");
        for (auto [key, cert] :
             {std::pair{keys_->pem, cert_}, std::pair{other_->pem, otherCert_}}) {
            std::string cmd = "openssl req -x509 -new -key " + key +
                              " -subj /CN=asan -days 2 -out " + cert +
                              " -addext extendedKeyUsage=codeSigning 2>/dev/null";
            ASSERT_EQ(testsupport::run(cmd), 0);
        }
    }
    static void TearDownTestSuite() {
        delete keys_;
        delete other_;
        delete dir_;
    }

    int sign(const std::string& in, const std::string& cert, const std::string& key,
             const char* password, const std::string& out, int sha1 = 1) {
        return sign_font(in.c_str(), out.c_str(), cert.c_str(), key.c_str(), password, sha1, 0,
                         u"Name", "http://x", nullptr);
    }

    TempDir work;
    static TempDir* dir_;
    static testsupport::PvkKeySet* keys_;
    static testsupport::PvkKeySet* other_;
    static std::string cert_, otherCert_;
};

TempDir* SignFontPathTest::dir_;
testsupport::PvkKeySet* SignFontPathTest::keys_;
testsupport::PvkKeySet* SignFontPathTest::other_;
std::string SignFontPathTest::cert_, SignFontPathTest::otherCert_;

TEST_F(SignFontPathTest, SucceedsWithEveryKeyFormAndDigest) {
    const std::string font = testsupport::dejavuSansPath();
    EXPECT_EQ(sign(font, cert_, keys_->strong, "pw", work.file("a.ttf")), FONTSEAL_OK);
    EXPECT_EQ(sign(font, cert_, keys_->weak, "pw", work.file("b.ttf"), 0), FONTSEAL_OK);
    EXPECT_EQ(
        sign(testsupport::latinModernOtfPath(), cert_, keys_->none, nullptr, work.file("c.otf")),
        FONTSEAL_OK);
    EXPECT_EQ(testsupport::listDir(work.path()),
              (std::vector<std::string>{"a.ttf", "b.ttf", "c.otf"}));
}

TEST_F(SignFontPathTest, EveryFailureCodeCleansUp) {
    const std::string font = testsupport::dejavuSansPath();
    const std::string out = work.file("out.ttf");
    std::string text = work.file("text.pem"), shortKey = work.file("short.pvk"),
                bad = work.file("bad.ttf");
    testsupport::writeText(text, "no certificates here\n");
    std::vector<uint8_t> key = testsupport::readFile(keys_->strong);
    key.resize(200);
    testsupport::writeFile(shortKey, key);
    std::vector<uint8_t> damaged = testsupport::readFile(font);
    damaged[4] = 1;
    damaged[5] = 1;
    testsupport::writeFile(bad, damaged);

    EXPECT_EQ(sign(font, work.file("none.pem"), keys_->strong, "pw", out), FONTSEAL_E_CERT_OPEN);
    EXPECT_EQ(sign(font, text, keys_->strong, "pw", out), FONTSEAL_E_NO_CERTIFICATE);
    EXPECT_EQ(sign(font, cert_, work.file("none.pvk"), "pw", out), FONTSEAL_E_KEY_OPEN);
    EXPECT_EQ(sign(font, cert_, shortKey, "pw", out), FONTSEAL_E_KEY_READ);
    EXPECT_EQ(sign(font, cert_, keys_->strong, "nope", out), FONTSEAL_E_KEY_PASSWORD);
    EXPECT_EQ(sign(font, otherCert_, keys_->strong, "pw", out), FONTSEAL_E_NO_MATCHING_CERT);
    EXPECT_EQ(sign(work.file("none.ttf"), cert_, keys_->strong, "pw", out), FONTSEAL_E_INPUT_OPEN);
    EXPECT_EQ(sign(font, cert_, keys_->strong, "pw", work.file("d/o.ttf")),
              FONTSEAL_E_OUTPUT_CREATE);
    EXPECT_EQ(sign(bad, cert_, keys_->strong, "pw", out), FONTSEAL_E_FONT_DIRECTORY);
    EXPECT_EQ(testsupport::listDir(work.path()),
              (std::vector<std::string>{"bad.ttf", "short.pvk", "text.pem"}));
}

}  // namespace

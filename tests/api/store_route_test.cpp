// SPDX-License-Identifier: Apache-2.0
// The system-store route: win_sign_font asks the entry for its owner and lets
// that signer sign; the host's signer here is a test double.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fontseal/csp.h"
#include "fontseal/fontseal.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

class FakeCsp;

class FakeCert : public CspCert {
public:
    explicit FakeCert(Csp* owner) : owner_(owner) {}
    const uint8_t* thumbprint() const override { return thumb_; }
    bool hasPrivateKey() const override { return true; }
    std::string subjectName() const override { return "subject"; }
    std::string friendlyName() const override { return "friendly"; }
    std::string issuerName() const override { return "issuer"; }
    SystemTime validFrom() const override { return {}; }
    SystemTime validTo() const override { return {}; }
    Csp* owner() const override { return owner_; }

private:
    Csp* owner_;
    uint8_t thumb_[20] = {};
};

class FakeCsp : public Csp {
public:
    int enumCertificates() override { return 1; }
    CspCert* certificateAt(int) override { return &cert; }
    int sign(CspCert* c, const uint8_t*, int content_length, int use_sha1, int statement,
             const char16_t*, const char* url, uint8_t** out) override {
        seenCert = c;
        seenLength = content_length;
        seenSha1 = use_sha1;
        seenStatement = statement;
        seenUrl = url ? url : "";
        *out = static_cast<uint8_t*>(std::malloc(4));
        std::memcpy(*out, "\x30\x02\x05\x00", 4);
        return fail ? -1 : 4;
    }
    FakeCert cert{this};
    bool fail = false;
    CspCert* seenCert = nullptr;
    int seenLength = 0, seenSha1 = -1, seenStatement = -1;
    std::string seenUrl;
};

TEST(StoreRoute, EntryOwnerSignsAndFailuresGiveMinus23) {
    testsupport::TempDir dir;
    FakeCsp csp;
    std::string out = dir.file("o.ttf");
    EXPECT_EQ(win_sign_font(testsupport::dejavuSansPath().c_str(), out.c_str(), &csp.cert, 0, 2,
                            u"n", "http://info", nullptr),
              FONTSEAL_OK);
    EXPECT_EQ(csp.seenCert, &csp.cert);
    EXPECT_EQ(csp.seenLength, 80);  // MD5 content
    EXPECT_EQ(csp.seenSha1, 0);
    EXPECT_EQ(csp.seenStatement, 2);
    EXPECT_EQ(csp.seenUrl, "http://info");
    std::vector<uint8_t> font = testsupport::readFile(out);
    EXPECT_NE(std::string(font.begin(), font.end()).find(std::string("\x30\x02\x05\x00", 4)),
              std::string::npos);

    csp.fail = true;
    std::string failed = dir.file("f.ttf");
    EXPECT_EQ(win_sign_font(testsupport::dejavuSansPath().c_str(), failed.c_str(), &csp.cert, 1, 0,
                            nullptr, nullptr, nullptr),
              FONTSEAL_E_SIGN);
    EXPECT_FALSE(testsupport::fileExists(failed));
    // A missing input is reported before the signer is asked.
    csp.seenCert = nullptr;
    EXPECT_EQ(win_sign_font(dir.file("none.ttf").c_str(), failed.c_str(), &csp.cert, 1, 0, nullptr,
                            nullptr, nullptr),
              FONTSEAL_E_INPUT_OPEN);
    EXPECT_EQ(csp.seenCert, nullptr);
}

TEST(StoreRoute, CreateStoresAndReturnsTheSignerAndReleaseIgnoresNull) {
    Csp* csp = reinterpret_cast<Csp*>(0x1);
    Csp* returned = create_win_csp(&csp);
    ASSERT_NE(returned, nullptr);
    EXPECT_EQ(csp, returned);
    EXPECT_EQ(csp->typeCode(), 0x57435350u);  // "WCSP"
    release_win_csp(csp);
    release_win_csp(nullptr);
}

}  // namespace
}  // namespace fontseal

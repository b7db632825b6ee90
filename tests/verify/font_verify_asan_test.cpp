// SPDX-License-Identifier: Apache-2.0
// Signed fonts with damaged DSIG bytes through the verifier, under the
// address and undefined-behaviour sanitizers: every one gives a verdict,
// never a crash, an overread or an exception.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fontseal/fontseal.h"
#include "support/sfnt_support.h"
#include "support/signing_support.h"
#include "support/test_support.h"
#include "verify/font_verify.h"

namespace fontseal {
namespace {

const char kDejaVu[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// Signed by its foundry, with a counter-signature (a make deps package).
const char kOpenSans[] = "/usr/share/fonts/truetype/open-sans/OpenSans-Regular.ttf";

TEST(FontVerifyAsan, DamagedSignaturesGiveAVerdict) {
    testsupport::TempDir dir;
    testsupport::TestPki pki(dir);
    const std::string key = pki.makeKey("publisher", 2048);
    const std::string cert = pki.makeCert("publisher", key, 7, "extendedKeyUsage=codeSigning");
    const std::string ours = dir.file("signed.ttf");
    fontseal_sign_request request{};
    request.size = sizeof request;
    request.input_path = kDejaVu;
    request.output_path = ours.c_str();
    request.cert_path = cert.c_str();
    request.key_path = key.c_str();
    request.program_name = "Damage";
    ASSERT_EQ(fontseal_sign(&request, nullptr), FONTSEAL_OK);

    std::vector<std::string> seeds{ours};
    if (std::FILE* f = std::fopen(kOpenSans, "rb")) {
        std::fclose(f);
        seeds.push_back(kOpenSans);
    }
    std::mt19937 random(20261208);
    const std::string damaged = dir.file("damaged.ttf");
    int verdicts[3] = {0, 0, 0};
    for (const std::string& seed : seeds) {
        ASSERT_EQ(verify_font(seed.c_str(), nullptr).verdict, FontVerdict::kValid) << seed;
        const std::vector<uint8_t> font = testsupport::readFile(seed);
        const testsupport::SfntDirectory directory = testsupport::parseSfntDirectory(font);
        const testsupport::SfntEntry* dsig = testsupport::findEntry(directory, "DSIG");
        ASSERT_NE(dsig, nullptr);
        const size_t start = dsig->offset;
        const size_t length = dsig->length;
        for (int round = 0; round < 400; ++round) {
            std::vector<uint8_t> bytes = font;
            // One to four bytes; lengths, tags and counts among them often
            // enough that every reader meets sizes that lie.
            const int changes = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < changes; ++i) {
                const size_t at = start + random() % length;
                const uint8_t values[] = {0x00,
                                          0xFF,
                                          0x80,
                                          0x7F,
                                          0x84,
                                          static_cast<uint8_t>(random()),
                                          static_cast<uint8_t>(bytes[at] ^ 1)};
                bytes[at] = values[random() % (sizeof values)];
            }
            testsupport::writeFile(damaged, bytes);
            FontVerification found;
            ASSERT_NO_THROW(found = verify_font(damaged.c_str(), nullptr)) << seed << round;
            ++verdicts[static_cast<int>(found.verdict)];
            if (found.verdict == FontVerdict::kInvalid) {
                EXPECT_FALSE(found.check.empty());
            }
        }
    }
    // Most damage is found; some lands where nothing is signed (padding, a
    // certificate no one uses).
    EXPECT_GT(verdicts[static_cast<int>(FontVerdict::kInvalid)], 300);
}

}  // namespace
}  // namespace fontseal

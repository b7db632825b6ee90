// SPDX-License-Identifier: Apache-2.0
// The signing job end to end on real fonts, with a signer whose bytes are
// known, so the job's own part (passes, image, DSIG, output) is what is tested.
#include "api/sign_job.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/results.h"
#include "api/strip_font.h"
#include "support/sfnt_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::readFile;
using testsupport::TempDir;

using testsupport::be16;
using testsupport::be32;
using Table = testsupport::SfntEntry;

std::vector<Table> tablesOf(const std::vector<uint8_t>& font) {
    return testsupport::parseSfntDirectory(font).entries;
}

// Returns fixed bytes and remembers the content it was asked to sign.
class RecordingSigner : public SigningStep {
public:
    explicit RecordingSigner(std::vector<uint8_t> blob, int result = 0)
        : blob_(std::move(blob)), result_(result) {}
    int sign(const uint8_t* content, int length, const SignOptions&, uint8_t** out) override {
        contents.emplace_back(content, content + length);
        *out = static_cast<uint8_t*>(std::malloc(blob_.size()));
        std::memcpy(*out, blob_.data(), blob_.size());
        return result_ ? result_ : static_cast<int>(blob_.size());
    }
    std::vector<std::vector<uint8_t>> contents;

private:
    std::vector<uint8_t> blob_;
    int result_;
};

const char kOrder[] =
    "headhheavheamaxpOS/2gaspnamecmaplocaLTSHVDMXprepfpgmcvt "
    "hmtxvmtxhdmxglyfpostkernPCLTEBLCEBSCEBDT"
    "GDEFGPOSGSUBJSTFBASEDSIG";

std::vector<uint8_t> sha1(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> d(SHA_DIGEST_LENGTH);
    SHA1(data.data(), data.size(), d.data());
    return d;
}

std::vector<uint8_t> signatureBlob(size_t n) {
    std::vector<uint8_t> blob(n);
    for (size_t i = 0; i < n; ++i) blob[i] = static_cast<uint8_t>(i * 7 + 3);
    return blob;
}

class SignJobTest : public ::testing::Test {
protected:
    TempDir dir;
    SignOptions options;
};

TEST_F(SignJobTest, SignsARealFontWithOneFormat1Dsig) {
    std::string out = dir.file("signed.ttf"), stripped = dir.file("stripped.ttf");
    RecordingSigner signer(signatureBlob(1001));
    ASSERT_EQ(sign_job(testsupport::dejavuSansPath().c_str(), out.c_str(), signer, options), 0);

    // The signed image is the stripped font plus the two flag bytes 00 01.
    ASSERT_EQ(strip_font(testsupport::dejavuSansPath().c_str(), stripped.c_str()), 0);
    std::vector<uint8_t> image = readFile(stripped);
    image.push_back(0x00);
    image.push_back(0x01);
    ASSERT_EQ(signer.contents.size(), 1u);
    const std::vector<uint8_t>& content = signer.contents[0];
    ASSERT_EQ(content.size(), 81u);
    EXPECT_EQ(std::vector<uint8_t>(content.end() - 20, content.end()), sha1(image));

    std::vector<uint8_t> font = readFile(out);
    int dsigCount = 0;
    for (const Table& t : tablesOf(font)) {
        if (t.tag != "DSIG") continue;
        ++dsigCount;
        EXPECT_EQ(t.length, 8u + 20u + 1001u + 3u);
        EXPECT_EQ(be32(font, t.offset), 1u);      // version
        EXPECT_EQ(be16(font, t.offset + 4), 1u);  // one signature
        EXPECT_EQ(be16(font, t.offset + 6), 1u);  // flags
        EXPECT_EQ(be32(font, t.offset + 8), 1u);  // format 1
        EXPECT_EQ(be32(font, t.offset + 12), 1009u);
        EXPECT_EQ(be32(font, t.offset + 16), 20u);
        EXPECT_EQ(be32(font, t.offset + 24), 1001u);
        std::vector<uint8_t> stored(font.begin() + t.offset + 28,
                                    font.begin() + t.offset + 28 + 1001);
        EXPECT_EQ(stored, signatureBlob(1001));
        // The DSIG data follows every table of the fixed order; only tables
        // outside that order (DejaVu has a few) come after it.
        for (const Table& other : tablesOf(font)) {
            bool listed = std::string(kOrder).find(other.tag) % 4 == 0;
            if (other.tag != "DSIG" && listed) {
                EXPECT_LT(other.offset, t.offset) << other.tag;
            }
            if (!listed) {
                EXPECT_GT(other.offset, t.offset) << other.tag;
            }
        }
    }
    EXPECT_EQ(dsigCount, 1);

    // fontTools agrees that every checksum and the whole-file adjustment hold.
    std::string check = "/usr/bin/python3 -c \"from fontTools.ttLib import TTFont; f=TTFont('" +
                        out +
                        "', checkChecksums=2); [f.reader[t] for t in f.reader.keys()]; "
                        "print(f['DSIG'].usNumSigs, f['DSIG'].signatureRecords[0].ulFormat)\"";
    std::string printed;
    ASSERT_EQ(testsupport::run(check, &printed), 0);
    EXPECT_EQ(printed, "1 1\n");
}

TEST_F(SignJobTest, ResigningAndSigningInPlaceSignTheSameImage) {
    std::string first = dir.file("first.ttf"), second = dir.file("second.ttf");
    RecordingSigner signer(signatureBlob(64));
    ASSERT_EQ(sign_job(testsupport::latinModernOtfPath().c_str(), first.c_str(), signer, options),
              0);
    ASSERT_EQ(sign_job(first.c_str(), second.c_str(), signer, options), 0);
    ASSERT_EQ(sign_job(second.c_str(), second.c_str(), signer, options), 0);
    ASSERT_EQ(signer.contents.size(), 3u);
    EXPECT_EQ(signer.contents[0], signer.contents[1]);
    EXPECT_EQ(signer.contents[0], signer.contents[2]);
    EXPECT_EQ(readFile(first), readFile(second));
    EXPECT_EQ(testsupport::listDir(dir.path()),
              (std::vector<std::string>{"first.ttf", "second.ttf"}));
}

TEST_F(SignJobTest, Md5SelectorReachesTheContent) {
    RecordingSigner signer(signatureBlob(16));
    options.useSha1 = 0;
    ASSERT_EQ(
        sign_job(testsupport::dejavuSansPath().c_str(), dir.file("o.ttf").c_str(), signer, options),
        0);
    EXPECT_EQ(signer.contents.at(0).size(), 80u);
}

TEST_F(SignJobTest, FailuresLeaveNoOutputAndKeepAnExistingOne) {
    std::string out = dir.file("out.ttf");
    RecordingSigner failing(signatureBlob(8), -1);
    EXPECT_EQ(sign_job(testsupport::dejavuSansPath().c_str(), out.c_str(), failing, options),
              FONTSEAL_E_SIGN);
    EXPECT_TRUE(testsupport::listDir(dir.path()).empty());

    RecordingSigner signer(signatureBlob(8));
    EXPECT_EQ(sign_job(dir.file("missing.ttf").c_str(), out.c_str(), signer, options),
              FONTSEAL_E_INPUT_OPEN);
    EXPECT_EQ(sign_job(testsupport::dejavuSansPath().c_str(), dir.file("no/dir/x.ttf").c_str(),
                       signer, options),
              FONTSEAL_E_OUTPUT_CREATE);
    EXPECT_TRUE(testsupport::listDir(dir.path()).empty());

    // A failed re-signing in place leaves the font as it was.
    testsupport::writeText(out, "not a font at all, but it is precious");
    EXPECT_EQ(sign_job(out.c_str(), out.c_str(), signer, options), FONTSEAL_E_FONT_DIRECTORY);
    std::vector<uint8_t> kept = readFile(out);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "not a font at all, but it is precious");
    EXPECT_EQ(testsupport::listDir(dir.path()), std::vector<std::string>{"out.ttf"});
}

TEST_F(SignJobTest, EveryOldDsigEntryIsDropped) {
    // A damaged font listing DSIG twice still ends with exactly one, the new one.
    std::vector<uint8_t> font = testsupport::buildSfnt({{"DSIG", {0, 0, 0, 1, 0, 0, 0, 0}},
                                                        {"DSIG", {0, 0, 0, 1, 0, 0, 0, 0}},
                                                        {"head", testsupport::sampleHead()}});
    std::string in = dir.file("twice.ttf"), out = dir.file("once.ttf"), bare = dir.file("bare.ttf");
    testsupport::writeFile(in, font);
    RecordingSigner signer(signatureBlob(12));
    ASSERT_EQ(sign_job(in.c_str(), out.c_str(), signer, options), 0);
    std::vector<std::string> tags;
    for (const Table& t : tablesOf(readFile(out))) tags.push_back(t.tag);
    EXPECT_EQ(tags, (std::vector<std::string>{"DSIG", "head"}));
    ASSERT_EQ(strip_font(in.c_str(), bare.c_str()), 0);
    EXPECT_EQ(tablesOf(readFile(bare)).size(), 1u);
}

TEST_F(SignJobTest, DamagedDirectoriesGiveMinusFive) {
    std::vector<uint8_t> font = readFile(testsupport::dejavuSansPath());
    font[4] = 0x01;  // 257 tables
    font[5] = 0x01;
    std::string bad = dir.file("bad.ttf");
    testsupport::writeFile(bad, font);
    RecordingSigner signer(signatureBlob(8));
    EXPECT_EQ(sign_job(bad.c_str(), dir.file("o.ttf").c_str(), signer, options),
              FONTSEAL_E_FONT_DIRECTORY);
    EXPECT_TRUE(signer.contents.empty());
    EXPECT_FALSE(testsupport::fileExists(dir.file("o.ttf")));
}

}  // namespace
}  // namespace fontseal

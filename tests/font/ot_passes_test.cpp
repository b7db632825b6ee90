// SPDX-License-Identifier: Apache-2.0
// The shared passes: what open_font keeps of a DSIG table, and the bytes the
// signed image and the written font consist of, checked against fonts laid
// out by the independent builder of the test support.
#include "font/ot_passes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sfnt_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::buildSfnt;
using testsupport::SfntTable;

std::vector<uint8_t> bytesOf(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 5);
    return v;
}

// A version-1 DSIG table with one format-1 signature, laid out by hand.
std::vector<uint8_t> dsigWith(const std::vector<uint8_t>& signature) {
    std::vector<uint8_t> t(28);
    const uint32_t n = static_cast<uint32_t>(signature.size());
    testsupport::putBe32(t, 0, 1);
    testsupport::putBe16(t, 4, 1);
    testsupport::putBe16(t, 6, 1);
    testsupport::putBe32(t, 8, 1);
    testsupport::putBe32(t, 12, n + 8);
    testsupport::putBe32(t, 16, 20);
    testsupport::putBe32(t, 24, n);
    t.insert(t.end(), signature.begin(), signature.end());
    return t;
}

class Collect : public OTChunkSink {
public:
    void put(const uint8_t* data, size_t count) override {
        bytes.insert(bytes.end(), data, data + count);
    }
    std::vector<uint8_t> bytes;
};

TEST(OTPasses, OpenKeepsTheFirstDsigAndEveryPassLeavesItOut) {
    const std::vector<SfntTable> plain = {
        {"head", testsupport::sampleHead()}, {"cmap", bytesOf(33, 2)}, {"zzzz", bytesOf(9, 4)}};
    const std::vector<uint8_t> signature = bytesOf(301, 7);
    std::vector<uint8_t> damaged = dsigWith(signature);
    testsupport::putBe32(damaged, 16, 0x7FFFFFF0);  // the block lies outside the table

    struct Case {
        const char* name;
        std::vector<SfntTable> dsigs;
        OTDsigState state;
    };
    const Case cases[] = {
        {"none", {}, OTDsigState::kAbsent},
        {"valid", {{"DSIG", dsigWith(signature)}}, OTDsigState::kParsed},
        {"damaged", {{"DSIG", damaged}}, OTDsigState::kDamaged},
        {"twice, the first valid",
         {{"DSIG", dsigWith(signature)}, {"DSIG", damaged}},
         OTDsigState::kParsed},
        {"twice, the first damaged",
         {{"DSIG", damaged}, {"DSIG", dsigWith(signature)}},
         OTDsigState::kDamaged},
    };
    // What every pass must produce: the font without DSIG, in the writer's
    // layout (which is the builder's for tables given in the order list).
    const std::vector<uint8_t> bare = buildSfnt(plain);
    std::vector<uint8_t> image = bare;
    image.push_back(0x00);
    image.push_back(0x01);

    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SfntTable> tables = plain;
        tables.insert(tables.begin() + 1, c.dsigs.begin(), c.dsigs.end());
        const std::string in = dir.file("in.ttf"), out = dir.file("out.ttf");
        testsupport::writeFile(in, buildSfnt(tables));

        OTSourceFont source = open_font(in.c_str());
        EXPECT_EQ(source.dsigState, c.state);
        EXPECT_EQ(source.font->findTable("DSIG"), -1);
        EXPECT_EQ(source.font->tableCount(), 3);
        if (c.state == OTDsigState::kParsed) {
            ASSERT_EQ(source.dsig->signatures.size(), 1u);
            const DsigSignature& s = source.dsig->signatures[0];
            EXPECT_EQ(std::vector<uint8_t>(s.bytes.get(), s.bytes.get() + s.length), signature);
        } else {
            EXPECT_EQ(source.dsig != nullptr, c.state == OTDsigState::kDamaged);
        }

        Collect sink;
        EXPECT_EQ(emit_signed_image(*source.font, sink), image.size());
        EXPECT_EQ(sink.bytes, image);
        write_font_file(*source.font, out.c_str());
        EXPECT_EQ(testsupport::readFile(out), bare);
    }
}

}  // namespace
}  // namespace fontseal

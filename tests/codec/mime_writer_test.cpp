// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/mime_base64_writer.h"
#include "support/base64_support.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

std::vector<std::string> allLines(MimeBase64Writer& writer) {
    std::vector<std::string> lines;
    while (const char* line = writer.nextLine()) {
        lines.emplace_back(line);
        if (lines.size() > 100000) break;
    }
    return lines;
}

std::vector<std::string> linesOf(const std::vector<uint8_t>& data, const char* name) {
    MimeBase64Writer writer(data.data(), static_cast<int>(data.size()), name);
    return allLines(writer);
}

// The request body as the time-stamping client sends it: bare base64 lines
// joined with CR LF.
std::string bodyOf(const std::vector<uint8_t>& data) {
    MimeBase64Writer writer(data.data(), static_cast<int>(data.size()), "");
    writer.setLineCount(3);
    std::string body;
    bool first = true;
    while (const char* line = writer.nextLine()) {
        if (!first) body += "\r\n";
        body += line;
        first = false;
    }
    return body;
}

const std::string kHeader = "Content-Type: image/png; charset=US-ASCII; name=";

TEST(MimeBase64Writer, HeaderLinesThenBase64) {
    using V = std::vector<std::string>;
    EXPECT_EQ(linesOf({0x4D, 0x61, 0x6E}, "ts"),
              (V{kHeader + "ts", "Content-transfer-encoding: base64", "", "TWFu"}));
    EXPECT_EQ(linesOf({0x4D}, "ts"),
              (V{kHeader + "ts", "Content-transfer-encoding: base64", "", "TQ=="}));
    EXPECT_EQ(linesOf({0x4D, 0x61}, "x"),
              (V{kHeader + "x", "Content-transfer-encoding: base64", "", "TWE="}));
    EXPECT_EQ(linesOf({}, "ts"), (V{kHeader + "ts", "Content-transfer-encoding: base64", ""}));
    EXPECT_EQ(linesOf({1, 2, 3}, nullptr)[0], kHeader + "default");
    EXPECT_EQ(linesOf({1, 2, 3}, "")[0], kHeader);
}

TEST(MimeBase64Writer, SeventyTwoCharacterLines) {
    std::vector<std::string> l54 = linesOf(std::vector<uint8_t>(54, 0xFF), "n");
    ASSERT_EQ(l54.size(), 4u);
    EXPECT_EQ(l54[3], std::string(72, '/'));
    std::vector<std::string> l55 = linesOf(std::vector<uint8_t>(55, 0xFF), "n");
    ASSERT_EQ(l55.size(), 5u);
    EXPECT_EQ(l55[3].size(), 72u);
    EXPECT_EQ(l55[4], "/w==");
    std::vector<std::string> l56 = linesOf(std::vector<uint8_t>(56, 0), "n");
    ASSERT_EQ(l56.size(), 5u);
    EXPECT_EQ(l56[4], "AAA=");
}

TEST(MimeBase64Writer, EndStaysEnded) {
    std::vector<uint8_t> data = {1, 2, 3, 4};
    MimeBase64Writer writer(data.data(), 4, "n");
    writer.setLineCount(3);
    EXPECT_STREQ(writer.nextLine(), "AQIDBA==");
    EXPECT_EQ(writer.lineCount(), 4);
    EXPECT_EQ(writer.nextLine(), nullptr);
    EXPECT_EQ(writer.nextLine(), nullptr);
    // No data at all, not even a pointer.
    MimeBase64Writer none(nullptr, 10, "n");
    none.setLineCount(3);
    EXPECT_EQ(none.nextLine(), nullptr);
}

TEST(MimeBase64Writer, LongNamesAreCutToFitTheLine) {
    std::string name(300, 'n');
    std::vector<std::string> lines = linesOf({1}, name.c_str());
    EXPECT_EQ(lines[0], kHeader + std::string(MimeBase64Writer::kMaxName, 'n'));
    EXPECT_EQ(lines[0].size(), 255u);
    EXPECT_EQ(lines[3], "AQ==");
}

TEST(MimeBase64Writer, MatchesPythonForManyLengths) {
    std::vector<std::vector<uint8_t>> blobs;
    for (size_t n : testsupport::base64TestLengths())
        blobs.push_back(testsupport::randomBytes(n, static_cast<uint32_t>(n) + 1000));
    for (const auto& r : testsupport::base64References(blobs))
        ASSERT_EQ(bodyOf(r.data), r.lines72) << "length " << r.data.size();
}

// Writers share their pending bits process-wide; lines always end on a byte
// boundary, so a writer abandoned half-way or run alternately with another
// must not disturb it.
TEST(MimeBase64Writer, AbandonedOrInterleavedWritersStayIndependent) {
    std::vector<uint8_t> a = testsupport::randomBytes(500, 1);
    std::vector<uint8_t> b = testsupport::randomBytes(301, 2);
    std::string expectedA = bodyOf(a), expectedB = bodyOf(b);
    {
        MimeBase64Writer abandoned(a.data(), static_cast<int>(a.size()), "");
        abandoned.setLineCount(3);
        abandoned.nextLine();
        abandoned.nextLine();
    }
    EXPECT_EQ(bodyOf(b), expectedB);
    MimeBase64Writer wa(a.data(), static_cast<int>(a.size()), "");
    MimeBase64Writer wb(b.data(), static_cast<int>(b.size()), "");
    wa.setLineCount(3);
    wb.setLineCount(3);
    std::string textA, textB;
    const char* la;
    const char* lb;
    do {
        la = wa.nextLine();
        if (la) textA += (textA.empty() ? "" : "\r\n") + std::string(la);
        lb = wb.nextLine();
        if (lb) textB += (textB.empty() ? "" : "\r\n") + std::string(lb);
    } while (la || lb);
    EXPECT_EQ(textA, expectedA);
    EXPECT_EQ(textB, expectedB);
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "font/ot_file_stream.h"
#include "font/ot_memory_stream.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

TEST(OTMemoryStream, SmallWriteThatDoesNotFitGrowsBy4096) {
    OTMemoryStream s(10);
    std::vector<uint8_t> bytes(12, 0xAB);
    ASSERT_EQ(s.write(bytes.data(), 12), 12);
    EXPECT_EQ(s.capacity(), 10 + 4096);
    EXPECT_EQ(s.size(), 12);
    EXPECT_EQ(s.tell(), 12);
}

TEST(OTMemoryStream, LargeWriteGrowsByItsOwnLength) {
    OTMemoryStream s(100);
    std::vector<uint8_t> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    s.seek(50, SeekOrigin::kBegin);
    ASSERT_EQ(s.write(bytes.data(), 5000), 5000);
    EXPECT_EQ(s.capacity(), 100 + 5000);
    EXPECT_EQ(s.size(), 5050);
    EXPECT_EQ(std::memcmp(s.buffer() + 50, bytes.data(), 5000), 0);
}

TEST(OTMemoryStream, SeekToSizeOfFullStreamAppends) {
    OTMemoryStream s(8);
    const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(s.write(eight, 8), 8);
    ASSERT_EQ(s.size(), s.capacity());
    s.seek(2, SeekOrigin::kBegin);
    EXPECT_EQ(s.seek(s.size(), SeekOrigin::kBegin), 8);
    const uint8_t tail[2] = {0x00, 0x01};
    ASSERT_EQ(s.write(tail, 2), 2);
    ASSERT_EQ(s.size(), 10);
    const uint8_t want[10] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 1};
    EXPECT_EQ(std::memcmp(s.buffer(), want, 10), 0);
}

TEST(OTMemoryStream, SeekClampsToCapacityAndGapReadsAsZero) {
    OTMemoryStream s(16);
    EXPECT_EQ(s.seek(-5, SeekOrigin::kBegin), 0);
    EXPECT_EQ(s.seek(1000, SeekOrigin::kBegin), 16);
    const uint8_t one = 0x7F;
    s.seek(6, SeekOrigin::kBegin);
    s.write(&one, 1);
    EXPECT_EQ(s.size(), 7);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s.buffer()[i], 0) << i;
    EXPECT_EQ(s.buffer()[6], 0x7F);
}

TEST(OTMemoryStream, ReadStopsAtSizeNotCapacity) {
    OTMemoryStream s(64);
    const uint8_t data[5] = {9, 8, 7, 6, 5};
    s.write(data, 5);
    s.seek(3, SeekOrigin::kBegin);
    uint8_t out[10] = {};
    EXPECT_EQ(s.read(out, 10), 2);
    EXPECT_EQ(out[0], 6);
    EXPECT_EQ(out[1], 5);
    EXPECT_EQ(s.read(out, 10), 0);
}

TEST(OTMemoryStream, ZeroCapacityStillGrows) {
    OTMemoryStream s(0);
    EXPECT_TRUE(s.isOk());
    const uint8_t b[3] = {1, 2, 3};
    EXPECT_EQ(s.write(b, 3), 3);
    EXPECT_EQ(s.size(), 3);
    EXPECT_TRUE(s.close());
}

TEST(OTFileStream, MissingFileIsNotOkAndTransfersNothing) {
    testsupport::TempDir dir;
    OTFileStream s(dir.file("absent.ttf").c_str(), OpenMode::kRead);
    EXPECT_FALSE(s.isOk());
    EXPECT_LT(s.errorCode(), 0);
    uint8_t b[4];
    EXPECT_EQ(s.read(b, 4), 0);
    EXPECT_EQ(s.write(b, 4), 0);
    EXPECT_EQ(s.seek(2, SeekOrigin::kBegin), 0);
}

TEST(OTFileStream, ReadsSeeksAndReportsSize) {
    testsupport::TempDir dir;
    std::string path = dir.file("f.bin");
    testsupport::writeFile(path, {10, 11, 12, 13, 14, 15});
    OTFileStream s(path.c_str(), OpenMode::kRead);
    ASSERT_TRUE(s.isOk());
    EXPECT_EQ(s.size(), 6);
    EXPECT_EQ(s.seek(4, SeekOrigin::kBegin), 4);
    uint8_t b[4] = {};
    EXPECT_EQ(s.read(b, 4), 2);
    EXPECT_EQ(b[0], 14);
    EXPECT_EQ(b[1], 15);
    EXPECT_EQ(s.tell(), 6);
    // Read-only: a write transfers nothing.
    EXPECT_LE(s.write(b, 2), 0);
    EXPECT_TRUE(s.close());
    EXPECT_EQ(s.read(b, 1), 0);
}

}  // namespace
}  // namespace fontseal

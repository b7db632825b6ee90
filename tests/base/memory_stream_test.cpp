// SPDX-License-Identifier: Apache-2.0
#include "base/memory_stream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::errorCodeOf;

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

TEST(MemoryStream, GrowsInWholeSteps) {
    MemoryStream one;
    EXPECT_EQ(one.size(), 0);
    uint8_t b = 0x5A;
    one.write(&b, 1);
    EXPECT_EQ(one.size(), 16384);
    EXPECT_EQ(one.position(), 1);
    EXPECT_EQ(one.data()[0], 0x5A);

    std::vector<uint8_t> big = pattern(16385);
    MemoryStream many;
    many.write(big.data(), 16385);
    EXPECT_EQ(many.size(), 32768);
    EXPECT_EQ(std::memcmp(many.data(), big.data(), big.size()), 0);

    // The step is counted from the current size, not from zero.
    MemoryStream sized(100, 10);
    std::vector<uint8_t> bytes = pattern(101);
    sized.write(bytes.data(), 101);
    EXPECT_EQ(sized.size(), 210);
    // Filling up exactly does not grow.
    MemoryStream exact(8, 10);
    exact.write(bytes.data(), 8);
    EXPECT_EQ(exact.size(), 8);
}

TEST(MemoryStream, WritesBackThenReads) {
    MemoryStream stream;
    std::vector<uint8_t> bytes = pattern(40000);
    for (size_t at = 0; at < bytes.size(); at += 999)
        stream.write(bytes.data() + at, static_cast<int>(std::min<size_t>(999, bytes.size() - at)));
    EXPECT_EQ(stream.position(), 40000);
    stream.setPosition(0);
    std::vector<uint8_t> back(40000);
    stream.read(back.data(), 40000);
    EXPECT_EQ(back, bytes);
}

TEST(MemoryStream, ReadPastTheEndChangesNothing) {
    std::vector<uint8_t> bytes = pattern(4);
    MemoryStream stream(bytes.data(), 4);
    uint8_t buf[8];
    EXPECT_EQ(errorCodeOf([&] { stream.read(buf, 5); }), kErrReadPastEnd);
    EXPECT_EQ(stream.position(), 0);
    stream.read(buf, 4);
    EXPECT_TRUE(stream.atEnd());
    EXPECT_EQ(stream.remaining(), 0);
    EXPECT_EQ(errorCodeOf([&] { stream.read(buf, 1); }), kErrReadPastEnd);
    EXPECT_EQ(errorCodeOf([&] { stream.read(buf, -1); }), kErrReadPastEnd);
    EXPECT_EQ(stream.position(), 4);
}

TEST(MemoryStream, FixedBlocksRefuseToGrow) {
    std::vector<uint8_t> bytes = pattern(4);
    MemoryStream borrowed(bytes.data(), 4);
    borrowed.setPosition(2);
    uint8_t more[3] = {1, 2, 3};
    EXPECT_EQ(errorCodeOf([&] { borrowed.write(more, 3); }), kErrBufferFull);
    EXPECT_EQ(borrowed.size(), 4);
    EXPECT_EQ(borrowed.position(), 2);
    EXPECT_EQ(bytes, pattern(4));

    MemoryStream fixed(4, 0);
    EXPECT_EQ(errorCodeOf([&] { fixed.write(more, 3); }), 0);
    EXPECT_EQ(errorCodeOf([&] { fixed.write(more, 3); }), kErrBufferFull);
    EXPECT_EQ(fixed.position(), 3);
    EXPECT_EQ(fixed.size(), 4);
}

TEST(MemoryStream, WritePastAPositionBeyondTheSizeGrowsFarEnough) {
    MemoryStream stream;
    stream.setPosition(20000);
    uint8_t b = 9;
    stream.write(&b, 1);
    EXPECT_GE(stream.size(), 20001);
    EXPECT_EQ(stream.size() % 16384, 0);
    EXPECT_EQ(stream.data()[20000], 9);
}

TEST(MemoryStream, NegativePositionsAreRefused) {
    std::vector<uint8_t> bytes = pattern(8);
    MemoryStream stream(8);
    stream.setPosition(-4);
    uint8_t buf[2];
    EXPECT_EQ(errorCodeOf([&] { stream.read(buf, 2); }), kErrReadPastEnd);
    EXPECT_EQ(errorCodeOf([&] { stream.write(bytes.data(), 2); }), kErrBufferFull);
    EXPECT_EQ(stream.size(), 8);
}

TEST(MemoryStream, DetachAndReset) {
    std::vector<uint8_t> bytes = pattern(4);
    MemoryStream borrowed(bytes.data(), 4);
    EXPECT_EQ(borrowed.detach(), nullptr);
    EXPECT_EQ(borrowed.data(), bytes.data());
    EXPECT_EQ(borrowed.size(), 4);

    MemoryStream owned;
    owned.write(bytes.data(), 4);
    uint8_t* block = owned.detach();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, bytes.data(), 4), 0);
    std::free(block);
    EXPECT_EQ(owned.data(), nullptr);
    EXPECT_EQ(owned.size(), 0);
    EXPECT_EQ(owned.position(), 0);
    owned.write(bytes.data(), 1);
    EXPECT_EQ(owned.size(), 16384);

    // Resetting a borrowed stream leaves the borrowed bytes alone and owns
    // a copy from then on, which may grow.
    uint8_t onStack[4] = {1, 2, 3, 4};
    MemoryStream stream(onStack, 4);
    stream.reset(3, bytes.data());
    EXPECT_FALSE(stream.borrowed());
    EXPECT_NE(stream.data(), onStack);
    EXPECT_EQ(stream.size(), 3);
    EXPECT_EQ(stream.position(), 0);
    EXPECT_EQ(std::memcmp(stream.data(), bytes.data(), 3), 0);
    stream.setPosition(3);
    stream.write(bytes.data(), 2);
    EXPECT_EQ(stream.size(), 16384);
    EXPECT_EQ(std::memcmp(stream.data(), bytes.data(), 3), 0);
    EXPECT_EQ(std::memcmp(stream.data() + 3, bytes.data(), 2), 0);
    EXPECT_EQ(onStack[0], 1);
    stream.reset(0);
    EXPECT_EQ(stream.data(), nullptr);
    EXPECT_TRUE(stream.atEnd());
}

}  // namespace
}  // namespace fontseal

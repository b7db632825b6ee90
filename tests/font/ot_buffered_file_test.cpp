// SPDX-License-Identifier: Apache-2.0
#include "font/ot_buffered_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace fontseal {
namespace {

constexpr OpenMode kFlags = OpenMode::kCreateReadWrite;

// A plain model of the file: what every byte should be after the writes.
struct Model {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    void write(const std::vector<uint8_t>& data) {
        if (bytes.size() < pos + data.size()) bytes.resize(pos + data.size());
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<long>(pos));
        pos += data.size();
    }
    size_t seek(long target) {
        pos = static_cast<size_t>(std::clamp<long>(target, 0, static_cast<long>(bytes.size())));
        return pos;
    }
};

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>((i * 31 + seed * 17 + (i >> 8)) & 0xFF);
    return v;
}

void writeBoth(OTBufferedFile& f, Model& m, const std::vector<uint8_t>& data) {
    ASSERT_EQ(f.write(data.data(), static_cast<int32_t>(data.size())),
              static_cast<int32_t>(data.size()));
    m.write(data);
    ASSERT_EQ(f.tell(), static_cast<int32_t>(m.pos));
}

void seekBoth(OTBufferedFile& f, Model& m, long target) {
    size_t want = m.seek(target);
    ASSERT_EQ(f.seek(static_cast<int32_t>(target), SeekOrigin::kBegin), static_cast<int32_t>(want));
    ASSERT_EQ(f.tell(), static_cast<int32_t>(want));
}

TEST(OTBufferedFile, SmallWritesPastTheWindowThenRewritesAtStartAndMiddle) {
    testsupport::TempDir dir;
    std::string path = dir.file("out.bin");
    Model m;
    {
        OTBufferedFile f(path.c_str(), kFlags);
        ASSERT_TRUE(f.isOk());
        // 100 KiB in writes of 1 to 4096 bytes, the sizes the font writer uses.
        for (uint32_t i = 0; m.bytes.size() < 100 * 1024; ++i) {
            writeBoth(f, m, pattern(1 + (i * 613) % 4096, i));
        }
        EXPECT_EQ(f.size(), static_cast<int32_t>(m.bytes.size()));
        seekBoth(f, m, 0);
        writeBoth(f, m, pattern(300, 1000));
        seekBoth(f, m, 70000);
        writeBoth(f, m, {0xDE, 0xAD, 0xBE, 0xEF});
        seekBoth(f, m, 12);
        writeBoth(f, m, {1, 2, 3, 4});
        ASSERT_TRUE(f.close());
    }
    EXPECT_EQ(testsupport::readFile(path), m.bytes);
}

TEST(OTBufferedFile, SeekBeyondKnownSizeStopsThere) {
    testsupport::TempDir dir;
    std::string path = dir.file("out.bin");
    OTBufferedFile f(path.c_str(), kFlags);
    std::vector<uint8_t> data = pattern(1000, 3);
    f.write(data.data(), 1000);
    EXPECT_EQ(f.seek(5000, SeekOrigin::kBegin), 1000);
    EXPECT_EQ(f.seek(-3, SeekOrigin::kBegin), 0);
    EXPECT_EQ(f.seek(10, SeekOrigin::kEnd), 1000);
    const uint8_t tail[2] = {7, 7};
    f.write(tail, 2);
    ASSERT_TRUE(f.close());
    data.push_back(7);
    data.push_back(7);
    EXPECT_EQ(testsupport::readFile(path), data);
}

TEST(OTBufferedFile, ExistingBytesAroundARewriteSurvive) {
    testsupport::TempDir dir;
    std::string path = dir.file("existing.bin");
    std::vector<uint8_t> before = pattern(200000, 9);
    testsupport::writeFile(path, before);
    {
        // Read-write without truncation: the window is filled from the file.
        OTBufferedFile f(path.c_str(), OpenMode::kReadWrite);
        ASSERT_TRUE(f.isOk());
        EXPECT_EQ(f.size(), 200000);
        EXPECT_EQ(f.seek(150000, SeekOrigin::kBegin), 150000);
        const uint8_t four[4] = {1, 2, 3, 4};
        f.write(four, 4);
        std::copy(four, four + 4, before.begin() + 150000);
        uint8_t back[8];
        EXPECT_EQ(f.seek(149998, SeekOrigin::kBegin), 149998);
        EXPECT_EQ(f.read(back, 8), 8);
        EXPECT_TRUE(std::equal(back, back + 8, before.begin() + 149998));
        ASSERT_TRUE(f.close());
    }
    EXPECT_EQ(testsupport::readFile(path), before);
}

// Bytes changed behind the stream's back show which seeks keep the window
// and which reload it: a target in the last 512 valid bytes reloads.
TEST(OTBufferedFile, SeekKeepsTheWindowUpTo512BytesBeforeItsEnd) {
    testsupport::TempDir dir;
    std::string path = dir.file("margin.bin");
    std::vector<uint8_t> original = pattern(200000, 5);
    testsupport::writeFile(path, original);
    OTBufferedFile f(path.c_str(), OpenMode::kReadWrite);
    ASSERT_TRUE(f.isOk());
    std::vector<uint8_t> changed = original;
    for (size_t at : {1000, 65024, 65025}) changed[at] = static_cast<uint8_t>(~original[at]);
    testsupport::writeFile(path, changed);

    uint8_t b = 0;
    EXPECT_EQ(f.seek(1000, SeekOrigin::kBegin), 1000);
    ASSERT_EQ(f.read(&b, 1), 1);
    EXPECT_EQ(b, original[1000]);
    EXPECT_EQ(f.seek(65024, SeekOrigin::kBegin), 65024);
    ASSERT_EQ(f.read(&b, 1), 1);
    EXPECT_EQ(b, original[65024]);
    EXPECT_EQ(f.seek(65025, SeekOrigin::kBegin), 65025);
    ASSERT_EQ(f.read(&b, 1), 1);
    EXPECT_EQ(b, changed[65025]);
    EXPECT_TRUE(f.close());
}

TEST(OTBufferedFile, DirectWriteLargerThanTheWindowKeepsLaterWritesCorrect) {
    testsupport::TempDir dir;
    std::string path = dir.file("big.bin");
    Model m;
    OTBufferedFile f(path.c_str(), kFlags);
    writeBoth(f, m, pattern(70000, 1));
    seekBoth(f, m, 100);
    // Covers bytes the window holds; the window must not write them back stale.
    writeBoth(f, m, pattern(90000, 2));
    writeBoth(f, m, pattern(10, 3));
    seekBoth(f, m, 200);
    writeBoth(f, m, pattern(20, 4));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(testsupport::readFile(path), m.bytes);
}

TEST(OTBufferedFile, FailedOpenAndClosedFile) {
    testsupport::TempDir dir;
    OTBufferedFile bad(dir.file("no/such/dir/out.bin").c_str(), kFlags);
    EXPECT_FALSE(bad.isOk());
    EXPECT_EQ(bad.errorCode(), 1);
    const uint8_t b[1] = {1};
    EXPECT_EQ(bad.write(b, 1), 0);
    EXPECT_FALSE(bad.close());

    OTBufferedFile f(dir.file("ok.bin").c_str(), kFlags);
    f.write(b, 1);
    EXPECT_TRUE(f.close());
    EXPECT_EQ(f.write(b, 1), 0);
    EXPECT_EQ(f.tell(), 0);
    EXPECT_EQ(f.size(), 0);
}

TEST(OTBufferedFile, CloseReportsAFailedFinalFlush) {
    if (!testsupport::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Writes into the window succeed; the flush at close cannot.
    OTBufferedFile f("/dev/full", OpenMode::kWriteOnly);
    ASSERT_TRUE(f.isOk());
    const uint8_t b[16] = {};
    EXPECT_EQ(f.write(b, 16), 16);
    EXPECT_FALSE(f.close());
    EXPECT_FALSE(f.isOk());
}

TEST(OTBufferedFile, WriteOnlyFileHoldsWhatWasWritten) {
    testsupport::TempDir dir;
    std::string path = dir.file("wo.bin");
    Model m;
    OTBufferedFile f(path.c_str(), OpenMode::kCreateWriteOnly);
    ASSERT_TRUE(f.isOk());
    for (uint32_t i = 0; i < 40; ++i) writeBoth(f, m, pattern(3000 + i, i));
    seekBoth(f, m, 10);
    writeBoth(f, m, pattern(8, 77));
    seekBoth(f, m, 100000);
    writeBoth(f, m, pattern(4, 78));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(testsupport::readFile(path), m.bytes);
}

// Random writes (sizes around the window and the margin) and seeks, against
// the plain model, with the file read back after close.
TEST(OTBufferedFile, RandomWritesAndSeeksMatchAModel) {
    testsupport::TempDir dir;
    std::mt19937 rng(20261208);
    for (int round = 0; round < 12; ++round) {
        std::string path = dir.file("r" + std::to_string(round) + ".bin");
        Model m;
        OTBufferedFile f(path.c_str(), kFlags);
        ASSERT_TRUE(f.isOk());
        for (int op = 0; op < 400; ++op) {
            uint32_t kind = rng() % 10;
            if (kind < 6) {
                static const size_t sizes[] = {1,   2,    4,     54,    511,  512,
                                               513, 4096, 65535, 65536, 65537};
                size_t n = rng() % 3 == 0 ? sizes[rng() % 11] : 1 + rng() % 5000;
                writeBoth(f, m, pattern(n, rng()));
            } else if (kind < 9) {
                long target = static_cast<long>(rng() % (m.bytes.size() + 2000)) - 500;
                seekBoth(f, m, target);
            } else {
                // Read back through the stream where the model has bytes.
                size_t n = 1 + rng() % 3000;
                std::vector<uint8_t> got(n);
                int32_t r = f.read(got.data(), static_cast<int32_t>(n));
                size_t avail = std::min(n, m.bytes.size() - m.pos);
                ASSERT_LE(static_cast<size_t>(r), avail);
                ASSERT_TRUE(std::equal(got.begin(), got.begin() + r,
                                       m.bytes.begin() + static_cast<long>(m.pos)));
                m.pos += static_cast<size_t>(r);
                ASSERT_EQ(f.tell(), static_cast<int32_t>(m.pos));
            }
            if (HasFatalFailure()) return;
        }
        ASSERT_EQ(f.size(), static_cast<int32_t>(m.bytes.size()));
        ASSERT_TRUE(f.close());
        ASSERT_EQ(testsupport::readFile(path), m.bytes) << "round " << round;
    }
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "platform/file_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::errorCodeOf;

TEST(FileSource, MissingFilesAndDirectoriesCannotBeOpened) {
    testsupport::TempDir dir;
    EXPECT_EQ(errorCodeOf([&] { FileSource f(dir.file("missing").c_str()); }), kErrCannotOpen);
    EXPECT_EQ(errorCodeOf([&] { FileSource f(dir.path().c_str()); }), kErrCannotOpen);
    FileSource closed;
    EXPECT_FALSE(closed.isOpen());
    EXPECT_EQ(errorCodeOf([&] { closed.open(nullptr); }), kErrCannotOpen);
}

TEST(FileSource, ReadsExactlyOrRaises) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("four"), {1, 2, 3, 4});
    FileSource f(dir.file("four").c_str());
    EXPECT_TRUE(f.isOpen());
    EXPECT_EQ(f.size(), 4);
    EXPECT_EQ(f.remaining(), 4);
    EXPECT_FALSE(f.atEnd());
    uint8_t buf[10];
    f.read(buf, 3);
    EXPECT_EQ(buf[2], 3);
    EXPECT_EQ(f.remaining(), 1);
    EXPECT_EQ(f.position(), 3);
    f.read(buf, 1);
    EXPECT_EQ(buf[0], 4);
    EXPECT_TRUE(f.atEnd());
    EXPECT_EQ(f.remaining(), 0);
    EXPECT_EQ(errorCodeOf([&] { f.read(buf, 1); }), kErrShortTransfer);

    FileSource g(dir.file("four").c_str());
    EXPECT_EQ(errorCodeOf([&] { g.read(buf, 10); }), kErrShortTransfer);
    // The file is opened for reading only.
    FileSource h(dir.file("four").c_str());
    EXPECT_EQ(errorCodeOf([&] { h.write(buf, 1); }), kErrShortTransfer);
    EXPECT_EQ(testsupport::readFile(dir.file("four")), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(FileSource, EmptyFileIsAtItsEnd) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("empty"), {});
    FileSource f(dir.file("empty").c_str());
    EXPECT_TRUE(f.atEnd());
    EXPECT_EQ(f.remaining(), 0);
    uint8_t b;
    EXPECT_EQ(errorCodeOf([&] { f.read(&b, 0); }), 0);
    EXPECT_EQ(errorCodeOf([&] { f.read(&b, 1); }), kErrShortTransfer);
}

TEST(FileSource, ReopeningStartsAgain) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("a"), {1, 2, 3});
    testsupport::writeFile(dir.file("b"), {9, 8});
    FileSource f(dir.file("a").c_str());
    uint8_t buf[3];
    f.read(buf, 2);
    f.open(dir.file("b").c_str());
    EXPECT_EQ(f.size(), 2);
    EXPECT_EQ(f.position(), 0);
    f.read(buf, 2);
    EXPECT_EQ(buf[0], 9);
    f.close();
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(errorCodeOf([&] { f.read(buf, 1); }), kErrShortTransfer);
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "platform/rt_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/rt_crt.h"
#include "support/test_support.h"

namespace fontseal {
namespace {

mode_t permissions(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 07777;
    return st.st_mode & 0777;
}

// Sets a known umask for the scope, so created permissions are predictable.
class Umask {
public:
    explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
    ~Umask() { ::umask(saved_); }

private:
    mode_t saved_;
};

TEST(RtOpen, CreateTruncateReadWriteWithOwnerPermissions) {
    Umask mask(022);
    testsupport::TempDir dir;
    std::string path = dir.file("out");
    int h = rt_open(path.c_str(), OpenMode::kCreateReadWrite);
    ASSERT_GE(h, 0);
    EXPECT_EQ(permissions(path), 0600u);
    EXPECT_EQ(rt_write(h, "abcdef", 6), 6);
    EXPECT_EQ(rt_tell(h), 6);
    EXPECT_EQ(rt_lseek(h, 1, SeekOrigin::kBegin), 1);
    char buf[8] = {};
    EXPECT_EQ(rt_read(h, buf, 8), 5);
    EXPECT_EQ(std::string(buf, 5), "bcdef");
    EXPECT_EQ(rt_read(h, buf, 8), 0);
    EXPECT_EQ(rt_lseek(h, -2, SeekOrigin::kEnd), 4);
    EXPECT_EQ(rt_lseek(h, 1, SeekOrigin::kCurrent), 5);
    EXPECT_EQ(rt_filelength(h), 6);
    EXPECT_EQ(rt_fstat_size(h), 6);
    EXPECT_EQ(rt_close(h), 0);

    // Opening again with the same flags truncates.
    h = rt_open(path.c_str(), OpenMode::kCreateReadWrite);
    ASSERT_GE(h, 0);
    EXPECT_EQ(rt_filelength(h), 0);
    EXPECT_EQ(rt_close(h), 0);

    // Read permission alone gives a read-only file.
    std::string readOnly = dir.file("ro");
    h = rt_open(readOnly.c_str(), RT_O_BINARY | RT_O_WRONLY | RT_O_CREAT, RT_S_IREAD);
    ASSERT_GE(h, 0);
    EXPECT_EQ(permissions(readOnly), 0400u);
    EXPECT_EQ(rt_close(h), 0);
}

TEST(RtOpen, BinaryAloneIsReadOnly) {
    testsupport::TempDir dir;
    std::string path = dir.file("in");
    testsupport::writeText(path, "xyz");
    int h = rt_open(path.c_str(), OpenMode::kRead);
    ASSERT_GE(h, 0);
    EXPECT_EQ(rt_write(h, "q", 1), -1);
    char buf[3];
    EXPECT_EQ(rt_read(h, buf, 3), 3);
    EXPECT_EQ(rt_close(h), 0);
    EXPECT_EQ(testsupport::readFile(path), (std::vector<uint8_t>{'x', 'y', 'z'}));
    // Without the create flag a missing file is not made.
    EXPECT_EQ(rt_open(dir.file("none").c_str(), RT_O_BINARY | RT_O_RDWR, 0x180), -1);
    EXPECT_FALSE(testsupport::fileExists(dir.file("none")));
}

TEST(RtOpen, AppendExclusiveAndKeep) {
    testsupport::TempDir dir;
    std::string path = dir.file("f");
    testsupport::writeText(path, "abc");
    EXPECT_EQ(rt_open(path.c_str(), RT_O_BINARY | RT_O_RDWR | RT_O_CREAT | RT_O_EXCL, 0x180), -1);
    int h = rt_open(path.c_str(), RT_O_BINARY | RT_O_WRONLY | RT_O_APPEND, 0);
    ASSERT_GE(h, 0);
    rt_lseek(h, 0, SeekOrigin::kBegin);
    EXPECT_EQ(rt_write(h, "de", 2), 2);
    EXPECT_EQ(rt_close(h), 0);
    // Without the truncate flag the content stays.
    h = rt_open(path.c_str(), RT_O_BINARY | RT_O_RDWR | RT_O_CREAT, 0x180);
    ASSERT_GE(h, 0);
    EXPECT_EQ(rt_filelength(h), 5);
    EXPECT_EQ(rt_close(h), 0);
    EXPECT_EQ(testsupport::readFile(path), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
}

TEST(RtOpen, DirectoriesAndBadHandlesFail) {
    testsupport::TempDir dir;
    EXPECT_EQ(rt_open(dir.path().c_str(), RT_O_BINARY | RT_O_RDONLY, 0), -1);
    EXPECT_EQ(rt_open(nullptr, RT_O_BINARY, 0), -1);
    char buf[1];
    EXPECT_EQ(rt_read(-1, buf, 1), -1);
    EXPECT_EQ(rt_write(-1, buf, 1), -1);
    EXPECT_EQ(rt_lseek(-1, 0, SeekOrigin::kBegin), -1);
    EXPECT_EQ(rt_filelength(-1), -1);
    EXPECT_EQ(rt_close(-1), -1);
}

}  // namespace
}  // namespace fontseal

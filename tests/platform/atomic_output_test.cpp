// SPDX-License-Identifier: Apache-2.0
// Output files that appear only when complete, and never at the cost of a
// file the library did not make.
#include "platform/atomic_output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace fontseal {
namespace {

using testsupport::TempDir;

std::string readText(const std::string& path) {
    std::vector<uint8_t> b = testsupport::readFile(path);
    return std::string(b.begin(), b.end());
}

void writeThrough(const AtomicOutput& out, const std::string& text) {
    testsupport::writeText(out.tempPath(), text);
}

TEST(AtomicOutput, AppearsOnlyOnCommitAndCleansUpOtherwise) {
    TempDir dir;
    std::string dest = dir.file("font.ttf");
    {
        AtomicOutput out(dest.c_str());
        ASSERT_TRUE(out.create());
        writeThrough(out, "half");
        EXPECT_FALSE(testsupport::fileExists(dest));
    }
    EXPECT_TRUE(testsupport::listDir(dir.path()).empty());
    {
        AtomicOutput out(dest.c_str());
        ASSERT_TRUE(out.create());
        writeThrough(out, "whole");
        ASSERT_TRUE(out.commit());
    }
    EXPECT_EQ(readText(dest), "whole");
    EXPECT_EQ(testsupport::listDir(dir.path()), std::vector<std::string>{"font.ttf"});

    AtomicOutput nowhere(dir.file("missing/font.ttf").c_str());
    EXPECT_FALSE(nowhere.create());
    AtomicOutput directory((dir.path() + "/").c_str());
    EXPECT_FALSE(directory.create());
}

TEST(AtomicOutput, NeverTakesOverOrRemovesSomeoneElsesFile) {
    TempDir dir;
    std::string dest = dir.file("f.ttf");
    AtomicOutput first(dest.c_str());
    ASSERT_TRUE(first.create());
    // Names are numbered; put a stranger's file where the next one would go.
    std::string taken = first.tempPath();
    size_t dash = taken.rfind('-');
    unsigned next = static_cast<unsigned>(std::stoul(taken.substr(dash + 1))) + 1;
    std::string stranger = taken.substr(0, dash + 1) + std::to_string(next) + ".tmp";
    testsupport::writeText(stranger, "not yours");
    {
        AtomicOutput second(dest.c_str());
        ASSERT_TRUE(second.create());
        EXPECT_NE(std::string(second.tempPath()), stranger);
    }
    EXPECT_EQ(readText(stranger), "not yours");
}

TEST(AtomicOutput, KeepsModeAndReplacesThroughSymbolicLinks) {
    TempDir dir;
    std::string target = dir.file("real.ttf"), link = dir.file("link.ttf");
    testsupport::writeText(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    AtomicOutput out(link.c_str());
    ASSERT_TRUE(out.create());
    writeThrough(out, "new");
    ASSERT_TRUE(out.commit());

    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readText(target), "new");
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // A new file gets owner read and write only.
    std::string fresh = dir.file("fresh.ttf");
    AtomicOutput created(fresh.c_str());
    ASSERT_TRUE(created.create());
    ASSERT_TRUE(created.commit());
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace fontseal

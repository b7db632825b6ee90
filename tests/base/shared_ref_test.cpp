// SPDX-License-Identifier: Apache-2.0
#include "base/shared_ref.h"

#include <gtest/gtest.h>

#include <utility>

namespace fontseal {
namespace {

struct Counted {
    static int deletions;
    int value;
    explicit Counted(int v) : value(v) {}
    ~Counted() { ++deletions; }
};
int Counted::deletions = 0;

class SharedRefTest : public ::testing::Test {
protected:
    void SetUp() override { Counted::deletions = 0; }
};

TEST_F(SharedRefTest, TwoReferencesKeepTheObjectAlive) {
    {
        SharedRef<Counted> a(new Counted(7));
        EXPECT_EQ(a.useCount(), 1);
        {
            SharedRef<Counted> b = a;
            EXPECT_EQ(a.useCount(), 2);
            EXPECT_EQ(b.get(), a.get());
            a.release();
            EXPECT_EQ(a.get(), nullptr);
            EXPECT_EQ(a.useCount(), 0);
            EXPECT_EQ(Counted::deletions, 0);
            EXPECT_EQ(b->value, 7);
            a = b;
        }
        EXPECT_EQ(Counted::deletions, 0);
        EXPECT_EQ(a.useCount(), 1);
    }
    EXPECT_EQ(Counted::deletions, 1);
}

TEST_F(SharedRefTest, ResetAndAssignReleaseTheOldObject) {
    SharedRef<Counted> a(new Counted(1));
    a.reset(new Counted(2));
    EXPECT_EQ(Counted::deletions, 1);
    EXPECT_EQ(a->value, 2);
    SharedRef<Counted> b(new Counted(3));
    b.assign(a);
    EXPECT_EQ(Counted::deletions, 2);
    EXPECT_EQ(a.useCount(), 2);
    a.reset(nullptr);
    EXPECT_FALSE(a);
    EXPECT_EQ(b.useCount(), 1);
    b.release();
    b.release();
    EXPECT_EQ(Counted::deletions, 3);
}

TEST_F(SharedRefTest, SelfAssignmentKeepsTheObject) {
    SharedRef<Counted> a(new Counted(1));
    SharedRef<Counted>& same = a;
    a = same;
    a.assign(same);
    EXPECT_EQ(a.useCount(), 1);
    a = std::move(same);
    EXPECT_EQ(a.useCount(), 1);
    EXPECT_EQ(a->value, 1);
    EXPECT_EQ(Counted::deletions, 0);
    SharedRef<Counted> b = a;
    a = b;
    EXPECT_EQ(a.useCount(), 2);
}

TEST_F(SharedRefTest, MoveTransfersWithoutCounting) {
    SharedRef<Counted> a(new Counted(1));
    SharedRef<Counted> b(std::move(a));
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(b.useCount(), 1);
    SharedRef<Counted> c(new Counted(2));
    c = std::move(b);
    EXPECT_EQ(Counted::deletions, 1);
    EXPECT_EQ(c->value, 1);
    EXPECT_EQ(b.get(), nullptr);
    c = SharedRef<Counted>();
    EXPECT_EQ(Counted::deletions, 2);
}

TEST_F(SharedRefTest, BorrowedNeverDeletes) {
    Counted onStack(5);
    {
        SharedRef<Counted> a = SharedRef<Counted>::borrowed(&onStack);
        SharedRef<Counted> b = a;
        EXPECT_EQ(b.useCount(), 2);
        EXPECT_EQ(b.get(), &onStack);
    }
    EXPECT_EQ(Counted::deletions, 0);
    EXPECT_EQ(SharedRef<Counted>::borrowed(nullptr).useCount(), 0);
}

}  // namespace
}  // namespace fontseal

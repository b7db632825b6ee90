// SPDX-License-Identifier: Apache-2.0
#include "base/grow_array.h"

#include <gtest/gtest.h>

#include "base/shared_ref.h"

namespace fontseal {
namespace {

// Counts live objects, so leaks and double destruction both show.
struct Probe {
    static int alive;
    static int deleted;
    int value;
    explicit Probe(int v = 0) : value(v) { ++alive; }
    ~Probe() {
        --alive;
        ++deleted;
    }
};
int Probe::alive = 0;
int Probe::deleted = 0;

// An element whose every construction must be matched by a destruction,
// moved-from copies included.
struct Tracked {
    static int alive;
    int value = 0;
    Tracked() { ++alive; }
    Tracked(Tracked&& other) noexcept : value(other.value) { ++alive; }
    Tracked& operator=(Tracked&& other) noexcept {
        value = other.value;
        return *this;
    }
    ~Tracked() { --alive; }
};
int Tracked::alive = 0;

class GrowArrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        Probe::alive = Probe::deleted = 0;
        Tracked::alive = 0;
    }
    void TearDown() override {
        EXPECT_EQ(Probe::alive, 0);
        EXPECT_EQ(Tracked::alive, 0);
    }
};

template <class F>
int thrownInt(F&& f) {
    try {
        f();
    } catch (int code) {
        return code;
    }
    return 0;
}

TEST_F(GrowArrayTest, BadIndexesThrowUnderTheDefaultFlags) {
    GrowArray<int> a;
    EXPECT_EQ(a.flags(), 0xDF);
    EXPECT_EQ(thrownInt([&] { a.last(); }), kIndexFault);
    EXPECT_EQ(thrownInt([&] { a.pop(); }), kIndexFault);
    a.setCount(3);
    EXPECT_EQ(a.at(0), 0);
    EXPECT_EQ(a.at(2), 0);
    EXPECT_EQ(thrownInt([&] { a.at(-1); }), kIndexFault);
    EXPECT_EQ(thrownInt([&] { a.at(3); }), kIndexFault);
    EXPECT_EQ(thrownInt([&] { a[3]; }), kIndexFault);
    // Indexing never grows an array under 0xDF.
    EXPECT_EQ(a.count(), 3);
    const GrowArray<int>& c = a;
    EXPECT_EQ(thrownInt([&] { c.at(7); }), kIndexFault);
}

TEST_F(GrowArrayTest, WithoutThrowFlagBadIndexesYieldTheSharedEmptyElement) {
    GrowArray<SharedRef<Probe>> a(16, 0x9F);
    SharedRef<Probe> p(new Probe(1));
    a.append() = p;
    SharedRef<Probe>& empty = a.at(-1);
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_EQ(&a.at(5), &empty);
    // Whatever was stored in it is gone by the next bad index.
    empty = p;
    EXPECT_EQ(a.at(1).get(), nullptr);
    EXPECT_EQ(p.useCount(), 2);
    a.pop();
    a.pop();
    EXPECT_EQ(a.count(), 0);
    EXPECT_EQ(a.last().get(), nullptr);
}

TEST_F(GrowArrayTest, GrowOnIndexFlag) {
    GrowArray<int> a(4, 0xFF);
    a.at(5) = 42;
    EXPECT_EQ(a.count(), 6);
    EXPECT_EQ(a.at(5), 42);
    EXPECT_EQ(a.at(4), 0);
    EXPECT_EQ(thrownInt([&] { a.at(-1); }), kIndexFault);
}

TEST_F(GrowArrayTest, CapacityFollowsTheGrowthRule) {
    GrowArray<int> a;
    a.append() = 1;
    EXPECT_EQ(a.capacity(), 16);
    for (int i = 2; i <= 16; ++i) a.append() = i;
    EXPECT_EQ(a.capacity(), 16);
    a.append() = 17;
    EXPECT_EQ(a.capacity(), 32);
    a.setCount(100);
    EXPECT_EQ(a.capacity(), 115);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(a[i], i + 1);
    EXPECT_EQ(a[99], 0);
    // Shrinking reallocates to count + growth once far enough below.
    a.setCount(99);
    EXPECT_EQ(a.capacity(), 115);
    a.setCount(10);
    EXPECT_EQ(a.capacity(), 26);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(a[i], i + 1);
    a.setCount(-5);
    EXPECT_EQ(a.count(), 0);
    EXPECT_EQ(a.capacity(), 16);

    GrowArray<int> keep(16, 0x5F);
    keep.setCount(100);
    keep.setCount(1);
    EXPECT_EQ(keep.capacity(), 115);

    GrowArray<int> exact;
    exact.setCountExact(3);
    EXPECT_EQ(exact.capacity(), 3);
    exact.setCountExact(7);
    EXPECT_EQ(exact.capacity(), 7);
    exact[6] = 6;
    exact.setCountExact(1);
    EXPECT_EQ(exact.capacity(), 1);
    exact.setCountExact(0);
    EXPECT_EQ(exact.capacity(), 0);
    EXPECT_EQ(exact.begin(), exact.end());
}

TEST_F(GrowArrayTest, SharedRefElementsAreReleasedOnShrinkAndKeptOnGrowth) {
    {
        GrowArray<SharedRef<Probe>> a;
        for (int i = 0; i < 40; ++i) a.append().reset(new Probe(i));
        EXPECT_EQ(Probe::alive, 40);
        // Reallocation moves the references: nothing is deleted or shared.
        for (int i = 0; i < 40; ++i) {
            EXPECT_EQ(a[i]->value, i);
            EXPECT_EQ(a[i].useCount(), 1);
        }
        SharedRef<Probe> kept = a[35];
        a.setCount(5);
        EXPECT_EQ(Probe::alive, 6);
        EXPECT_EQ(Probe::deleted, 34);
        EXPECT_EQ(kept.useCount(), 1);
        a.pop();
        EXPECT_EQ(Probe::alive, 5);
        a.setCountExact(2);
        EXPECT_EQ(Probe::alive, 3);
        EXPECT_EQ(a[1]->value, 1);
    }
    EXPECT_EQ(Probe::deleted, 40);
}

TEST_F(GrowArrayTest, EveryElementConstructedIsDestroyed) {
    {
        GrowArray<Tracked> a(3);
        for (int i = 0; i < 50; ++i) a.append().value = i;
        EXPECT_EQ(Tracked::alive, 50);
        a.setCount(7);
        EXPECT_EQ(Tracked::alive, 7);
        a.setCountExact(20);
        EXPECT_EQ(Tracked::alive, 20);
        EXPECT_EQ(a[6].value, 6);
        EXPECT_EQ(a[7].value, 0);
        int sum = 0;
        for (const Tracked& t : a) sum += t.value;
        EXPECT_EQ(sum, 21);
    }
    EXPECT_EQ(Tracked::alive, 0);
}

}  // namespace
}  // namespace fontseal

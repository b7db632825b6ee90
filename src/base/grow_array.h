// SPDX-License-Identifier: Apache-2.0
// Growable array of fixed-size elements with behaviour flags. Every array in
// the library uses flags 0xDF: bad indexes throw, indexing never grows, and
// the block shrinks again after the array does.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "base/error.h"

namespace fontseal {

template <class T>
class GrowArray {
public:
    static constexpr uint8_t kThrowOnBadIndex = 0x40;
    static constexpr uint8_t kGrowOnIndex = 0x20;
    static constexpr uint8_t kShrink = 0x80;
    static constexpr uint8_t kDefaultFlags = 0xDF;

    explicit GrowArray(int growth = 16, uint8_t flags = kDefaultFlags)
        : growth_(growth > 0 ? growth : 1), flags_(flags) {}
    ~GrowArray() {
        destroyRange(0, count_);
        std::free(data_);
    }
    GrowArray(const GrowArray&) = delete;
    GrowArray& operator=(const GrowArray&) = delete;

    int count() const { return count_; }
    int capacity() const { return capacity_; }
    int width() const { return 1; }
    int growth() const { return growth_; }
    uint8_t flags() const { return flags_; }
    bool empty() const { return count_ == 0; }

    T& at(int i) {
        if (i < 0 || i >= count_) {
            if ((flags_ & kGrowOnIndex) && i >= count_) {
                setCount(i + 1);
                return data_[i];
            }
            if (flags_ & kThrowOnBadIndex) throw int(kIndexFault);
            return emptyElement();
        }
        return data_[i];
    }
    const T& at(int i) const { return const_cast<GrowArray*>(this)->at(i); }
    T& operator[](int i) { return at(i); }
    const T& operator[](int i) const { return at(i); }

    T& last() { return at(count_ - 1); }

    void pop() {
        if (count_ == 0) {
            if (flags_ & kThrowOnBadIndex) throw int(kIndexFault);
            return;
        }
        setCount(count_ - 1);
    }

    T& append() {
        setCount(count_ + 1);
        return data_[count_ - 1];
    }

    void setCount(int n) {
        if (n < 0) n = 0;
        if (capacity_ < n) reallocate(n + growth_ - 1);
        resize(n);
        if ((flags_ & kShrink) && n < capacity_ - growth_) reallocate(count_ + growth_);
    }

    // Capacity follows the count exactly; used when a bundle's certificates
    // are copied into a list in one go.
    void setCountExact(int n) {
        if (n < 0) n = 0;
        if (capacity_ < n) reallocate(n);
        resize(n);
        if (n < capacity_) reallocate(n);
    }

    T* begin() { return data_; }
    T* end() { return data_ + count_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + count_; }

private:
    static T& emptyElement() {
        static T empty{};
        empty = T{};
        return empty;
    }

    void resize(int n) {
        for (int i = count_; i < n; ++i) new (data_ + i) T();
        destroyRange(n, count_);
        count_ = n;
    }

    void destroyRange(int from, int to) {
        for (int i = from; i < to; ++i) data_[i].~T();
    }

    void reallocate(int capacity) {
        if (capacity < count_) capacity = count_;
        if (capacity == capacity_) return;
        T* block = nullptr;
        if (capacity > 0) {
            block = static_cast<T*>(std::malloc(sizeof(T) * static_cast<size_t>(capacity)));
            if (!block) throw std::bad_alloc();
        }
        for (int i = 0; i < count_; ++i) {
            new (block + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        std::free(data_);
        data_ = block;
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
    int growth_;
    uint8_t flags_;
};

}  // namespace fontseal

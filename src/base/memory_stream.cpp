// SPDX-License-Identifier: Apache-2.0
#include "base/memory_stream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/error.h"

namespace fontseal {

MemoryStream::MemoryStream(int size, int growth) : growth_(growth) { reset(size); }

MemoryStream::MemoryStream(const uint8_t* borrowed, int size)
    : data_(const_cast<uint8_t*>(borrowed)), size_(size), borrowed_(true) {}

MemoryStream::~MemoryStream() {
    if (!borrowed_) std::free(data_);
}

void MemoryStream::read(uint8_t* buffer, int count) {
    if (count < 0 || position_ < 0 || static_cast<int64_t>(position_) + count > size_)
        throw error(kErrReadPastEnd);
    if (count > 0) std::memcpy(buffer, data_ + position_, static_cast<size_t>(count));
    position_ += count;
}

void MemoryStream::write(const uint8_t* buffer, int count) {
    if (count < 0 || position_ < 0) throw error(kErrBufferFull);
    int64_t end = static_cast<int64_t>(position_) + count;
    if (end > size_) {
        if (borrowed_ || growth_ <= 0) throw error(kErrBufferFull);
        int64_t grown = static_cast<int64_t>(growth_) *
                        ((static_cast<int64_t>(size_) + growth_ + count - 1) / growth_);
        // A position set beyond the size needs more than the usual step.
        if (grown < end) grown = static_cast<int64_t>(growth_) * ((end + growth_ - 1) / growth_);
        if (grown > INT32_MAX) throw error(kErrBufferFull);
        auto* block = static_cast<uint8_t*>(std::realloc(data_, static_cast<size_t>(grown)));
        if (!block) throw std::bad_alloc();
        data_ = block;
        size_ = static_cast<int>(grown);
    }
    if (count > 0) std::memcpy(data_ + position_, buffer, static_cast<size_t>(count));
    position_ += count;
}

void MemoryStream::reset(int size, const uint8_t* initial) {
    if (!borrowed_) std::free(data_);
    data_ = nullptr;
    borrowed_ = false;
    size_ = 0;
    position_ = 0;
    if (size > 0) {
        data_ = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
        if (!data_) throw std::bad_alloc();
        size_ = size;
        if (initial) std::memcpy(data_, initial, static_cast<size_t>(size));
    }
}

uint8_t* MemoryStream::detach() {
    if (borrowed_) return nullptr;
    uint8_t* block = data_;
    data_ = nullptr;
    size_ = 0;
    position_ = 0;
    return block;
}

}  // namespace fontseal

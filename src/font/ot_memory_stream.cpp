// SPDX-License-Identifier: Apache-2.0
#include "font/ot_memory_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace fontseal {

OTMemoryStream::OTMemoryStream(int32_t capacity) {
    if (capacity <= 0) return;
    // Zeroed, so bytes skipped over by a seek past the end read as zero
    // instead of whatever the heap held.
    data_ = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(capacity), 1));
    if (!data_) {
        error_ = -1;
        return;
    }
    capacity_ = capacity;
}

OTMemoryStream::~OTMemoryStream() { std::free(data_); }

bool OTMemoryStream::grow(int32_t count) {
    int64_t wanted = static_cast<int64_t>(capacity_) + std::max<int32_t>(count, kMinGrowth);
    if (wanted > INT32_MAX) return false;
    auto* block = static_cast<uint8_t*>(std::realloc(data_, static_cast<size_t>(wanted)));
    if (!block) return false;
    std::memset(block + capacity_, 0, static_cast<size_t>(wanted - capacity_));
    data_ = block;
    capacity_ = static_cast<int32_t>(wanted);
    return true;
}

int32_t OTMemoryStream::write(const void* buffer, int32_t count) {
    if (error_ != 0 || count <= 0) return 0;
    if (static_cast<int64_t>(position_) + count > capacity_ && !grow(count)) {
        error_ = -1;
        return 0;
    }
    std::memcpy(data_ + position_, buffer, static_cast<size_t>(count));
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
}

const uint8_t* OTMemoryStream::bytesAt(uint32_t offset, uint32_t length) {
    if (error_ != 0 || static_cast<uint64_t>(offset) + length > static_cast<uint64_t>(size_)) {
        return nullptr;
    }
    return data_ + offset;
}

int32_t OTMemoryStream::read(void* buffer, int32_t count) {
    if (error_ != 0 || count <= 0 || position_ >= size_) return 0;
    int32_t n = std::min(count, size_ - position_);
    std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t OTMemoryStream::seek(int32_t offset, SeekOrigin origin) {
    if (error_ != 0) return 0;
    int64_t base = origin == SeekOrigin::kCurrent ? position_
                   : origin == SeekOrigin::kEnd   ? size_
                                                  : 0;
    int64_t target = std::clamp<int64_t>(base + offset, 0, capacity_);
    position_ = static_cast<int32_t>(target);
    return position_;
}

}  // namespace fontseal

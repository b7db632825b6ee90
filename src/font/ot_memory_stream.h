// SPDX-License-Identifier: Apache-2.0
// Growable in-memory stream: holds the serialised font image that is
// digested, and the images of the directory and of single tables while they
// are built.
#pragma once
#include <cstdint>

#include "font/ot_stream.h"

namespace fontseal {

class OTMemoryStream : public OTStream {
public:
    static constexpr int32_t kMinGrowth = 4096;

    // Allocates `capacity` bytes; on failure the error indicator is -1 and
    // every operation returns 0.
    explicit OTMemoryStream(int32_t capacity);
    ~OTMemoryStream() override;

    // Grows by the larger of `count` and 4096 when the write does not fit.
    int32_t write(const void* buffer, int32_t count) override;
    // Copies at most size - position bytes.
    int32_t read(void* buffer, int32_t count) override;
    // The target is clamped to 0 .. capacity, so a seek to size() always
    // lands at the end and a following write appends.
    int32_t seek(int32_t offset, SeekOrigin origin) override;
    int32_t tell() override { return position_; }
    int32_t size() override { return size_; }
    bool close() override { return isOk(); }
    const uint8_t* bytesAt(uint32_t offset, uint32_t length) override;

    // The bytes written so far (size() of them), for checksums and digests
    // in place. May be null for an empty stream.
    uint8_t* buffer() { return data_; }
    const uint8_t* buffer() const { return data_; }
    int32_t capacity() const { return capacity_; }

private:
    bool grow(int32_t count);

    uint8_t* data_ = nullptr;
    int32_t capacity_ = 0;
    int32_t position_ = 0;
    int32_t size_ = 0;
};

}  // namespace fontseal

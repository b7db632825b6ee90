// SPDX-License-Identifier: Apache-2.0
// A ByteSource and ByteSink over one block of memory: the scratch space for
// every encoding and the reader over bytes already in memory.
#pragma once
#include <cstdint>

#include "base/byte_stream.h"

namespace fontseal {

class MemoryStream : public ByteSource, public ByteSink {
public:
    static constexpr int kDefaultGrowth = 16384;

    // Empty, owning writer.
    MemoryStream() = default;
    // Owning, with `size` bytes allocated (writable up to `size` before growing).
    explicit MemoryStream(int size, int growth = kDefaultGrowth);
    // Reader over someone else's bytes: never freed, never grown.
    MemoryStream(const uint8_t* borrowed, int size);
    ~MemoryStream() override;

    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    void read(uint8_t* buffer, int count) override;
    bool atEnd() override { return position_ >= size_; }
    int remaining() override { return size_ - position_; }
    void write(const uint8_t* buffer, int count) override;

    // Frees an owned block, allocates `size` owned bytes (copied from
    // `initial` when given) and rewinds.
    void reset(int size, const uint8_t* initial = nullptr);
    // Hands an owned block to the caller (free() it); null when borrowed.
    uint8_t* detach();

    const uint8_t* data() const { return data_; }
    uint8_t* data() { return data_; }
    int size() const { return size_; }
    int position() const { return position_; }
    void setPosition(int position) { position_ = position; }
    bool borrowed() const { return borrowed_; }
    int growth() const { return growth_; }
    void setGrowth(int growth) { growth_ = growth; }

private:
    uint8_t* data_ = nullptr;
    int size_ = 0;
    bool borrowed_ = false;
    int position_ = 0;
    int growth_ = kDefaultGrowth;
};

}  // namespace fontseal

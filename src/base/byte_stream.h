// SPDX-License-Identifier: Apache-2.0
// The two stream interfaces every encoder writes through and every decoder
// reads from, so files, memory buffers and base64 text are interchangeable.
#pragma once
#include <cstdint>

namespace fontseal {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Delivers exactly `count` bytes or raises `error`; there is no short read.
    virtual void read(uint8_t* buffer, int count) = 0;
    virtual bool atEnd() = 0;
    // Bytes left, or -1 when the source cannot know.
    virtual int remaining() = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Accepts all `count` bytes or raises `error`.
    virtual void write(const uint8_t* buffer, int count) = 0;
};

}  // namespace fontseal

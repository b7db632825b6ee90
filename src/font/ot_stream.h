// SPDX-License-Identifier: Apache-2.0
// The font layer's own stream family. Streams move raw bytes; callers convert
// 16- and 32-bit values to big-endian order themselves. None of them raises:
// a failed open shows through isOk(), a short transfer in the returned count.
#pragma once
#include <cstdint>

#include "platform/file_modes.h"

namespace fontseal {

class OTStream {
public:
    virtual ~OTStream() = default;

    // Writes `count` bytes at the current position; returns the count written.
    virtual int32_t write(const void* buffer, int32_t count) = 0;
    // Reads up to `count` bytes at the current position; returns the count read.
    virtual int32_t read(void* buffer, int32_t count) = 0;
    virtual int32_t seek(int32_t offset, SeekOrigin origin) = 0;
    virtual int32_t tell() = 0;
    virtual int32_t size() = 0;
    // Finishes the stream (flushes and closes a file). Returns false when the
    // stream failed at any point, so a writer can refuse to keep the result;
    // the error indicator is set as well.
    virtual bool close() = 0;
    virtual bool isOk() const { return error_ == 0; }
    // The `length` bytes at `offset` in place, for a stream that holds them
    // in memory; null otherwise, and the caller reads them.
    virtual const uint8_t* bytesAt(uint32_t offset, uint32_t length) {
        (void)offset;
        (void)length;
        return nullptr;
    }

    int32_t errorCode() const { return error_; }

protected:
    OTStream() = default;
    OTStream(const OTStream&) = delete;
    OTStream& operator=(const OTStream&) = delete;

    int32_t error_ = 0;
};

}  // namespace fontseal

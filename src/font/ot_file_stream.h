// SPDX-License-Identifier: Apache-2.0
// Unbuffered stream over a runtime file handle; the input font is read
// through it.
#pragma once
#include <cstdint>

#include "font/ot_stream.h"

namespace fontseal {

class OTFileStream : public OTStream {
public:
    // A failed open leaves the negative handle in the error indicator.
    OTFileStream(const char* path, OpenMode mode);
    ~OTFileStream() override;

    int32_t write(const void* buffer, int32_t count) override;
    int32_t read(void* buffer, int32_t count) override;
    int32_t seek(int32_t offset, SeekOrigin origin) override;
    int32_t tell() override;
    int32_t size() override;
    // The file's length in full, which size() cannot report past 2 GiB; -1
    // when it cannot be had.
    int64_t fileLength() const;
    // The file's permission bits, or -1.
    int permissions() const;
    bool close() override;

private:
    int handle_ = -1;
};

}  // namespace fontseal

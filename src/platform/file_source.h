// SPDX-License-Identifier: Apache-2.0
// The file implementation of ByteSource and ByteSink, used for certificate
// and key files. Unlike the font streams it raises `error` on any short
// transfer, because the DER and key readers rely on exact reads.
#pragma once
#include <cstdint>

#include "base/byte_stream.h"

namespace fontseal {

class FileSource : public ByteSource, public ByteSink {
public:
    FileSource() = default;
    // Opens read-only; raises error 261 when the file cannot be opened.
    explicit FileSource(const char* path) { open(path); }
    ~FileSource() override { close(); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    void open(const char* path);
    void close();
    bool isOpen() const { return handle_ >= 0; }

    void read(uint8_t* buffer, int count) override;
    bool atEnd() override { return position_ >= size_; }
    int remaining() override { return size_ - position_; }
    void write(const uint8_t* buffer, int count) override;

    int size() const { return size_; }
    int position() const { return position_; }

private:
    int handle_ = -1;
    int position_ = 0;
    int size_ = 0;
};

}  // namespace fontseal

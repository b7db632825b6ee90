// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the libFuzzer entry points: a failed promise aborts (so
// libFuzzer keeps the input), and a byte source that cannot tell its size,
// like the base64 decoders, for readers that behave differently over one.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/byte_stream.h"
#include "base/error.h"

#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace fontseal {
namespace fuzz {

class UnsizedSource : public ByteSource {
public:
    UnsizedSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    void read(uint8_t* buffer, int count) override {
        if (count < 0 || size_t(count) > size_ - position_) throw error(kErrReadPastEnd);
        if (count > 0) std::memcpy(buffer, data_ + position_, size_t(count));
        position_ += size_t(count);
    }
    bool atEnd() override { return position_ >= size_; }
    int remaining() override { return -1; }
    size_t position() const { return position_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// The password a key reader is given, chosen by the input's first byte
// (taken off the input): none, empty, "secret" (the seeds' own), or the
// next (byte >> 2) bytes of the input, NULs left out, kept in `given`.
inline const char* take_password(const uint8_t*& data, size_t& size, std::string& given) {
    const uint8_t choice = data[0];
    ++data;
    --size;
    switch (choice & 3) {
        case 0:
            return nullptr;
        case 1:
            return "";
        case 2:
            return "secret";
        default: {
            const size_t length = std::min<size_t>(choice >> 2, size);
            for (size_t i = 0; i < length; ++i)
                if (data[i] != 0) given.push_back(char(data[i]));
            data += length;
            size -= length;
            return given.c_str();
        }
    }
}

}  // namespace fuzz
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Forwards writes and counts them, so an encoder can check its write pass
// against its size pass.
#pragma once
#include "base/byte_stream.h"

namespace fontseal {

class CountingSink : public ByteSink {
public:
    explicit CountingSink(ByteSink& target) : target_(target) {}
    void write(const uint8_t* buffer, int count) override {
        target_.write(buffer, count);
        count_ += count;
    }
    int count() const { return count_; }

private:
    ByteSink& target_;
    int count_ = 0;
};

}  // namespace fontseal

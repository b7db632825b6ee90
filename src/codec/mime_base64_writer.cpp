// SPDX-License-Identifier: Apache-2.0
#include "codec/mime_base64_writer.h"

#include <cstdio>
#include <cstring>

#include "codec/base64_alphabet.h"

namespace fontseal {

MimeBase64Writer::MimeBase64Writer(const uint8_t* data, int size, const char* name)
    : data_(data), size_(data && size > 0 ? size : 0) {
    line_[0] = '\0';
    if (!name) name = "default";
    size_t length = 0;
    while (length < kMaxName && name[length] != '\0') ++length;
    std::memcpy(name_, name, length);
    name_[length] = '\0';
}

const char* MimeBase64Writer::nextLine() {
    if (lines_ <= 0) {
        std::snprintf(line_, sizeof line_, "Content-Type: image/png; charset=US-ASCII; name=%s",
                      name_);
    } else if (lines_ == 1) {
        std::snprintf(line_, sizeof line_, "Content-transfer-encoding: base64");
    } else if (lines_ == 2) {
        line_[0] = '\0';
    } else {
        return base64Line();
    }
    lines_ = lines_ <= 0 ? 1 : lines_ + 1;
    return line_;
}

const char* MimeBase64Writer::base64Line() {
    lineLength_ = 0;
    bool finished = false;
    while (lineLength_ < kLineLength) {
        if (pendingCount_ >= 6) {
            pendingCount_ -= 6;
            line_[lineLength_++] = base64Letter(pendingBits_ >> pendingCount_);
            pendingBits_ &= (1u << pendingCount_) - 1;
        } else if (position_ < size_) {
            pendingBits_ = pendingBits_ << 8 | data_[position_++];
            pendingCount_ += 8;
        } else if (pendingCount_ > 0) {
            // Complete the last character with zero bits.
            pendingBits_ <<= 2;
            pendingCount_ += 2;
        } else {
            finished = true;
            break;
        }
    }
    if (finished) {
        // Line lengths are multiples of 4, so this pads the whole text.
        while (lineLength_ % 4 != 0) line_[lineLength_++] = '=';
        if (lineLength_ == 0) {
            line_[0] = '\0';
            return nullptr;
        }
    }
    line_[lineLength_] = '\0';
    ++lines_;
    return line_;
}

}  // namespace fontseal

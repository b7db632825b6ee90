#include "codec/mime_base64_writer.h"

#include <cstdio>
#include <cstring>

#include "codec/base64_alphabet.h"

namespace fontseal {

namespace {
uint32_t g_pendingBits = 0;
int g_pendingCount = 0;
}  // namespace

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
        if (g_pendingCount >= 6) {
            g_pendingCount -= 6;
            line_[lineLength_++] = base64Letter(g_pendingBits >> g_pendingCount);
            g_pendingBits &= (1u << g_pendingCount) - 1;
        } else if (position_ < size_) {
            g_pendingBits = g_pendingBits << 8 | data_[position_++];
            g_pendingCount += 8;
        } else if (g_pendingCount > 0) {
            // Complete the last character with zero bits.
            g_pendingBits <<= 2;
            g_pendingCount += 2;
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

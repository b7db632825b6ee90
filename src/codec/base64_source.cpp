// SPDX-License-Identifier: Apache-2.0
#include "codec/base64_source.h"

#include <algorithm>

#include "codec/base64_alphabet.h"
#include "base/error.h"

namespace fontseal {

void Base64DecodingSource::read(uint8_t* buffer, int count) {
    if (count < 0) throw error(kErrReadPastEnd);
    while (count > 0) {
        if (groupSize_ < 0) throw error(kErrReadPastEnd);
        if (groupPos_ < groupSize_) {
            *buffer++ = group_[groupPos_++];
            --count;
        } else {
            refillGroup();
        }
    }
}

bool Base64DecodingSource::atEnd() {
    if (groupSize_ < 0) return true;
    if (groupPos_ < groupSize_) return false;
    refillGroup();
    return groupSize_ <= 0;
}

void Base64DecodingSource::refillGroup() {
    if (groupSize_ < 0) return;
    // A group shortened by padding is the last one of the text.
    if (groupSize_ == 1 || groupSize_ == 2) {
        groupSize_ = -1;
        return;
    }
    int x[4];
    if (!nextFour(x) || x[0] == kBase64Pad || x[1] == kBase64Pad) {
        groupSize_ = -1;
        return;
    }
    group_[0] = static_cast<uint8_t>(x[0] << 2 | x[1] >> 4);
    groupSize_ = 1;
    if (x[2] < kBase64Pad) {
        group_[1] = static_cast<uint8_t>((x[1] << 4 | x[2] >> 2) & 0xFF);
        groupSize_ = 2;
        if (x[3] < kBase64Pad) {
            group_[2] = static_cast<uint8_t>((x[2] << 6 | x[3]) & 0xFF);
            groupSize_ = 3;
        }
    }
    groupPos_ = 0;
}

bool Base64DecodingSource::nextFour(int values[4]) {
    for (int i = 0; i < 4; ++i) {
        uint32_t c;
        if (!nextCharacter(&c)) return false;
        values[i] = base64Value(c);
    }
    return true;
}

// Next character of the alphabet or '=', skipping whitespace; false once the
// text is exhausted or a foreign character has been met.
bool Base64DecodingSource::nextCharacter(uint32_t* c) {
    while (!textEnded_) {
        if (charPos_ >= charCount_) {
            charPos_ = 0;
            charCount_ = fetchText(chars_);
            if (charCount_ <= 0) {
                charCount_ = 0;
                textEnded_ = true;
                break;
            }
        }
        uint32_t ch = chars_[charPos_++];
        if (ch == '\t' || ch == '\n' || ch == '\r' || ch == ' ') continue;
        if (base64Value(ch) < 0) {
            textEnded_ = true;
            break;
        }
        *c = ch;
        return true;
    }
    return false;
}

int Base64Source::fetchText(uint16_t* chars) {
    int n = std::min(kTextBuffer, text_.remaining());
    if (n <= 0) return 0;
    uint8_t bytes[kTextBuffer];
    try {
        text_.read(bytes, n);
    } catch (const error&) {
        return 0;
    }
    for (int i = 0; i < n; ++i) chars[i] = bytes[i];
    return n;
}

int WideBase64Source::fetchText(uint16_t* chars) {
    int n = std::min(kTextBuffer, text_.remaining() / 2);
    if (n <= 0) return 0;
    uint8_t bytes[2 * kTextBuffer];
    try {
        text_.read(bytes, 2 * n);
    } catch (const error&) {
        return 0;
    }
    for (int i = 0; i < n; ++i)
        chars[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return n;
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "codec/mime_base64_reader.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "codec/base64_alphabet.h"

namespace fontseal {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '/' || c == '\\' || c == '_' || c == '~';
}

// Finds the next token at or after *cursor; false when the line has none left.
bool nextToken(const char** cursor, const char** start, size_t* length) {
    const char* p = *cursor;
    while (*p && !isTokenChar(*p)) ++p;
    if (!*p) return false;
    *start = p;
    while (isTokenChar(*p)) ++p;
    *length = static_cast<size_t>(p - *start);
    *cursor = p;
    return true;
}

bool tokenIs(const char* start, size_t length, const char* word) {
    if (std::strlen(word) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char a = start[i], b = word[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace

MimeBase64Reader::~MimeBase64Reader() { std::free(output_); }

uint8_t* MimeBase64Reader::detach() {
    uint8_t* block = count_ > 0 ? output_ : nullptr;
    if (!block) std::free(output_);
    output_ = nullptr;
    count_ = 0;
    capacity_ = 0;
    return block;
}

int MimeBase64Reader::feedLine(const char* line) {
    if (!line) return 0;
    if (inBody_) {
        if (!decode_) return -1;
        // A line starting with a blank or punctuation below '+' is not body
        // text; it ends decoding only when it cuts a byte in half.
        if (static_cast<unsigned char>(line[0]) < '+') return bitCount_ > 0 ? -1 : 0;
        return decodeLine(line);
    }
    if (!isBase64Line(line)) {
        readHeader(line);
        return 0;
    }
    inBody_ = true;
    // A part declared in some other transfer encoding is not decoded at all:
    // reading it as base64 would only produce garbage.
    if (!decode_) return -1;
    return decodeLine(line);
}

// Every character is of the alphabet or '=', except for trailing blanks.
// An empty line belongs to the header.
bool MimeBase64Reader::isBase64Line(const char* line) {
    if (!line[0]) return false;
    for (const char* p = line; *p; ++p) {
        if (isBlank(*p)) {
            for (const char* q = p; *q; ++q)
                if (!isBlank(*q)) return false;
            return true;
        }
        if (base64Value(static_cast<unsigned char>(*p)) < 0) return false;
    }
    return true;
}

void MimeBase64Reader::readHeader(const char* line) {
    // A folded line continues the previous field and names none of its own.
    // Parameters (of Content-Type and others) carry nothing needed here.
    if (isBlank(line[0])) return;
    const char* cursor = line;
    const char* token;
    size_t length;
    if (!nextToken(&cursor, &token, &length)) return;
    if (!tokenIs(token, length, "Content-transfer-encoding")) return;
    decode_ = false;
    while (nextToken(&cursor, &token, &length))
        if (tokenIs(token, length, "base64")) decode_ = true;
}

int MimeBase64Reader::decodeLine(const char* line) {
    for (const char* p = line; *p && *p != ' '; ++p) {
        int value = base64Value(static_cast<unsigned char>(*p));
        if (value < 0 || value == kBase64Pad) return -1;
        bits_ = bits_ << 6 | static_cast<uint32_t>(value);
        bitCount_ += 6;
        if (bitCount_ >= 8) {
            bitCount_ -= 8;
            if (!appendByte(static_cast<uint8_t>(bits_ >> bitCount_))) return -1;
            bits_ &= (1u << bitCount_) - 1;
        }
    }
    return 0;
}

bool MimeBase64Reader::appendByte(uint8_t byte) {
    if (count_ == capacity_) {
        if (capacity_ > INT_MAX - kOutputGrowth) return false;
        int capacity = capacity_ + kOutputGrowth;
        auto* block = static_cast<uint8_t*>(std::realloc(output_, static_cast<size_t>(capacity)));
        if (!block) return false;
        output_ = block;
        capacity_ = capacity;
    }
    output_[count_++] = byte;
    return true;
}

int decode_mime_base64(char* text, uint8_t** out) {
    if (out) *out = nullptr;
    if (!text) return 0;
    MimeBase64Reader reader;
    char* p = text;
    while (*p) {
        if (*p == '\r' || *p == '\n') {
            ++p;
            continue;
        }
        char* line = p;
        while (*p && *p != '\r' && *p != '\n') ++p;
        bool last = *p == '\0';
        *p = '\0';
        if (reader.feedLine(line) < 0 || last) break;
        ++p;
    }
    int count = reader.count();
    if (out) *out = reader.detach();
    return count;
}

}  // namespace fontseal

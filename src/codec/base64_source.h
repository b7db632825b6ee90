// SPDX-License-Identifier: Apache-2.0
// Byte sources that decode base64 text read from another byte source, so the
// DER reader takes a PEM or base64 certificate file exactly like a binary one.
#pragma once
#include <cstdint>

#include "base/byte_stream.h"

namespace fontseal {

// Decoding stops quietly at the first character that is neither base64 nor
// whitespace, or after the first group shortened by '='; only a read past that
// point raises error 257. The text source is never owned or closed.
class Base64DecodingSource : public ByteSource {
public:
    static constexpr int kTextBuffer = 256;

    Base64DecodingSource(const Base64DecodingSource&) = delete;
    Base64DecodingSource& operator=(const Base64DecodingSource&) = delete;

    void read(uint8_t* buffer, int count) override;
    // Never raises: a fault of the text source counts as the end of the text.
    bool atEnd() override;
    // The decoded length is not known in advance.
    int remaining() override { return -1; }

protected:
    explicit Base64DecodingSource(ByteSource& text) : text_(text) {}
    // Reads the next characters of the text into `chars` (at most
    // kTextBuffer); returns how many, 0 when the text is exhausted.
    virtual int fetchText(uint16_t* chars) = 0;

    ByteSource& text_;

private:
    void refillGroup();
    bool nextFour(int values[4]);
    bool nextCharacter(uint32_t* c);

    uint16_t chars_[kTextBuffer];
    int charCount_ = 0;
    int charPos_ = 0;
    bool textEnded_ = false;
    uint8_t group_[3] = {0, 0, 0};
    int groupSize_ = 0;  // -1 once the decodable text is over
    int groupPos_ = 0;
};

// Base64 in 8-bit characters (PEM bodies and bare base64 files).
class Base64Source : public Base64DecodingSource {
public:
    explicit Base64Source(ByteSource& text) : Base64DecodingSource(text) {}

protected:
    int fetchText(uint16_t* chars) override;
};

// Base64 in 16-bit little-endian characters. Each 16-bit unit is one
// character, so a byte-order mark ends the text at once.
class WideBase64Source : public Base64DecodingSource {
public:
    explicit WideBase64Source(ByteSource& text) : Base64DecodingSource(text) {}

protected:
    int fetchText(uint16_t* chars) override;
};

}  // namespace fontseal

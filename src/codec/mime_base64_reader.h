// SPDX-License-Identifier: Apache-2.0
// Reads a MIME part line by line: header lines are skipped (the transfer
// encoding is honoured), the base64 body is decoded into one byte buffer.
// Malformed input never raises; decoding just stops and keeps what it had.
#pragma once
#include <cstdint>

namespace fontseal {

class MimeBase64Reader {
public:
    static constexpr int kOutputGrowth = 16384;

    MimeBase64Reader() = default;
    ~MimeBase64Reader();
    MimeBase64Reader(const MimeBase64Reader&) = delete;
    MimeBase64Reader& operator=(const MimeBase64Reader&) = delete;

    // One line without its line end. Returns 0 to go on, or a negative value
    // when decoding has ended and no further line should be fed.
    int feedLine(const char* line);

    int count() const { return count_; }
    const uint8_t* data() const { return output_; }
    // Hands the decoded bytes to the caller, who free()s them; null when
    // nothing was decoded. The reader is left empty.
    uint8_t* detach();

private:
    static bool isBase64Line(const char* line);
    void readHeader(const char* line);
    int decodeLine(const char* line);
    bool appendByte(uint8_t byte);

    bool inBody_ = false;
    // Turned off by a transfer-encoding header that does not name base64.
    bool decode_ = true;
    uint32_t bits_ = 0;
    int bitCount_ = 0;
    uint8_t* output_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

// Decodes the base64 body of the MIME text `text` (NUL-terminated; a NUL is
// written at the end of every line). Returns the number of decoded bytes;
// *out receives them (free() them), or null when nothing was decoded.
int decode_mime_base64(char* text, uint8_t** out);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Produces a base64 MIME body line by line: three header lines, then the data
// as base64 in lines of 72 characters, the last one shorter and padded. The
// caller adds the line ends.
//
// Each writer keeps its own pending bits, so writers on several threads do
// not disturb one another.
#pragma once
#include <cstdint>

namespace fontseal {

class MimeBase64Writer {
public:
    static constexpr int kLineLength = 72;
    // Longest part name that still lets the first header line fit the line
    // buffer; longer names are cut to it.
    static constexpr int kMaxName = 207;

    // `data` is borrowed and must outlive the writer; a null `name` becomes
    // "default".
    MimeBase64Writer(const uint8_t* data, int size, const char* name);
    MimeBase64Writer(const MimeBase64Writer&) = delete;
    MimeBase64Writer& operator=(const MimeBase64Writer&) = delete;

    // The next line without its line end, or null when there are no more.
    // The text stays valid until the next call.
    const char* nextLine();

    // Lines produced so far. Setting it to 3 before the first nextLine skips
    // the three header lines, leaving the bare base64 lines.
    int lineCount() const { return lines_; }
    void setLineCount(int lines) { lines_ = lines; }

private:
    const char* base64Line();

    const uint8_t* data_;
    int position_ = 0;
    int size_;
    char line_[256];
    char name_[kMaxName + 1];
    int lines_ = 0;
    int lineLength_ = 0;
    uint32_t pendingBits_ = 0;
    int pendingCount_ = 0;
};

}  // namespace fontseal

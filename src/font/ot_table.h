// SPDX-License-Identifier: Apache-2.0
// One table of a font. The base class copies its bytes verbatim from the
// owner's input; subclasses parse and rebuild the tables the signer touches.
#pragma once
#include <cstdint>

namespace fontseal {

class OTFont;
class OTMemoryStream;
class OTStream;

class OTTable {
public:
    enum State : int32_t { kNew = 0, kParsed = 3, kRaw = 4 };

    // `tag` points at four bytes. Offset, length, checksum and state start at 0.
    OTTable(const char* tag, OTFont* owner);
    virtual ~OTTable() = default;
    OTTable(const OTTable&) = delete;
    OTTable& operator=(const OTTable&) = delete;

    // A null stream means the owner's stream: its input for parse, its
    // output for writeTo and emit.
    virtual int32_t parse(OTStream* stream);
    // Copies the table's bytes from the owner's input (raw state only).
    virtual void writeTo(OTStream* stream);
    // Pads `image` with zeros to a multiple of 4, sets the checksum from the
    // padded image and writes length() bytes of it.
    virtual void emit(OTMemoryStream& image, OTStream* stream);
    // The length the table will have when written; 0 for a raw copy, whose
    // length stays as read.
    virtual uint32_t computeLength();
    // True for tables whose writeTo builds their bytes anew (and sets the
    // checksum); false for tables copied verbatim from the input.
    virtual bool rebuildsImage() const { return false; }

    const char* tag() const { return tag_; }
    uint32_t tagValue() const;
    // Where the table's data lies: in the input after reading, in the output
    // after writing.
    uint32_t offset() const { return offset_; }
    void setOffset(uint32_t offset) { offset_ = offset; }
    // Where the data lies in the input. Kept apart from offset() so that a
    // font can be written more than once and still copy the right bytes.
    uint32_t inputOffset() const { return inputOffset_; }
    void setInputOffset(uint32_t offset) { inputOffset_ = offset; }
    uint32_t length() const { return length_; }
    void setLength(uint32_t length) { length_ = length; }
    uint32_t checksum() const { return checksum_; }
    void setChecksum(uint32_t checksum) { checksum_ = checksum; }
    int32_t state() const { return state_; }
    void setState(int32_t state) { state_ = state; }
    OTFont* owner() const { return owner_; }

protected:
    // The given stream, else the owner's output; raises OT_EXCEPTION -7
    // when there is neither.
    OTStream& outputFor(OTStream* stream) const;

private:
    char tag_[4];
    uint32_t offset_ = 0;
    uint32_t inputOffset_ = 0;
    uint32_t length_ = 0;
    uint32_t checksum_ = 0;
    int32_t state_ = kNew;
    OTFont* owner_;
};

}  // namespace fontseal

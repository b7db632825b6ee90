// SPDX-License-Identifier: Apache-2.0
// Pull decoder over any ByteSource: look at the next header, skip it, step
// into or out of it, or read it as a typed value. Accepts BER lengths
// (non-minimal long forms and the indefinite form) as well as DER.
#pragma once
#include <cstdint>

#include "der/der_oid.h"
#include "base/byte_stream.h"
#include "base/grow_array.h"

namespace fontseal {

struct UtcTime {
    int32_t year = 0;  // in full, e.g. 1999
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    int32_t zoneHours = 0;  // negative west of UTC
    int32_t zoneMinutes = 0;
    bool secondsPresent = false;
};

class DerReader {
public:
    // One element being walked. Length -1 is indefinite; consumed counts the
    // content read so far, child headers included.
    struct Frame {
        int32_t tag = -1;
        int32_t formCode = 0;
        int32_t length = -1;
        int32_t consumed = 0;
    };

    static constexpr int kHeaderCapacity = 32;
    // Deeper nesting is rejected (-5804) so hostile input cannot exhaust the
    // stack through the recursive skip and copy of indefinite elements.
    static constexpr int kMaxDepth = 200;

    explicit DerReader(ByteSource& source);
    virtual ~DerReader() = default;
    DerReader(const DerReader&) = delete;
    DerReader& operator=(const DerReader&) = delete;

    // The next element's tag and form code; false at the end of the current
    // element. Peeking again returns the same element.
    virtual bool peek(int& tag, int& formCode);
    virtual void skip();
    virtual void enter();
    virtual void leave();
    virtual int readInt();
    // Null buffer: the content length. Otherwise the value little-endian,
    // sign-filled to `size` bytes; returns the content length.
    virtual int readIntegerBytes(uint8_t* buffer, int size);
    virtual void readOid(DerOid& oid);
    // Null buffer: the content length. Tag not checked.
    virtual int readOctets(uint8_t* buffer, int capacity);
    // Null buffer: the bit count (the unused-bits octet is consumed).
    virtual int readBits(uint8_t* buffer, int capacity);
    virtual int readString(uint8_t* buffer, int capacity);
    virtual int readUnsupported() { return -1; }
    virtual int readUtcTime(UtcTime& out);
    // Copies the current element whole (header and content) to the sink.
    virtual int copyElement(ByteSink& sink);

    // Peeks the next element and insists on its tag and form code; raises
    // -5804 when it is missing or of another kind.
    void expect(int tag, int formCode);
    // Peeks and insists that some element follows; returns its tag.
    int expectAny();
    // Insists that the current element holds nothing more.
    void expectEnd();

    // Back to a single root frame spanning what the source still holds.
    void reset();

    // Length of the peeked element (-1 indefinite); peeks first.
    int length();
    int depth() const { return frames_.count(); }
    const Frame& top() const { return frames_.at(frames_.count() - 1); }
    // The octets of the most recently read header.
    int headerSize() const { return headerSize_; }
    const uint8_t* header() const { return header_; }
    ByteSource& source() { return *source_; }

private:
    void peekRequired();
    // Reads content bytes of the peeked element and counts them.
    void readContent(uint8_t* buffer, int count);
    void discardContent(int count);
    void finishElement();
    int contentLeft() const { return length_ - contentRead_; }

    bool cached_ = false;
    int32_t tag_ = 0;
    int32_t formCode_ = 0;
    int32_t length_ = 0;
    int32_t bitCount_ = -1;
    int32_t headerSize_ = 0;
    uint8_t header_[kHeaderCapacity] = {};
    // Content of the cached element already read (the BIT STRING unused-bits
    // octet), so skipping it afterwards stays aligned.
    int32_t contentRead_ = 0;
    ByteSource* source_;
    GrowArray<Frame> frames_{16, 0xDF};
};

}  // namespace fontseal

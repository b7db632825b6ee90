// SPDX-License-Identifier: Apache-2.0
#include "der/der_reader.h"

#include <algorithm>
#include <vector>

#include "der/der_errors.h"
#include "der/der_header.h"
#include "base/error.h"

namespace fontseal {

namespace {

// Passes header octets through while keeping a copy of them, so that an
// element can later be copied out whole.
class CaptureSource : public ByteSource {
public:
    CaptureSource(ByteSource& source, uint8_t* capture, int32_t& size)
        : source_(source), capture_(capture), size_(size) {}
    void read(uint8_t* buffer, int count) override {
        if (size_ + count > DerReader::kHeaderCapacity) throw error(kErrHeaderTooLong);
        source_.read(buffer, count);
        for (int i = 0; i < count; ++i) capture_[size_++] = buffer[i];
    }
    bool atEnd() override { return source_.atEnd(); }
    int remaining() override { return source_.remaining(); }

private:
    ByteSource& source_;
    uint8_t* capture_;
    int32_t& size_;
};

void addConsumed(DerReader::Frame& frame, int64_t count) {
    int64_t total = static_cast<int64_t>(frame.consumed) + count;
    if (total > 0x7FFFFFFF) throw error(kErrPastParent);
    frame.consumed = static_cast<int32_t>(total);
}

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

DerReader::DerReader(ByteSource& source) : source_(&source) { reset(); }

void DerReader::reset() {
    frames_.setCount(0);
    Frame& root = frames_.append();
    root.tag = -1;
    root.formCode = 0;
    root.length = source_->remaining();
    root.consumed = 0;
    finishElement();
}

void DerReader::finishElement() {
    cached_ = false;
    bitCount_ = -1;
    contentRead_ = 0;
}

bool DerReader::peek(int& tag, int& formCode) {
    if (cached_) {
        tag = tag_;
        formCode = formCode_;
        return true;
    }
    if (frames_.count() == 0) return false;
    {
        Frame& frame = frames_.last();
        if (frame.length >= 0 && frame.consumed >= frame.length) return false;
    }
    int elementTag = 0, elementForm = 0, elementLength = 0;
    headerSize_ = 0;
    CaptureSource capture(*source_, header_, headerSize_);
    int size = readHeader(capture, elementTag, elementForm, elementLength);
    addConsumed(frames_.last(), size);

    // The innermost definite-length frame bounds both the header just read
    // and the content it announces; frames above it have not yet passed
    // their consumed counts down.
    int64_t above = 0;
    for (int i = frames_.count() - 1; i >= 0; --i) {
        const Frame& frame = frames_.at(i);
        if (frame.length >= 0) {
            int64_t available = int64_t(frame.length) - frame.consumed - above;
            if (available < 0 || (elementLength >= 0 && elementLength > available)) {
                throw error(kErrPastParent);
            }
            break;
        }
        above += frame.consumed;
    }
    if (elementLength >= 0) {
        int known = source_->remaining();
        if (known >= 0 && elementLength > known) throw error(kErrPastParent);
    }

    Frame& frame = frames_.last();
    if (frame.length < 0 && elementTag == 0 && elementForm == 0 && elementLength == 0) {
        // Only the two zero octets end an element. A longer spelling of tag 0
        // and length 0 (1F 00 00, 00 81 00) is no element either, and taking
        // it for the end would let a copy write 00 00 where it stood.
        if (size != 2) throw error(kErrUnexpectedElement);
        frame.length = frame.consumed;
        return false;
    }
    cached_ = true;
    tag_ = tag = elementTag;
    formCode_ = formCode = elementForm;
    length_ = elementLength;
    bitCount_ = -1;
    contentRead_ = 0;
    return true;
}

void DerReader::peekRequired() {
    int tag = 0, formCode = 0;
    if (!peek(tag, formCode)) throw error(kErrUnexpectedElement);
}

void DerReader::expect(int tag, int formCode) {
    peekRequired();
    if (tag_ != tag || formCode_ != formCode) throw error(kErrUnexpectedElement);
}

int DerReader::expectAny() {
    peekRequired();
    return tag_;
}

void DerReader::expectEnd() {
    int tag = 0, formCode = 0;
    if (peek(tag, formCode)) throw error(kErrUnexpectedElement);
}

int DerReader::length() {
    peekRequired();
    return length_;
}

void DerReader::readContent(uint8_t* buffer, int count) {
    if (count <= 0) return;
    source_->read(buffer, count);
    addConsumed(frames_.last(), count);
    contentRead_ += count;
}

void DerReader::discardContent(int count) {
    uint8_t piece[4096];
    while (count > 0) {
        int n = std::min(count, static_cast<int>(sizeof piece));
        readContent(piece, n);
        count -= n;
    }
}

void DerReader::skip() {
    peekRequired();
    if (length_ < 0) {
        enter();
        leave();
        return;
    }
    discardContent(contentLeft());
    finishElement();
}

void DerReader::enter() {
    peekRequired();
    if (frames_.count() >= kMaxDepth) throw error(kErrUnexpectedElement);
    Frame child;
    child.tag = tag_;
    child.formCode = formCode_;
    child.length = length_;
    // Content already read (a BIT STRING's unused-bits octet) moves from the
    // parent's count into the child's, so leaving does not count it twice.
    child.consumed = contentRead_;
    frames_.last().consumed -= contentRead_;
    frames_.append() = child;
    finishElement();
}

void DerReader::leave() {
    if (frames_.count() == 0) return;
    if (frames_.last().length < 0) {
        int tag = 0, formCode = 0;
        while (peek(tag, formCode)) skip();
    } else {
        Frame& frame = frames_.last();
        int left = frame.length - frame.consumed;
        cached_ = false;
        discardContent(left);
    }
    Frame done = frames_.last();
    frames_.pop();
    if (frames_.count() > 0) addConsumed(frames_.last(), done.length);
    finishElement();
}

int DerReader::readInt() {
    expect(kTagInteger, kFormUniversal);
    if (length_ < 1 || length_ > 4) throw error(kErrBadInteger);
    uint8_t content[4];
    readContent(content, length_);
    uint32_t value = (content[0] & 0x80) ? 0xFFFFFFFFu : 0;
    for (int i = 0; i < length_; ++i) value = (value << 8) | content[i];
    finishElement();
    return static_cast<int32_t>(value);
}

int DerReader::readIntegerBytes(uint8_t* buffer, int size) {
    if (!buffer) {
        peekRequired();
        if (length_ < 0) throw error(kErrBadInteger);
        return length_;
    }
    expect(kTagInteger, kFormUniversal);
    int count = length_;
    if (count < 1) throw error(kErrBadInteger);
    if (size < count) throw error(kErrBufferTooSmall);
    readContent(buffer, count);
    uint8_t fill = (buffer[0] & 0x80) ? 0xFF : 0x00;
    std::reverse(buffer, buffer + count);
    for (int i = count; i < size; ++i) buffer[i] = fill;
    finishElement();
    return count;
}

void DerReader::readOid(DerOid& oid) {
    expect(kTagOid, kFormUniversal);
    if (length_ < 0) throw error(kErrBadLength);
    std::vector<uint32_t> arcs;
    OidContentDecoder decoder(arcs);
    uint8_t piece[256];
    while (contentLeft() > 0) {
        int n = std::min(contentLeft(), static_cast<int>(sizeof piece));
        readContent(piece, n);
        decoder.feed(piece, n);
    }
    decoder.finish();
    oid.setArcs(std::move(arcs));
    finishElement();
}

int DerReader::readOctets(uint8_t* buffer, int capacity) {
    peekRequired();
    if (length_ < 0) throw error(kErrBadLength);
    int count = contentLeft();
    if (!buffer) return count;
    if (capacity < count) throw error(kErrBufferTooSmall);
    readContent(buffer, count);
    finishElement();
    return count;
}

int DerReader::readString(uint8_t* buffer, int capacity) { return readOctets(buffer, capacity); }

int DerReader::readBits(uint8_t* buffer, int capacity) {
    peekRequired();
    if (length_ < 0) throw error(kErrBadLength);
    if (length_ == 0) throw error(kErrBadBitString);
    if (bitCount_ < 0) {
        uint8_t unused = 0;
        readContent(&unused, 1);
        int64_t bits = 8 * (int64_t(length_) - 1) - unused;
        if (unused > 7 || bits < 0 || bits > 0x7FFFFFFF) throw error(kErrBadBitString);
        bitCount_ = static_cast<int32_t>(bits);
    }
    int bits = bitCount_;
    if (!buffer) return bits;
    if (capacity < (int64_t(bits) + 7) / 8) throw error(kErrBufferTooSmall);
    readContent(buffer, contentLeft());
    finishElement();
    return bits;
}

int DerReader::readUtcTime(UtcTime& out) {
    expect(kTagUtcTime, kFormUniversal);
    int count = length_;
    if (count < 11 || count > 17) throw error(kErrBadUtcTime);
    uint8_t text[17];
    readContent(text, count);
    finishElement();

    int pos = 0;
    auto pair = [&]() {
        if (pos + 2 > count || !isDigit(text[pos]) || !isDigit(text[pos + 1])) {
            throw error(kErrBadUtcTime);
        }
        int value = (text[pos] - '0') * 10 + (text[pos + 1] - '0');
        pos += 2;
        return value;
    };
    out.secondsPresent = true;
    out.year = 1900 + pair();
    if (out.year < 1940) out.year += 100;
    out.month = pair();
    out.day = pair();
    out.hour = pair();
    out.minute = pair();
    if (pos < count && text[pos] >= '0' && text[pos] <= '8') {
        out.second = pair();
    } else {
        out.second = 0;
        out.secondsPresent = false;
    }
    if (pos >= count) throw error(kErrBadUtcTime);
    uint8_t zone = text[pos++];
    if (zone == 'Z') {
        out.zoneHours = 0;
        out.zoneMinutes = 0;
    } else if (zone == '+' || zone == '-') {
        int sign = zone == '-' ? -1 : 1;
        out.zoneHours = sign * pair();
        out.zoneMinutes = sign * pair();
    } else {
        throw error(kErrBadUtcTime);
    }
    // Anything after the zone makes the length wrong for what it holds.
    if (pos != count) throw error(kErrBadUtcTime);
    return count;
}

int DerReader::copyElement(ByteSink& sink) {
    peekRequired();
    sink.write(header_, headerSize_);
    int written = headerSize_;
    if (length_ >= 0) {
        uint8_t piece[256];
        while (contentLeft() > 0) {
            int n = std::min(contentLeft(), static_cast<int>(sizeof piece));
            readContent(piece, n);
            sink.write(piece, n);
            written += n;
        }
        finishElement();
        return written;
    }
    enter();
    int tag = 0, formCode = 0;
    while (peek(tag, formCode)) written += copyElement(sink);
    // The end-of-contents octets were counted into the element's length when
    // peek met them; leave() passes that length on to the parent, so they
    // are only written here, not counted again.
    leave();
    static const uint8_t kEndOfContents[2] = {0, 0};
    sink.write(kEndOfContents, 2);
    return written + 2;
}

}  // namespace fontseal

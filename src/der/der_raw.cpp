// SPDX-License-Identifier: Apache-2.0
#include "der/der_raw.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_reader.h"
#include "base/error.h"
#include "base/memory_stream.h"

namespace fontseal {

namespace {

uint8_t* copyBlock(const uint8_t* data, int length) {
    if (length <= 0) return nullptr;
    auto* block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(length)));
    if (!block) throw std::bad_alloc();
    std::memcpy(block, data, static_cast<size_t>(length));
    return block;
}

}  // namespace

DerRaw::DerRaw(const uint8_t* data, int length, bool copy) { setBytes(data, length, copy); }

DerRaw::DerRaw(const DerRaw& other)
    : DerValue(other), tag_(other.tag_), formCode_(other.formCode_) {
    setBytes(other.data_, other.length_, !other.borrowed_);
}

DerRaw& DerRaw::operator=(const DerRaw& other) {
    if (this != &other) {
        tag_ = other.tag_;
        formCode_ = other.formCode_;
        setBytes(other.data_, other.length_, !other.borrowed_);
    }
    return *this;
}

DerRaw::~DerRaw() { freeBytes(); }

void DerRaw::freeBytes() {
    if (!borrowed_) std::free(data_);
    data_ = nullptr;
    length_ = 0;
    borrowed_ = true;
}

void DerRaw::setBytes(const uint8_t* data, int length, bool copy) {
    if (length < 0) length = 0;
    uint8_t* block = copy ? copyBlock(data, length) : const_cast<uint8_t*>(data);
    freeBytes();
    data_ = block;
    length_ = length;
    borrowed_ = !copy;
}

void DerRaw::adopt(uint8_t* block, int length) {
    freeBytes();
    data_ = block;
    length_ = length < 0 ? 0 : length;
    borrowed_ = false;
}

int DerRaw::encode(ByteSink* sink) {
    int size = 0;
    if (tag_ != -1) size = writeHeader(sink, tag_, formCode_, length_);
    if (sink && length_ > 0) sink->write(data_, length_);
    return size + length_;
}

int DerRaw::encodeRaw(ByteSink* sink) { return DerRaw::encode(sink); }

bool DerRaw::decodeFrom(DerReader& reader) {
    freeBytes();
    tag_ = -1;
    formCode_ = 0;
    try {
        MemoryStream scratch(16384, 16384);
        int written = reader.copyElement(scratch);
        adopt(scratch.detach(), written);
        return true;
    } catch (const error&) {
        return false;
    }
}

int DerOctetString::encode(ByteSink* sink) {
    int size = writeHeader(sink, kTagOctetString, kFormUniversal, length_);
    if (sink && length_ > 0) sink->write(data_, length_);
    return size + length_;
}

int DerOctetString::decode(ByteSource& source) {
    int tag = 0, formCode = 0, length = 0;
    int size = readHeader(source, tag, formCode, length);
    freeBytes();
    if (length <= 0) return size;
    int known = source.remaining();
    if (known >= 0 && length > known) throw error(kErrPastParent);
    // Read in pieces so a length that lies about an unbounded source cannot
    // make us allocate more than the source really delivers.
    std::vector<uint8_t> content;
    for (int done = 0; done < length;) {
        int piece = length - done < 65536 ? length - done : 65536;
        content.resize(static_cast<size_t>(done + piece));
        source.read(content.data() + done, piece);
        done += piece;
    }
    adopt(copyBlock(content.data(), length), length);
    return size + length;
}

}  // namespace fontseal

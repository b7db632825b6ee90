// SPDX-License-Identifier: Apache-2.0
// Pre-encoded bytes: either a complete element re-emitted verbatim (tag -1)
// or content bytes wrapped in a header of the caller's choice.
#pragma once
#include <cstdint>

#include "der/der_value.h"

namespace fontseal {

class DerRaw : public DerValue {
public:
    DerRaw() = default;
    // copy: keep an own copy of the bytes; otherwise borrow the caller's.
    DerRaw(const uint8_t* data, int length, bool copy);
    DerRaw(const DerRaw& other);
    DerRaw& operator=(const DerRaw& other);
    ~DerRaw() override;

    uint32_t typeCode() const override { return kTypeRaw; }
    int encode(ByteSink* sink) override;
    // Captures the reader's current element whole, header included.
    bool decodeFrom(DerReader& reader) override;
    // Always writes as DerRaw does, whatever a subclass makes of encode.
    virtual int encodeRaw(ByteSink* sink);

    // Frees owned old bytes first.
    void setBytes(const uint8_t* data, int length, bool copy);
    // Takes a malloc'd block over.
    void adopt(uint8_t* block, int length);
    void setHeader(int tag, int formCode) {
        tag_ = tag;
        formCode_ = formCode;
    }

    int tag() const { return tag_; }
    int formCode() const { return formCode_; }
    const uint8_t* data() const { return data_; }
    int length() const { return length_; }
    bool borrowed() const { return borrowed_; }

protected:
    void freeBytes();

    int32_t tag_ = -1;
    int32_t formCode_ = 0;
    uint8_t* data_ = nullptr;
    int32_t length_ = 0;
    bool borrowed_ = true;
};

// Always written as an OCTET STRING around its bytes.
class DerOctetString : public DerRaw {
public:
    DerOctetString() = default;
    DerOctetString(const uint8_t* data, int length, bool copy) : DerRaw(data, length, copy) {}

    uint32_t typeCode() const override { return kTypeOctetString; }
    int encode(ByteSink* sink) override;
    // Reads one header (tag not checked) and the content into owned bytes.
    int decode(ByteSource& source) override;
};

}  // namespace fontseal

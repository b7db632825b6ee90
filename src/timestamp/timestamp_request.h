// SPDX-License-Identifier: Apache-2.0
// The request of the counter-signature time-stamp exchange: the signature
// value wrapped as data in a request of type 1.3.6.1.4.1.311.3.2.1, sent as
// base64 text, and the server's reply text once it has come back.
#pragma once
#include <cstdint>

#include "base/heap_bytes.h"
#include "base/memory_stream.h"
#include "der/der_value.h"

namespace fontseal {

constexpr uint32_t kTypeTimeStampRequest = derTypeCode("TSR");

class TimeStampRequest : public DerValue {
public:
    TimeStampRequest() = default;
    // borrowed: the data stays the caller's; otherwise a malloc'd block that
    // the request frees.
    TimeStampRequest(const uint8_t* data, int length, bool borrowed) {
        setData(data, length, borrowed);
    }
    TimeStampRequest(const TimeStampRequest&) = delete;
    TimeStampRequest& operator=(const TimeStampRequest&) = delete;
    ~TimeStampRequest() override { setData(nullptr, 0, true); }

    uint32_t typeCode() const override { return kTypeTimeStampRequest; }
    // SEQUENCE { OID request type, SEQUENCE { OID data, [0] { OCTET STRING
    // data } } }; the size only with a null sink.
    int encode(ByteSink* sink) override;

    // Drops the reply and any owned old data first.
    void setData(const uint8_t* data, int length, bool borrowed);
    const uint8_t* data() const { return data_; }
    int length() const { return length_; }
    bool borrowed() const { return borrowed_; }

    // The reply text, NUL-terminated, or null before a reply came back.
    char* reply() { return reinterpret_cast<char*>(reply_.get()); }
    int replySize() const { return replySize_; }
    // Takes over a malloc'd block of `size` bytes whose last byte is 0.
    void setReply(uint8_t* block, int size);

private:
    const uint8_t* data_ = nullptr;
    int32_t length_ = 0;
    bool borrowed_ = true;
    HeapBytes reply_;
    int32_t replySize_ = 0;
};

// Writes the body text of `request`: the base64 of its encoding in lines of
// 72 characters joined by CR LF, with no line end after the last line.
void encode_timestamp_request(const TimeStampRequest& request, MemoryStream& sink);

}  // namespace fontseal

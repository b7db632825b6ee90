// SPDX-License-Identifier: Apache-2.0
// PKCS#7 ContentInfo: a content type and optional content wrapped in [0].
#pragma once
#include <cstdint>

#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_value.h"

namespace fontseal {

class P7ContentInfo : public DerValue {
public:
    P7ContentInfo() = default;
    P7ContentInfo(const P7ContentInfo&) = delete;
    P7ContentInfo& operator=(const P7ContentInfo&) = delete;

    uint32_t typeCode() const override { return kTypeContentInfo; }
    // SEQUENCE { type, [0] { content wrapped in contentTag/contentFormCode } };
    // raises -5803 when the write pass differs from the size pass.
    int encode(ByteSink* sink) override;
    bool decodeFrom(DerReader& reader) override;

    bool setContentType(const char* dotted) { return contentType_.fromString(dotted); }
    // tag -1: the bytes are already a complete element. copy: own a copy,
    // otherwise borrow the caller's bytes.
    void setContent(const uint8_t* data, int length, int tag, int formCode, bool copy);

    DerOid& contentType() { return contentType_; }
    const DerOid& contentType() const { return contentType_; }
    const uint8_t* content() const { return content_.data(); }
    int contentLength() const { return content_.length(); }
    bool contentBorrowed() const { return content_.borrowed(); }
    int contentTag() const { return contentTag_; }
    int contentFormCode() const { return contentFormCode_; }

private:
    DerOid contentType_;
    DerRaw content_;  // bytes only; its own header stays unused (tag -1)
    int32_t contentTag_ = 4;
    int32_t contentFormCode_ = 0;
};

}  // namespace fontseal

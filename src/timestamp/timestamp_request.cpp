// SPDX-License-Identifier: Apache-2.0
#include "timestamp/timestamp_request.h"

#include <cstdlib>

#include "codec/mime_base64_writer.h"
#include "der/der_header.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_sequence.h"
#include "der/oids.h"

namespace fontseal {

int TimeStampRequest::encode(ByteSink* sink) {
    auto* octets = new DerOctetString(data_, length_, false);
    SharedRef<DerValue> octetsRef(octets);
    auto* explicitContent = new DerSequence(0, kFormContextConstructed);
    SharedRef<DerValue> explicitRef(explicitContent);
    explicitContent->add(octetsRef);

    auto* contentInfo = new DerSequence(kTagSequence, kFormConstructed);
    SharedRef<DerValue> contentRef(contentInfo);
    contentInfo->add(SharedRef<DerValue>(new DerOid(kOidData)));
    contentInfo->add(explicitRef);

    DerSequence request(kTagSequence, kFormConstructed);
    request.add(SharedRef<DerValue>(new DerOid(kOidTimeStampRequest)));
    request.add(contentRef);
    return request.encode(sink);
}

void TimeStampRequest::setData(const uint8_t* data, int length, bool borrowed) {
    setReply(nullptr, 0);
    if (!borrowed_) std::free(const_cast<uint8_t*>(data_));
    data_ = data;
    length_ = data && length > 0 ? length : 0;
    borrowed_ = borrowed;
}

void TimeStampRequest::setReply(uint8_t* block, int size) {
    reply_.reset(block);
    replySize_ = block ? size : 0;
}

void encode_timestamp_request(const TimeStampRequest& request, MemoryStream& sink) {
    TimeStampRequest borrowedCopy(request.data(), request.length(), true);
    const int size = borrowedCopy.encode(nullptr);
    MemoryStream der(size, MemoryStream::kDefaultGrowth);
    borrowedCopy.encode(&der);

    static const uint8_t kLineEnd[2] = {'\r', '\n'};
    MimeBase64Writer writer(der.data(), der.position(), "");
    writer.setLineCount(3);  // no MIME header lines, only the base64 body
    bool first = true;
    while (const char* line = writer.nextLine()) {
        if (!first) sink.write(kLineEnd, 2);
        first = false;
        int length = 0;
        while (line[length] != '\0') ++length;
        sink.write(reinterpret_cast<const uint8_t*>(line), length);
    }
}

}  // namespace fontseal

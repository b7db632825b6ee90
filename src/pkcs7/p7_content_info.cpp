// SPDX-License-Identifier: Apache-2.0
#include "pkcs7/p7_content_info.h"

#include "der/counting_sink.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_reader.h"
#include "base/error.h"
#include "base/memory_stream.h"

namespace fontseal {

void P7ContentInfo::setContent(const uint8_t* data, int length, int tag, int formCode, bool copy) {
    content_.setBytes(data, length, copy);
    contentTag_ = tag;
    contentFormCode_ = formCode;
}

int P7ContentInfo::encode(ByteSink* sink) {
    DerRaw wrapped(content_.data(), content_.length(), false);
    wrapped.setHeader(contentTag_, contentFormCode_);
    int inner = wrapped.encode(nullptr);
    int wrapper = writeHeader(nullptr, 0, kFormContextConstructed, inner);
    int type = contentType_.encode(nullptr);
    int body = type + wrapper + inner;
    int total = writeHeader(nullptr, kTagSequence, kFormConstructed, body) + body;
    if (!sink) return total;

    CountingSink out(*sink);
    writeHeader(&out, kTagSequence, kFormConstructed, body);
    contentType_.encode(&out);
    writeHeader(&out, 0, kFormContextConstructed, inner);
    wrapped.encode(&out);
    if (out.count() != total) throw error(kErrEncodeMismatch);
    return total;
}

bool P7ContentInfo::decodeFrom(DerReader& reader) {
    try {
        int tag = 0, formCode = 0;
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        reader.readOid(contentType_);
        if (reader.peek(tag, formCode)) {
            if (tag != 0 || formCode != kFormContextConstructed) throw error(kErrUnexpectedElement);
            reader.enter();
            MemoryStream scratch(16384, 16384);
            int length = reader.copyElement(scratch);
            content_.adopt(scratch.detach(), length);
            contentTag_ = -1;
            contentFormCode_ = 0;
            reader.expectEnd();
            reader.leave();
        } else {
            content_.setBytes(nullptr, 0, false);
            contentTag_ = kTagOctetString;
            contentFormCode_ = kFormUniversal;
        }
        reader.leave();
        return true;
    } catch (const error&) {
        return false;
    }
}

}  // namespace fontseal

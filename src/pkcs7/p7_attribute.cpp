// SPDX-License-Identifier: Apache-2.0
#include "pkcs7/p7_attribute.h"

#include "der/counting_sink.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "base/error.h"

namespace fontseal {

int P7Attribute::encode(ByteSink* sink) {
    int64_t sum = 0;
    for (auto& value : values_) {
        int size = value->encode(nullptr);
        if (size < 0) throw error(kErrEncodeMismatch);
        sum += size;
    }
    if (sum > 0x7FFFFFF0) throw error(kErrBadLength);
    int values = static_cast<int>(sum);
    int body =
        type_.encode(nullptr) + writeHeader(nullptr, kTagSet, kFormConstructed, values) + values;
    int total = writeHeader(nullptr, kTagSequence, kFormConstructed, body) + body;
    if (!sink) return total;

    CountingSink out(*sink);
    writeHeader(&out, kTagSequence, kFormConstructed, body);
    type_.encode(&out);
    writeHeader(&out, kTagSet, kFormConstructed, values);
    for (auto& value : values_) value->encode(&out);
    if (out.count() != total) throw error(kErrEncodeMismatch);
    return total;
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "der/der_sequence.h"

#include "der/der_errors.h"
#include "der/der_header.h"
#include "base/error.h"

namespace fontseal {

int DerSequence::encode(ByteSink* sink) {
    int64_t content = 0;
    for (auto& child : children_) {
        int size = child->encode(nullptr);
        if (size < 0) throw error(kErrEncodeMismatch);
        content += size;
    }
    if (content > 0x7FFFFFFF) throw error(kErrBadLength);
    int length = static_cast<int>(content);
    int header = tag_ == -1 ? 0 : writeHeader(nullptr, tag_, formCode_, length);
    if (!sink) return header + length;
    if (tag_ != -1) writeHeader(sink, tag_, formCode_, length);
    int written = 0;
    for (auto& child : children_) written += child->encode(sink);
    if (written != length) throw error(kErrEncodeMismatch);
    return header + length;
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "der/der_null.h"

#include "base/error.h"
#include "der/der_errors.h"
#include "der/der_header.h"

namespace fontseal {

int DerNull::encode(ByteSink* sink) {
    static const uint8_t kNull[2] = {0x05, 0x00};
    if (sink) sink->write(kNull, 2);
    return 2;
}

int DerNull::decode(ByteSource& source) {
    int tag = 0, formCode = 0, length = 0;
    readHeader(source, tag, formCode, length);
    if (tag != kTagNull || formCode != kFormUniversal || length != 0) {
        throw error(kErrUnexpectedElement);
    }
    return 2;
}

}  // namespace fontseal

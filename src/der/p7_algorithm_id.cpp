// SPDX-License-Identifier: Apache-2.0
#include "der/p7_algorithm_id.h"

#include "der/der_header.h"

namespace fontseal {

namespace {
const uint8_t kDerNullBytes[2] = {0x05, 0x00};
}

P7AlgorithmId::P7AlgorithmId(const char* oid, bool nullParameters) : algorithm_(oid) {
    if (nullParameters) parameters_.setBytes(kDerNullBytes, 2, false);
}

int P7AlgorithmId::encode(ByteSink* sink) {
    int length = algorithm_.encode(nullptr) + parameters_.encode(nullptr);
    int header = writeHeader(sink, kTagSequence, kFormConstructed, length);
    if (sink) {
        algorithm_.encode(sink);
        parameters_.encode(sink);
    }
    return header + length;
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Identifier and length octets, shared by every encoder and the reader.
#pragma once
#include <cstdint>

#include "base/byte_stream.h"

namespace fontseal {

// Form codes: the top three bits of the identifier octet.
enum : int {
    kFormUniversal = 0,
    kFormConstructed = 1,  // universal constructed (SEQUENCE, SET)
    kFormContext = 4,
    kFormContextConstructed = 5,
    // Options accepted by writeHeader only; they never reach the octet.
    kFormForceHighTag = 0x08,
    kFormForceLongLength = 0x10,
};

enum : int {
    kTagEndOfContents = 0,
    kTagBoolean = 1,
    kTagInteger = 2,
    kTagBitString = 3,
    kTagOctetString = 4,
    kTagNull = 5,
    kTagOid = 6,
    kTagSequence = 16,
    kTagSet = 17,
    kTagUtcTime = 23,
};

// Writes identifier and length octets (nothing with a null sink) and returns
// their count. A negative length raises -5810.
int writeHeader(ByteSink* sink, int tag, int formCode, int length);

// Reads identifier and length octets; length -1 means indefinite. Returns the
// number of octets read.
int readHeader(ByteSource& source, int& tag, int& formCode, int& length);

// An INTEGER in its shortest two's-complement form; size only with a null sink.
int encodeInteger(ByteSink* sink, int value);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Codes raised (as `error`) by the DER layer and the decoders built on it.
#pragma once
#include <cstdint>

namespace fontseal {

enum : int32_t {
    kErrHeaderTooLong = -5821,        // an element header longer than the capture
    kErrEncodeMismatch = -5803,     // size pass and write pass disagree
    kErrUnexpectedElement = -5804,  // missing, mistyped or surplus element
    kErrBadVersion = -5805,
    kErrNotSignedData = -5806,
    kErrBadInnerContent = -5807,
    kErrBadDigestAlgorithm = -5808,
    kErrTagOverflow = -5809,  // high tag number or OID arc too large
    kErrBadLength = -5810,    // length form or value that cannot be held
    kErrBadInteger = -5811,
    kErrBadOid = -5812,  // OID that cannot be encoded
    kErrBadUtcTime = -5813,
    kErrPastParent = -5815,  // element runs past what encloses it
    kErrBufferTooSmall = -5816,
    kErrBadBitString = -5817,
};

}  // namespace fontseal

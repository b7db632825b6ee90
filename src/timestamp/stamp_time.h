// SPDX-License-Identifier: Apache-2.0
// The time a time stamp vouches for, as seconds since 1970-01-01 UTC.
#pragma once
#include <openssl/asn1.h>

#include <cstdint>

namespace fontseal {

// A UTCTime or GeneralizedTime (fractions of a second dropped). False for
// anything else or a time that does not read.
bool asn1_time_seconds(const ASN1_TIME* time, int64_t& seconds);

// The same for a whole DER element (header included).
bool der_time_seconds(const uint8_t* element, int length, int64_t& seconds);

}  // namespace fontseal

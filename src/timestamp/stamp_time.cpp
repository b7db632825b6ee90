// SPDX-License-Identifier: Apache-2.0
#include "timestamp/stamp_time.h"

#include <ctime>

namespace fontseal {

bool asn1_time_seconds(const ASN1_TIME* time, int64_t& seconds) {
    struct tm parts = {};
    if (!time || !ASN1_TIME_to_tm(time, &parts)) return false;
    // OpenSSL gives the broken-down time in UTC; timegm reads it as such,
    // whatever the process's time zone.
    const time_t value = timegm(&parts);
    if (value == static_cast<time_t>(-1)) return false;
    seconds = static_cast<int64_t>(value);
    return true;
}

bool der_time_seconds(const uint8_t* element, int length, int64_t& seconds) {
    if (!element || length <= 0) return false;
    const unsigned char* p = element;
    ASN1_TIME* time = d2i_ASN1_TIME(nullptr, &p, length);
    const bool ok = time && p == element + length && asn1_time_seconds(time, seconds);
    ASN1_TIME_free(time);
    return ok;
}

}  // namespace fontseal

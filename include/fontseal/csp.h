// SPDX-License-Identifier: Apache-2.0
// The system-store signer and its certificate entries, as a C++ host sees
// them. The order of the virtual operations is part of the exported
// interface: hosts call them through the virtual tables.
#pragma once
#include <cstdint>
#include <string>

#include "fontseal/fontseal.h"

namespace fontseal {

// A calendar time in UTC, laid out like the platform's SYSTEMTIME.
struct SystemTime {
    uint16_t year;
    uint16_t month;
    uint16_t dayOfWeek;
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

constexpr uint32_t kCspTypeAbstract = 0x41425354;  // "ABST"

class CspCert;

class Csp {
public:
    virtual ~Csp() = default;
    virtual uint32_t typeCode() const { return kCspTypeAbstract; }
    virtual int enumCertificates() = 0;
    virtual CspCert* certificateAt(int index) = 0;
    // Signs `content` (the body of the content SEQUENCE) with `cert`'s key.
    // *out receives a malloc'd DER ContentInfo (signedData) that the caller
    // frees, also after a failure. Returns its length, or -1.
    virtual int sign(CspCert* cert, const uint8_t* content, int content_length, int use_sha1,
                     int statement, const char16_t* program_name, const char* more_info_url,
                     uint8_t** out) = 0;
};

// Entries live inside their signer's list and are destroyed by it, so the
// interface has no virtual destructor.
class CspCert {
public:
    virtual uint32_t typeCode() const { return kCspTypeAbstract; }
    virtual const uint8_t* thumbprint() const = 0;
    virtual bool hasPrivateKey() const = 0;
    virtual std::string subjectName() const = 0;
    virtual std::string friendlyName() const = 0;
    virtual std::string issuerName() const = 0;
    virtual SystemTime validFrom() const = 0;
    virtual SystemTime validTo() const = 0;
    virtual Csp* owner() const = 0;

protected:
    ~CspCert() = default;
};

}  // namespace fontseal

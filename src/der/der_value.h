// SPDX-License-Identifier: Apache-2.0
// The base of every ASN.1 value the library writes or reads. Values are
// shared through SharedRef<DerValue> and told apart by their type code.
#pragma once
#include <cstdint>

#include "base/byte_stream.h"

namespace fontseal {

class DerReader;

// Type codes: the bytes of a short name, most significant first.
constexpr uint32_t derTypeCode(const char* name) {
    uint32_t code = 0;
    for (int i = 0; name[i] != '\0' && i < 4; ++i) code = (code << 8) | uint8_t(name[i]);
    return code;
}

constexpr uint32_t kTypeAbstract = derTypeCode("ABST");
constexpr uint32_t kTypeRaw = derTypeCode("RAW");
constexpr uint32_t kTypeOctetString = derTypeCode("OCT");
constexpr uint32_t kTypeOid = derTypeCode("OID");
constexpr uint32_t kTypeSequence = derTypeCode("SEQ");
constexpr uint32_t kTypeAlgorithmId = derTypeCode("P7AI");
constexpr uint32_t kTypeCertificateInfo = derTypeCode("X509");
constexpr uint32_t kTypeCertificate = derTypeCode("P7EC");
constexpr uint32_t kTypeContentInfo = derTypeCode("P7CI");
constexpr uint32_t kTypeReadSignerInfo = derTypeCode("P7ES");
constexpr uint32_t kTypeSignedData = derTypeCode("P7SD");
constexpr uint32_t kTypeSignerInfo = derTypeCode("P7SI");
constexpr uint32_t kTypeAttribute = derTypeCode("P7AT");
constexpr uint32_t kTypeNull = derTypeCode("NULL");
constexpr uint32_t kTypeDigestContent = derTypeCode("SIDC");

class DerValue {
public:
    DerValue() = default;
    DerValue(const DerValue&) = default;
    DerValue& operator=(const DerValue&) = default;
    virtual ~DerValue() = default;

    virtual uint32_t typeCode() const { return kTypeAbstract; }
    // Writes the whole element (header and content) and returns its size;
    // with a null sink only the size is computed.
    virtual int encode(ByteSink* sink) {
        (void)sink;
        return -1;
    }
    // Reads the reader's next element into this value; false when it cannot.
    virtual bool decodeFrom(DerReader& reader) {
        (void)reader;
        return false;
    }
    // Reads one element straight from a source; returns the bytes consumed.
    virtual int decode(ByteSource& source) {
        (void)source;
        return -1;
    }
};

}  // namespace fontseal

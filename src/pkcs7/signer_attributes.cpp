// SPDX-License-Identifier: Apache-2.0
#include "pkcs7/signer_attributes.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/heap_bytes.h"
#include "base/memory_stream.h"
#include "der/der_header.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_sequence.h"
#include "x509/key_purpose_list.h"

namespace fontseal {

namespace {

// BIT STRING, no unused bits, bits 03 00 00 00.
const uint8_t kSignerFlags[7] = {0x03, 0x05, 0x00, 0x03, 0x00, 0x00, 0x00};

// [outerTag] { [0] bytes }, the shape of both publisher-info choices.
SharedRef<DerValue> wrapChoice(int outerTag, SharedRef<DerValue> bytes) {
    auto* inner = new DerSequence(0, kFormContext);
    SharedRef<DerValue> innerRef(inner);
    inner->add(bytes);
    auto* outer = new DerSequence(outerTag, kFormContextConstructed);
    SharedRef<DerValue> outerRef(outer);
    outer->add(innerRef);
    return outerRef;
}

SharedRef<DerValue> bigEndianUtf16(const char16_t* text) {
    size_t units = 0;
    while (text[units] != 0) ++units;
    auto* raw = new DerRaw();
    SharedRef<DerValue> rawRef(raw);
    if (units == 0) return rawRef;
    if (units > 0x3FFFFFF0) throw std::bad_alloc();
    HeapBytes bytes(static_cast<uint8_t*>(std::malloc(units * 2)));
    if (!bytes) throw std::bad_alloc();
    for (size_t i = 0; i < units; ++i) {
        bytes.get()[2 * i] = static_cast<uint8_t>(text[i] >> 8);
        bytes.get()[2 * i + 1] = static_cast<uint8_t>(text[i] & 0xFF);
    }
    raw->adopt(bytes.release(), static_cast<int>(units * 2));
    return rawRef;
}

SharedRef<DerValue> publisherInfo(const char16_t* program_name, const char* more_info_url) {
    auto* info = new DerSequence(kTagSequence, kFormConstructed);
    SharedRef<DerValue> infoRef(info);
    if (program_name) info->add(wrapChoice(0, bigEndianUtf16(program_name)));
    if (more_info_url) {
        size_t length = std::strlen(more_info_url);
        if (length > 0x7FFFFFF0) throw std::bad_alloc();
        SharedRef<DerValue> url(new DerRaw(reinterpret_cast<const uint8_t*>(more_info_url),
                                           static_cast<int>(length), false));
        info->add(wrapChoice(1, url));
    }
    return infoRef;
}

// SEQUENCE { the individual or the commercial code-signing purpose }.
SharedRef<DerValue> statement(bool commercial) {
    auto* value = new DerSequence(kTagSequence, kFormConstructed);
    SharedRef<DerValue> valueRef(value);
    value->add(SharedRef<DerValue>(
        new DerOid(commercial ? kOidCommercialCodeSigning : kOidIndividualCodeSigning)));
    return valueRef;
}

std::vector<uint8_t> encoded(DerValue& value) {
    MemoryStream out(value.encode(nullptr));
    value.encode(&out);
    return std::vector<uint8_t>(out.data(), out.data() + out.position());
}

SharedRef<P7Attribute> attributeOf(const char* type, SharedRef<DerValue> value) {
    SharedRef<P7Attribute> attribute(new P7Attribute(type));
    attribute->add(value);
    return attribute;
}

}  // namespace

SharedRef<P7Attribute> make_publisher_info_attribute(const char16_t* program_name,
                                                     const char* more_info_url) {
    return attributeOf(kOidPublisherInfo, publisherInfo(program_name, more_info_url));
}

SharedRef<P7Attribute> make_signer_flags_attribute() {
    return attributeOf(kOidSignerFlags,
                       SharedRef<DerValue>(new DerRaw(kSignerFlags, sizeof kSignerFlags, false)));
}

SharedRef<P7Attribute> make_statement_attribute(bool commercial) {
    return attributeOf(kOidStatementType, statement(commercial));
}

std::vector<uint8_t> publisher_info_value(const char16_t* program_name, const char* more_info_url) {
    return encoded(*publisherInfo(program_name, more_info_url));
}

std::vector<uint8_t> signer_flags_value() {
    return std::vector<uint8_t>(kSignerFlags, kSignerFlags + sizeof kSignerFlags);
}

std::vector<uint8_t> statement_value(bool commercial) { return encoded(*statement(commercial)); }

bool statement_is_commercial(int statement, int32_t certificate_purpose) {
    if (statement == kStatementFromCertificate) {
        return certificate_purpose != kPurposeIndividual;
    }
    return statement == kStatementCommercial;
}

}  // namespace fontseal

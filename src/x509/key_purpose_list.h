// SPDX-License-Identifier: Apache-2.0
// The value of an extended-key-usage extension (a SEQUENCE OF OBJECT
// IDENTIFIER) and the code-signing purpose that it grants.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/grow_array.h"
#include "der/der_oid.h"
#include "der/der_value.h"
#include "der/oids.h"

namespace fontseal {

class DerReader;

// Code-signing purposes, as the statement-type choice of the signer reads them.
enum : int32_t {
    kPurposeNone = 0,
    kPurposeIndividual = 1,
    kPurposeCommercial = 2,
};


// Keeps the base type code: it is only ever decoded, never listed or written.
class KeyPurposeList : public DerValue {
public:
    KeyPurposeList() = default;
    KeyPurposeList(const KeyPurposeList&) = delete;
    KeyPurposeList& operator=(const KeyPurposeList&) = delete;

    // Reads a SEQUENCE of OBJECT IDENTIFIERs; false on any other shape.
    bool decodeFrom(DerReader& reader) override;

    const GrowArray<DerOid>& purposes() const { return purposes_; }

    // Commercial code signing wins over individual, whatever their order;
    // kPurposeNone when neither is listed. This only picks the statement
    // type: whether the certificate may sign code at all is
    // certificate_code_signing's question.
    int32_t codeSigningPurpose() const;

    // Lists 1.3.6.1.5.5.7.3.3 (code signing).
    bool listsCodeSigning() const;

private:
    GrowArray<DerOid> purposes_{16, 0xDF};
};

// Whether a certificate may sign code: one rule for signing (which warns)
// and verifying (which refuses), the one Windows' Authenticode policy and
// OpenSSL's purpose checks apply. An extended-key-usage extension must list
// 1.3.6.1.5.5.7.3.3 (code signing): the Microsoft statement purposes
// 1.3.6.1.4.1.311.2.1.21/22 and anyExtendedKeyUsage alone do not grant it. A
// key-usage extension must include digitalSignature. A certificate without
// either extension may sign code.
enum class CodeSigningUse {
    kAllowed,
    kNotForCodeSigning,   // its extended key usage lacks code signing
    kNoDigitalSignature,  // its key usage lacks digitalSignature
    kUnreadable,          // its extensions cannot be read
};

// Judges the DER certificate at `der` (`length` bytes), of any key type.
CodeSigningUse certificate_code_signing(const uint8_t* der, size_t length);

// The fault in words, as verify reports it ("" for kAllowed).
const char* code_signing_fault(CodeSigningUse use);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The fields of an X.509 certificate that signing needs: the RSA public key
// (to find the certificate belonging to the private key), the issuer and
// serial number (for IssuerAndSerialNumber) and the code-signing purpose.
// Validity, signature, subject and chain are deliberately not looked at.
#pragma once
#include <cstdint>
#include <vector>

#include "der/oids.h"
#include "der/der_oid.h"
#include "der/der_value.h"
#include "x509/key_purpose_list.h"

namespace fontseal {

class DerReader;


// Shared through SharedRef<CertificateInfo>; final so it is always deleted
// through its own type.
class CertificateInfo final {
public:
    CertificateInfo() = default;
    CertificateInfo(const CertificateInfo&) = delete;
    CertificateInfo& operator=(const CertificateInfo&) = delete;

    virtual uint32_t typeCode() const { return kTypeCertificateInfo; }

    // Reads one Certificate (the reader positioned at its SEQUENCE). Every
    // structural fault ends in false; the fields may then be partly filled.
    bool decodeFrom(DerReader& reader);

    const DerOid& publicKeyAlgorithm() const { return algorithm_; }
    // RSA modulus and public exponent: the INTEGER content octets as a
    // little-endian two's-complement number, exactly as long as the content
    // (a positive modulus with its top bit set keeps a final 0x00 byte).
    int modulusLength() const { return static_cast<int>(modulus_.size()); }
    const uint8_t* modulus() const { return modulus_.data(); }
    int exponentLength() const { return static_cast<int>(exponent_.size()); }
    const uint8_t* exponent() const { return exponent_.data(); }
    // Complete DER elements, header included: the issuer Name and the
    // serialNumber INTEGER.
    int issuerLength() const { return static_cast<int>(issuer_.size()); }
    const uint8_t* issuer() const { return issuer_.data(); }
    int serialLength() const { return static_cast<int>(serial_.size()); }
    const uint8_t* serial() const { return serial_.data(); }
    // kPurposeNone, kPurposeIndividual or kPurposeCommercial.
    int32_t purpose() const { return purpose_; }

private:
    void readCertificate(DerReader& reader);
    void readPublicKey(DerReader& reader);
    void readExtensions(DerReader& reader);

    DerOid algorithm_;
    std::vector<uint8_t> modulus_;
    std::vector<uint8_t> exponent_;
    std::vector<uint8_t> issuer_;
    std::vector<uint8_t> serial_;
    int32_t purpose_ = kPurposeNone;
};

}  // namespace fontseal

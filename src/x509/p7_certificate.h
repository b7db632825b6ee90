// SPDX-License-Identifier: Apache-2.0
// One certificate as the certificate list and the SignedData certificates
// field hold it: the element exactly as read, plus the extracted fields.
#pragma once
#include <cstdint>

#include "x509/certificate_info.h"
#include "der/der_raw.h"
#include "der/der_value.h"
#include "base/shared_ref.h"

namespace fontseal {

class DerReader;

class P7Certificate : public DerValue {
public:
    // Both references empty.
    P7Certificate() = default;
    // Copies share the captured bytes and the extracted fields.
    P7Certificate(const P7Certificate&) = default;
    P7Certificate& operator=(const P7Certificate&) = default;
    ~P7Certificate() override = default;

    uint32_t typeCode() const override { return kTypeCertificate; }
    // Writes the certificate back byte for byte as it was read (also
    // non-minimal or indefinite lengths). -1 when nothing was read.
    int encode(ByteSink* sink) override;
    // Reads a Certificate (SEQUENCE) or an extended certificate ([0]).
    // Another element is skipped and gives false; so does a certificate
    // that cannot be read (for instance a non-RSA key). After false the
    // entry may be partly filled and is to be discarded.
    bool decodeFrom(DerReader& reader) override;

    const SharedRef<DerRaw>& raw() const { return raw_; }
    const SharedRef<CertificateInfo>& info() const { return info_; }
    void setRaw(const SharedRef<DerRaw>& raw) { raw_ = raw; }
    void setInfo(const SharedRef<CertificateInfo>& info) { info_ = info; }

private:
    SharedRef<DerRaw> raw_;
    SharedRef<CertificateInfo> info_;
};

}  // namespace fontseal

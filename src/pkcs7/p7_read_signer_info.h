// SPDX-License-Identifier: Apache-2.0
// A SignerInfo read from an existing blob, kept as captured elements so it
// is written back byte for byte.
#pragma once
#include <cstdint>

#include "pkcs7/p7_signer_info_base.h"
#include "base/shared_ref.h"

namespace fontseal {

class P7ReadSignerInfo : public P7SignerInfoBase {
public:
    uint32_t typeCode() const override { return kTypeReadSignerInfo; }
    int encode(ByteSink* sink) override;
    bool decodeFrom(DerReader& reader) override;
    // The code that made the last decodeFrom fail (0 after success).
    int decodeError() const { return decodeError_; }
    DigestAlgorithm digestKind() const override { return digestKind_; }

    // Each part is the complete element (header included), normally a
    // DerRaw; the attribute sets are empty references when absent.
    const SharedRef<DerValue>& version() const { return version_; }
    const SharedRef<DerValue>& issuerAndSerialNumber() const { return issuerAndSerial_; }
    const SharedRef<DerValue>& digestAlgorithm() const { return digestAlgorithm_; }
    const SharedRef<DerValue>& authenticatedAttributes() const { return authenticated_; }
    const SharedRef<DerValue>& digestEncryptionAlgorithm() const { return encryptionAlgorithm_; }
    const SharedRef<DerValue>& encryptedDigest() const { return encryptedDigest_; }
    const SharedRef<DerValue>& unauthenticatedAttributes() const { return unauthenticated_; }
    // Replaces the [1] element (a value that encodes as the whole [1]).
    void setUnauthenticatedAttributes(const SharedRef<DerValue>& value) {
        unauthenticated_ = value;
    }

private:
    SharedRef<DerValue> version_;
    SharedRef<DerValue> issuerAndSerial_;
    SharedRef<DerValue> digestAlgorithm_;
    SharedRef<DerValue> authenticated_;
    SharedRef<DerValue> encryptionAlgorithm_;
    SharedRef<DerValue> encryptedDigest_;
    SharedRef<DerValue> unauthenticated_;
    DigestAlgorithm digestKind_ = DigestAlgorithm::kMd5;
    int32_t decodeError_ = 0;
};

}  // namespace fontseal

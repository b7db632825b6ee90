// SPDX-License-Identifier: Apache-2.0
// PKCS#7 SignedData, read from a ContentInfo of type signedData and written
// back as one.
#pragma once
#include <cstdint>

#include "der/oids.h"
#include "der/der_oid.h"
#include "der/der_value.h"
#include "pkcs7/p7_content_info.h"
#include "base/grow_array.h"
#include "base/shared_ref.h"

namespace fontseal {


class P7SignedData : public DerValue {
public:
    using ValueList = GrowArray<SharedRef<DerValue>>;

    P7SignedData() : contentType_(kOidSignedData) {}
    P7SignedData(const P7SignedData&) = delete;
    P7SignedData& operator=(const P7SignedData&) = delete;

    uint32_t typeCode() const override { return kTypeSignedData; }
    // The whole ContentInfo { signedData, [0] SignedData }. Digest
    // algorithms are collected from the signer infos ("P7SI"/"P7ES");
    // raises -5803 when the write pass differs from the size pass.
    int encode(ByteSink* sink) override;
    // Reads a ContentInfo whose content is a SignedData.
    bool decodeFrom(DerReader& reader) override;
    // The code that made the last decodeFrom fail (0 after success).
    int decodeError() const { return decodeError_; }

    DerOid& contentType() { return contentType_; }
    SharedRef<P7ContentInfo>& content() { return content_; }
    void setContent(const SharedRef<P7ContentInfo>& content) { content_ = content; }
    // P7Certificate values after decoding.
    ValueList& certificates() { return certificates_; }
    // Never filled by the decoder; written as [1] when not empty.
    ValueList& revocationLists() { return revocationLists_; }
    // P7ReadSignerInfo values after decoding; signer-info values of any
    // P7SignerInfoBase class when writing.
    ValueList& signerInfos() { return signerInfos_; }

private:
    void clear();

    DerOid contentType_;
    SharedRef<P7ContentInfo> content_;
    ValueList certificates_{16, 0xDF};
    ValueList revocationLists_{16, 0xDF};
    ValueList signerInfos_{16, 0xDF};
    int32_t decodeError_ = 0;
};

}  // namespace fontseal

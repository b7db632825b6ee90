// SPDX-License-Identifier: Apache-2.0
// The SignerInfo of a signature made with the publisher's own key. It is
// signed while it is written: every write pass digests the content and the
// authenticated attributes afresh and signs the result.
#pragma once
#include <cstdint>

#include "base/grow_array.h"
#include "base/shared_ref.h"
#include "der/der_raw.h"
#include "der/oids.h"
#include "key/signing_key.h"
#include "pkcs7/p7_attribute.h"
#include "pkcs7/p7_content_info.h"
#include "pkcs7/p7_signer_info_base.h"

namespace fontseal {

// Raised when the key's private operation fails (for instance a modulus
// too short for the DigestInfo) or there is no key to sign with.
constexpr int32_t kErrSignatureFailed = -5814;


class P7SignerInfo : public P7SignerInfoBase {
public:
    using AttributeList = GrowArray<SharedRef<P7Attribute>>;

    // issuer and serial: complete DER elements (tag -1), usually borrowing
    // the signer certificate's bytes. `digest` serves the messageDigest, the
    // digestAlgorithm and the signed DigestInfo alike. `key` is not owned and
    // must outlive every encode.
    P7SignerInfo(const SharedRef<P7ContentInfo>& content, const SigningKey* key,
                 const SharedRef<DerRaw>& issuer, const SharedRef<DerRaw>& serial,
                 DigestAlgorithm digest)
        : content_(content), key_(key), issuer_(issuer), serial_(serial), digest_(digest) {}
    P7SignerInfo(const P7SignerInfo&) = delete;
    P7SignerInfo& operator=(const P7SignerInfo&) = delete;

    uint32_t typeCode() const override { return kTypeSignerInfo; }
    DigestAlgorithm digestKind() const override { return digest_; }
    // The whole SignerInfo SEQUENCE. With a sink the content is digested and
    // the signature made; without one only the size is computed. Raises
    // -5803 when the two disagree, kErrSignatureFailed when the key fails.
    int encode(ByteSink* sink) override;

    // Written in list order, followed by contentType and messageDigest,
    // which exist only in the encoding.
    AttributeList& authenticatedAttributes() { return authenticated_; }
    AttributeList& unauthenticatedAttributes() { return unauthenticated_; }

private:
    int encodeBody(ByteSink* sink);
    // Digests `length` bytes with the signer's algorithm into `digest`.
    void digestBytes(const uint8_t* data, int length, uint8_t* digest) const;

    SharedRef<P7ContentInfo> content_;
    const SigningKey* key_;
    SharedRef<DerRaw> issuer_;
    SharedRef<DerRaw> serial_;
    AttributeList authenticated_{16, 0xDF};
    AttributeList unauthenticated_{16, 0xDF};
    DigestAlgorithm digest_;
};

}  // namespace fontseal

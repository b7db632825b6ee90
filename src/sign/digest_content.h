// SPDX-License-Identifier: Apache-2.0
// The content that a font signature covers: a fixed link attribute followed
// by a DigestInfo of the font image's digest.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/shared_ref.h"
#include "der/der_value.h"
#include "der/digest_algorithm.h"
#include "der/oids.h"

namespace fontseal {

class DigestContent : public DerValue {
public:
    // Digest algorithm and bytes (digest_size of the algorithm), copied.
    DigestContent(DigestAlgorithm algorithm, const uint8_t* digest, int digestLength);
    ~DigestContent() override;
    DigestContent(const DigestContent&) = delete;
    DigestContent& operator=(const DigestContent&) = delete;

    uint32_t typeCode() const override { return kTypeDigestContent; }
    // The link attribute and the DigestInfo, one after the other, without an
    // enclosing header.
    int encode(ByteSink* sink) override;

    const uint8_t* digest() const { return digest_; }
    int digestLength() const { return digestLength_; }

private:
    SharedRef<DerValue> algorithm_;
    uint8_t* digest_ = nullptr;
    int32_t digestLength_ = 0;
};

// Returns the size of the content for `data` (80 with MD5, 81 with SHA-1,
// 97, 113 and 129 with SHA-256, -384 and -512) and, when `out` is given,
// writes it there. A buffer too small raises error 259 without writing past
// out_capacity. -1 when the digest cannot be computed.
int32_t build_digest_content(const uint8_t* data, int length, DigestAlgorithm algorithm,
                             uint8_t* out, int out_capacity);
// The original selector: non-zero SHA-1, zero MD5.
inline int32_t build_digest_content(const uint8_t* data, int length, int use_sha1, uint8_t* out,
                                    int out_capacity) {
    return build_digest_content(data, length, digest_from_use_sha1(use_sha1), out, out_capacity);
}

// The digest of a font image taken piece by piece as the image is laid out,
// so the image never has to be held whole.
class ImageDigest {
public:
    static constexpr int kMaxLength = 64;

    explicit ImageDigest(DigestAlgorithm algorithm);
    ~ImageDigest();
    ImageDigest(const ImageDigest&) = delete;
    ImageDigest& operator=(const ImageDigest&) = delete;

    void update(const uint8_t* data, size_t length);
    // Writes the digest (kMaxLength bytes at most) to `out` and returns its
    // length; -1 when the digest could not be taken.
    int finish(uint8_t* out);

private:
    struct Context;
    Context* context_;
    bool failed_ = false;
};

// The same content from the image's finished digest (`digest_length` bytes
// of ImageDigest::finish); -1 for a length that is not the algorithm's.
int32_t build_digest_content_for_digest(const uint8_t* digest, int digest_length,
                                        DigestAlgorithm algorithm, uint8_t* out, int out_capacity);

}  // namespace fontseal

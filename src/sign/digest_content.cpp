// SPDX-License-Identifier: Apache-2.0
#include "sign/digest_content.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_null.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_sequence.h"
#include "der/oids.h"

namespace fontseal {

namespace {

// "<<<Obsolete>>>" as big-endian UTF-16, the file choice of the link.
const uint8_t kObsoleteText[28] = {0x00, 0x3C, 0x00, 0x3C, 0x00, 0x3C, 0x00, 0x4F, 0x00, 0x62,
                                   0x00, 0x73, 0x00, 0x6F, 0x00, 0x6C, 0x00, 0x65, 0x00, 0x74,
                                   0x00, 0x65, 0x00, 0x3E, 0x00, 0x3E, 0x00, 0x3E};

template <class T, class... Args>
SharedRef<DerValue> make(Args&&... args) {
    return SharedRef<DerValue>(new T(std::forward<Args>(args)...));
}

}  // namespace

DigestContent::DigestContent(DigestAlgorithm algorithm, const uint8_t* digest, int digestLength)
    : algorithm_(new DerOid(digest_oid(algorithm))) {
    if (digestLength > 0) {
        digest_ = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(digestLength)));
        if (!digest_) throw std::bad_alloc();
        std::memcpy(digest_, digest, static_cast<size_t>(digestLength));
        digestLength_ = digestLength;
    }
}

DigestContent::~DigestContent() { std::free(digest_); }

int DigestContent::encode(ByteSink* sink) {
    auto* bmp = new DerSequence(0, kFormContext);
    SharedRef<DerValue> bmpRef(bmp);
    bmp->add(make<DerRaw>(kObsoleteText, int(sizeof kObsoleteText), false));
    auto* file = new DerSequence(2, kFormContextConstructed);
    SharedRef<DerValue> fileRef(file);
    file->add(bmpRef);
    DerSequence link(kTagSequence, kFormConstructed);
    link.add(make<DerOid>(kOidLinkAttribute));
    link.add(fileRef);

    auto* algorithmId = new DerSequence(kTagSequence, kFormConstructed);
    SharedRef<DerValue> algorithmIdRef(algorithmId);
    algorithmId->add(algorithm_);
    algorithmId->add(make<DerNull>());
    DerSequence digestInfo(kTagSequence, kFormConstructed);
    digestInfo.add(algorithmIdRef);
    digestInfo.add(make<DerOctetString>(digest_, int(digestLength_), false));

    return link.encode(sink) + digestInfo.encode(sink);
}

struct ImageDigest::Context {
    EVP_MD_CTX* md = nullptr;
};

ImageDigest::ImageDigest(DigestAlgorithm algorithm) : context_(new Context) {
    context_->md = EVP_MD_CTX_new();
    const EVP_MD* md = message_digest(algorithm);
    failed_ = !context_->md || !md || !EVP_DigestInit_ex(context_->md, md, nullptr);
}

ImageDigest::~ImageDigest() {
    EVP_MD_CTX_free(context_->md);
    delete context_;
}

void ImageDigest::update(const uint8_t* data, size_t length) {
    if (failed_ || length == 0) return;
    if (!EVP_DigestUpdate(context_->md, data, length)) failed_ = true;
}

int ImageDigest::finish(uint8_t* out) {
    static_assert(kMaxLength >= EVP_MAX_MD_SIZE, "room for any digest");
    unsigned int length = 0;
    if (failed_ || !EVP_DigestFinal_ex(context_->md, out, &length)) {
        failed_ = true;
        return -1;
    }
    failed_ = true;  // finished: no further updates
    return static_cast<int>(length);
}

int32_t build_digest_content_for_digest(const uint8_t* digest, int digest_length,
                                        DigestAlgorithm algorithm, uint8_t* out,
                                        int out_capacity) {
    if (!digest || digest_length != digest_size(algorithm)) return -1;
    DigestContent content(algorithm, digest, digest_length);
    if (!out) return content.encode(nullptr);
    MemoryStream sink(out, out_capacity);
    return content.encode(&sink);
}

int32_t build_digest_content(const uint8_t* data, int length, DigestAlgorithm algorithm,
                             uint8_t* out, int out_capacity) {
    uint8_t digest[kMaxDigestSize];
    if (length < 0 || !data) length = 0;
    if (!digest_bytes(algorithm, data, static_cast<size_t>(length), digest)) return -1;
    DigestContent content(algorithm, digest, digest_size(algorithm));
    if (!out) return content.encode(nullptr);
    MemoryStream sink(out, out_capacity);
    return content.encode(&sink);
}

}  // namespace fontseal

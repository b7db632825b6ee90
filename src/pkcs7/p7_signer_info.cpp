// SPDX-License-Identifier: Apache-2.0
#include "pkcs7/p7_signer_info.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/counting_sink.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_sequence.h"
#include "der/p7_algorithm_id.h"
#include "x509/certificate_info.h"

namespace fontseal {

namespace {

int sizeOfAttributes(P7SignerInfo::AttributeList& list) {
    int64_t sum = 0;
    for (auto& attribute : list) sum += attribute->encode(nullptr);
    if (sum > 0x7FFFFFF0) throw error(kErrBadLength);
    return static_cast<int>(sum);
}

void writeAttributes(ByteSink* sink, P7SignerInfo::AttributeList& list) {
    for (auto& attribute : list) attribute->encode(sink);
}

using Encoding = std::vector<uint8_t>;

Encoding encodingOf(DerValue& value) {
    MemoryStream out;
    value.encode(&out);
    return Encoding(out.data(), out.data() + out.position());
}

// DER order of a SET OF: the encodings compared as octet strings, the
// shorter one padded with zero octets at its end.
bool derLess(const Encoding& a, const Encoding& b) {
    const size_t common = std::min(a.size(), b.size());
    const int order = common ? std::memcmp(a.data(), b.data(), common) : 0;
    if (order != 0) return order < 0;
    const Encoding& longer = a.size() > b.size() ? a : b;
    const bool tailIsZero =
        std::all_of(longer.begin() + long(common), longer.end(), [](uint8_t x) { return x == 0; });
    return !tailIsZero && a.size() < b.size();
}

// The authenticated attributes as they are both written under [0] and
// signed under SET: the caller's list, contentType and messageDigest, each
// encoded once and then put in DER order, which a SET OF demands and which
// verifiers re-establish before they check the signature. Raises
// kErrEncodeMismatch when the encodings do not add up to `length`, the
// size the first pass announced.
std::vector<Encoding> signedAttributes(P7SignerInfo::AttributeList& list, P7Attribute& contentType,
                                       P7Attribute& messageDigest, int length) {
    std::vector<Encoding> encodings;
    for (auto& attribute : list) encodings.push_back(encodingOf(*attribute));
    encodings.push_back(encodingOf(contentType));
    encodings.push_back(encodingOf(messageDigest));
    int64_t total = 0;
    for (const Encoding& e : encodings) total += int64_t(e.size());
    if (total != length) throw error(kErrEncodeMismatch);
    std::stable_sort(encodings.begin(), encodings.end(), derLess);
    return encodings;
}

void writeEncodings(ByteSink* sink, const std::vector<Encoding>& encodings) {
    for (const Encoding& e : encodings) sink->write(e.data(), static_cast<int>(e.size()));
}

}  // namespace

void P7SignerInfo::digestBytes(const uint8_t* data, int length, uint8_t* digest) const {
    static const uint8_t kEmpty[1] = {0};
    if (!data || length <= 0) {
        data = kEmpty;
        length = 0;
    }
    if (!digest_bytes(digest_, data, static_cast<size_t>(length), digest)) {
        throw error(kErrSignatureFailed);
    }
}

int P7SignerInfo::encode(ByteSink* sink) {
    int body = encodeBody(nullptr);
    int total = writeHeader(nullptr, kTagSequence, kFormConstructed, body) + body;
    if (!sink) return total;

    writeHeader(sink, kTagSequence, kFormConstructed, body);
    CountingSink out(*sink);
    encodeBody(&out);
    if (out.count() != body) throw error(kErrEncodeMismatch);
    return total;
}

int P7SignerInfo::encodeBody(ByteSink* sink) {
    if (!content_ || !issuer_ || !serial_) throw error(kErrUnexpectedElement);
    if (!key_) throw error(kErrSignatureFailed);

    // The size pass needs only the digest's length, not its value.
    const int digestSize = digest_size(digest_);
    uint8_t digest[kMaxDigestSize] = {0};
    if (sink) digestBytes(content_->content(), content_->contentLength(), digest);

    P7Attribute contentType(kOidContentTypeAttribute);
    contentType.add(SharedRef<DerValue>(new DerOid(content_->contentType())));
    P7Attribute messageDigest(kOidMessageDigestAttribute);
    messageDigest.add(SharedRef<DerValue>(new DerOctetString(digest, digestSize, true)));

    int size = encodeInteger(sink, 1);
    int issuerAndSerial = issuer_->encode(nullptr) + serial_->encode(nullptr);
    size += writeHeader(sink, kTagSequence, kFormConstructed, issuerAndSerial) + issuerAndSerial;
    if (sink) {
        issuer_->encode(sink);
        serial_->encode(sink);
    }
    P7AlgorithmId algorithm(digest_oid(digest_));
    size += algorithm.encode(sink);

    if (!authenticated_.empty()) {
        int64_t sum = int64_t(sizeOfAttributes(authenticated_)) + contentType.encode(nullptr) +
                      messageDigest.encode(nullptr);
        if (sum > 0x7FFFFFF0) throw error(kErrBadLength);
        int length = static_cast<int>(sum);
        size += writeHeader(sink, 0, kFormContextConstructed, length) + length;
        if (sink) {
            const std::vector<Encoding> attributes =
                signedAttributes(authenticated_, contentType, messageDigest, length);
            writeEncodings(sink, attributes);
            // The signature covers the same attributes with the SET
            // identifier in place of [0].
            MemoryStream set(writeHeader(nullptr, kTagSet, kFormConstructed, length) + length, 0);
            writeHeader(&set, kTagSet, kFormConstructed, length);
            writeEncodings(&set, attributes);
            if (set.position() != set.size()) throw error(kErrEncodeMismatch);
            digestBytes(set.data(), set.position(), digest);
        }
    }

    P7AlgorithmId encryption(kOidRsaEncryption);
    size += encryption.encode(sink);

    const int signatureSize = key_->signatureSize();
    if (signatureSize <= 0) throw error(kErrSignatureFailed);
    if (sink) {
        const std::vector<uint8_t> digestInfo = fontseal::digest_info(digest_, digest);
        std::vector<uint8_t> signature;
        if (!key_->signDigestInfo(digestInfo.data(), static_cast<int>(digestInfo.size()),
                                  signature) ||
            signature.size() != static_cast<size_t>(signatureSize)) {
            throw error(kErrSignatureFailed);
        }
        size += writeHeader(sink, kTagOctetString, kFormUniversal, signatureSize) + signatureSize;
        sink->write(signature.data(), signatureSize);
    } else {
        size +=
            writeHeader(nullptr, kTagOctetString, kFormUniversal, signatureSize) + signatureSize;
    }

    if (!unauthenticated_.empty()) {
        int length = sizeOfAttributes(unauthenticated_);
        size += writeHeader(sink, 1, kFormContextConstructed, length) + length;
        if (sink) writeAttributes(sink, unauthenticated_);
    }
    return size;
}

}  // namespace fontseal

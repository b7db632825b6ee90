// The counter-signature protocol: the server signs the signature value as
// PKCS#7 data, and its signer info is the time stamp.
#include <openssl/bio.h>
#include <openssl/pkcs7.h>

#include <cstring>

#include "base/error.h"
#include "base/heap_bytes.h"
#include "base/memory_stream.h"
#include "codec/mime_base64_reader.h"
#include "der/der_header.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "der/oids.h"
#include "pkcs7/p7_attribute.h"
#include "pkcs7/p7_read_signer_info.h"
#include "pkcs7/p7_signed_data.h"
#include "base/ossl_ptr.h"
#include "timestamp/stamp_time.h"
#include "timestamp/timestamp_request.h"
#include "timestamp/timestamp_signature.h"

namespace fontseal {

namespace {

// The messageDigest of the reply signer's authenticated attributes must be
// the digest of what was sent: a server that signed anything else has not
// time-stamped this signature, and its counter-signature would never verify.
// The signingTime among them, when there is one, is the time vouched for.
bool countersigns(const P7ReadSignerInfo& signer, const uint8_t* data, int length,
                  TimeStampToken& token) {
    const SharedRef<DerValue>& attributes = signer.authenticatedAttributes();
    if (!attributes || attributes->typeCode() != kTypeRaw) return false;
    static const uint8_t kEmpty[1] = {0};
    if (!data || length <= 0) {
        data = kEmpty;
        length = 0;
    }
    uint8_t expected[kMaxDigestSize];
    if (!digest_bytes(signer.digestKind(), data, static_cast<size_t>(length), expected))
        return false;
    const int expectedLength = digest_size(signer.digestKind());

    auto* raw = static_cast<DerRaw*>(attributes.get());
    MemoryStream bytes(raw->data(), raw->length());
    DerReader reader(bytes);
    bool digestMatches = false;
    try {
        reader.expect(0, kFormContextConstructed);
        reader.enter();
        int tag = 0, formCode = 0;
        while (reader.peek(tag, formCode)) {
            reader.expect(kTagSequence, kFormConstructed);
            reader.enter();
            DerOid type;
            reader.readOid(type);
            if (type.equals(kOidMessageDigestAttribute)) {
                reader.expect(kTagSet, kFormConstructed);
                reader.enter();
                reader.expect(kTagOctetString, kFormUniversal);
                uint8_t value[kMaxDigestSize];
                if (reader.readOctets(nullptr, 0) != expectedLength) return false;
                reader.readOctets(value, sizeof value);
                if (std::memcmp(value, expected, static_cast<size_t>(expectedLength)) != 0)
                    return false;
                digestMatches = true;
                reader.leave();
            } else if (type.equals(kOidSigningTimeAttribute)) {
                reader.expect(kTagSet, kFormConstructed);
                reader.enter();
                reader.expectAny();
                MemoryStream element(0, MemoryStream::kDefaultGrowth);
                reader.copyElement(element);
                token.hasTime = der_time_seconds(element.data(), element.position(), token.time);
                reader.leave();
            }
            reader.leave();
        }
    } catch (const error&) {
        return false;
    }
    return digestMatches;
}

// The reply's signature must hold over the signature value that was sent,
// made by a certificate the reply carries: whether that certificate is to be
// trusted is for whoever checks the font, but a counter-signature that cannot
// verify at all is no time stamp.
bool signature_holds(const uint8_t* reply, int length, const TimeStampSubject& subject) {
    const unsigned char* p = reply;
    OsslPtr<PKCS7, PKCS7_free> signedData(d2i_PKCS7(nullptr, &p, length));
    static const uint8_t kEmpty = 0;
    OsslPtr<BIO, BIO_free_all> data(BIO_new_mem_buf(subject.signature ? subject.signature : &kEmpty,
                                                    subject.length > 0 ? subject.length : 0));
    return signedData && data &&
           PKCS7_verify(signedData.get(), nullptr, nullptr, data.get(), nullptr,
                        PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
}

bool obtain_counter_signature(const TimeStampSubject& subject, const char* url,
                              const TransferOptions& transfer, TimeStampToken& token) {
    TimeStampRequest request(subject.signature, subject.length, true);
    if (!post_timestamp_request(request, url, transfer)) return false;

    uint8_t* decoded = nullptr;
    const int count = decode_mime_base64(request.reply(), &decoded);
    HeapBytes bytes(decoded);
    if (count <= 0 || !bytes) return false;

    MemoryStream stream(bytes.get(), count);
    DerReader reader(stream);
    P7SignedData reply;
    if (!reply.decodeFrom(reader) || reply.signerInfos().count() != 1) return false;
    const SharedRef<DerValue>& signerInfo = reply.signerInfos()[0];
    if (signerInfo->typeCode() != kTypeReadSignerInfo ||
        !countersigns(*static_cast<P7ReadSignerInfo*>(signerInfo.get()), subject.signature,
                      subject.length, token) ||
        !signature_holds(bytes.get(), count, subject))
        return false;

    // The reply's values are captured copies: they outlive the decoded bytes.
    for (auto& certificate : reply.certificates()) token.certificates.append() = certificate;
    auto* counterSignature = new P7Attribute(kOidCounterSignature);
    token.attribute.reset(counterSignature);
    counterSignature->add(signerInfo);
    return true;
}

}  // namespace

const TimestampProtocol kCounterSignatureProtocol = {"counter-signature", obtain_counter_signature};

}  // namespace fontseal

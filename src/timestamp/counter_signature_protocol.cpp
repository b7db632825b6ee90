// SPDX-License-Identifier: Apache-2.0
// The counter-signature protocol: the server signs the signature value as
// PKCS#7 data, and its signer info is the time stamp.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/heap_bytes.h"
#include "base/memory_stream.h"
#include "base/ossl_ptr.h"
#include "codec/mime_base64_reader.h"
#include "der/der_header.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "der/oids.h"
#include "pkcs7/p7_attribute.h"
#include "pkcs7/p7_read_signer_info.h"
#include "pkcs7/p7_signed_data.h"
#include "timestamp/stamp_purpose.h"
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
// made by a certificate the reply carries that may time-stamp: whether that
// certificate is to be trusted is for whoever checks the font, but a
// counter-signature that cannot verify at all is no time stamp.
bool signature_holds(const uint8_t* reply, int length, const TimeStampSubject& subject,
                     std::string& fault) {
    const unsigned char* p = reply;
    Pkcs7Ptr signedData(d2i_PKCS7(nullptr, &p, length));
    if (!signedData || !PKCS7_type_is_signed(signedData.get())) {
        fault = "not a time-stamp reply (no PKCS#7 SignedData)";
        return false;
    }
    ERR_set_mark();
    CertListPtr signers(PKCS7_get0_signers(signedData.get(), nullptr, 0));
    ERR_pop_to_mark();
    if (!signers || sk_X509_num(signers.get()) != 1) {
        fault = "the reply carries no certificate of its signer";
        return false;
    }
    static const uint8_t kEmpty = 0;
    BioPtr memory(BIO_new_mem_buf(subject.signature ? subject.signature : &kEmpty,
                                  subject.length > 0 ? subject.length : 0));
    // PKCS7_verify copies a memory BIO into one of its own, which it leaks
    // when the reply names a digest it cannot set up; behind a pass-through
    // filter the data is read where it is.
    BioPtr data(memory ? BIO_new(BIO_f_null()) : nullptr);
    if (data) BIO_push(data.get(), memory.release());
    ERR_set_mark();
    const bool sound = data && PKCS7_verify(signedData.get(), nullptr, nullptr, data.get(), nullptr,
                                            PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
    ERR_pop_to_mark();
    if (!sound) {
        fault = "token signature invalid";
        return false;
    }
    const std::string purpose =
        timestamp_purpose_fault(sk_X509_value(signers.get(), 0), StampKind::kCounterSignature);
    if (!purpose.empty()) {
        fault = "signer lacks the time-stamping purpose: " + purpose;
        return false;
    }
    return true;
}

// Whether the bytes are what an RFC 3161 server sends.
bool is_rfc3161_reply(const uint8_t* data, int length) {
    const unsigned char* p = data;
    TsRespPtr response(length > 0 ? d2i_TS_RESP(nullptr, &p, length) : nullptr);
    return response != nullptr;
}

constexpr char kOtherProtocol[] =
    "not a time-stamp reply: this server speaks RFC 3161: use --timestamp-rfc3161";

bool obtain_counter_signature(const TimeStampSubject& subject, const char* url,
                              const TransferOptions& transfer, TimeStampToken& token,
                              std::string& fault) {
    TimeStampRequest request(subject.signature, subject.length, true);
    ServerReply about;
    if (!post_timestamp_request(request, url, transfer, about, fault)) {
        if (about.contentType.compare(0, 27, "application/timestamp-reply") == 0)
            fault = std::string(kOtherProtocol) + " (" + fault + ")";
        return false;
    }
    if (about.contentType.compare(0, 27, "application/timestamp-reply") == 0 ||
        is_rfc3161_reply(reinterpret_cast<const uint8_t*>(request.reply()),
                         request.replySize() - 1)) {
        fault = kOtherProtocol;
        return false;
    }
    return read_counter_signature_reply(subject, reinterpret_cast<const uint8_t*>(request.reply()),
                                        request.replySize() - 1, token, fault);
}

}  // namespace

bool read_counter_signature_reply(const TimeStampSubject& subject, const uint8_t* text, int length,
                                  TimeStampToken& token, std::string& fault) {
    // The decoder reads up to a NUL.
    std::vector<uint8_t> terminated(text, text + (text && length > 0 ? length : 0));
    terminated.push_back(0);
    uint8_t* decoded = nullptr;
    const int count = decode_mime_base64(reinterpret_cast<char*>(terminated.data()), &decoded);
    HeapBytes bytes(decoded);
    if (count <= 0 || !bytes) {
        fault =
            is_rfc3161_reply(text, length) ? kOtherProtocol : "not a time-stamp reply (not base64)";
        return false;
    }
    MemoryStream stream(bytes.get(), count);
    DerReader reader(stream);
    P7SignedData reply;
    if (!reply.decodeFrom(reader)) {
        fault = is_rfc3161_reply(bytes.get(), count)
                    ? kOtherProtocol
                    : "not a time-stamp reply (no PKCS#7 SignedData)";
        return false;
    }
    if (reply.signerInfos().count() != 1) {
        fault = "not a time-stamp reply (not exactly one signer)";
        return false;
    }
    const SharedRef<DerValue>& signerInfo = reply.signerInfos()[0];
    if (signerInfo->typeCode() != kTypeReadSignerInfo ||
        !countersigns(*static_cast<P7ReadSignerInfo*>(signerInfo.get()), subject.signature,
                      subject.length, token)) {
        fault = "imprint mismatch (the reply signs other data)";
        return false;
    }
    if (!signature_holds(bytes.get(), count, subject, fault)) return false;

    // The reply's values are captured copies: they outlive the decoded bytes.
    for (auto& certificate : reply.certificates()) token.certificates.append() = certificate;
    auto* counterSignature = new P7Attribute(kOidCounterSignature);
    token.attribute.reset(counterSignature);
    counterSignature->add(signerInfo);
    return true;
}

const TimestampProtocol kCounterSignatureProtocol = {"counter-signature", obtain_counter_signature};

}  // namespace fontseal

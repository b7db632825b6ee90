// RFC 3161 time stamps: the request is a DER TimeStampReq over the signature
// value, and the TimeStampToken of the reply is kept as it came.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <memory>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/der_header.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "der/oids.h"
#include "pkcs7/p7_attribute.h"
#include "base/ossl_ptr.h"
#include "timestamp/stamp_time.h"
#include "timestamp/timestamp_post.h"
#include "timestamp/timestamp_signature.h"

namespace fontseal {

namespace {

using TsReqPtr = OsslPtr<TS_REQ, TS_REQ_free>;
using TsRespPtr = OsslPtr<TS_RESP, TS_RESP_free>;
using TsImprintPtr = OsslPtr<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using AlgorPtr = OsslPtr<X509_ALGOR, X509_ALGOR_free>;
using IntegerPtr = OsslPtr<ASN1_INTEGER, ASN1_INTEGER_free>;
using BignumPtr = OsslPtr<BIGNUM, BN_free>;
using VerifyCtxPtr = OsslPtr<TS_VERIFY_CTX, TS_VERIFY_CTX_free>;

// Enough to make a repeated nonce between one client's requests a matter of
// chance no one will see.
constexpr int kNonceBytes = 8;

const EVP_MD* imprint_digest(ImprintHash hash) {
    switch (hash) {
        case ImprintHash::kSha384:
            return EVP_sha384();
        case ImprintHash::kSha512:
            return EVP_sha512();
        case ImprintHash::kSha1:
            return EVP_sha1();
        case ImprintHash::kSha256:
            break;
    }
    return EVP_sha256();
}

// The TimeStampReq for the signature value, or null.
TsReqPtr make_request(const TimeStampSubject& subject) {
    const EVP_MD* md = imprint_digest(subject.imprintHash);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    static const unsigned char kEmpty = 0;
    const unsigned char* data = subject.signature ? subject.signature : &kEmpty;
    if (!EVP_Digest(data, subject.length > 0 ? static_cast<size_t>(subject.length) : 0, digest,
                    &digestLength, md, nullptr))
        return nullptr;

    AlgorPtr algorithm(X509_ALGOR_new());
    TsImprintPtr imprint(TS_MSG_IMPRINT_new());
    if (!algorithm || !imprint ||
        !X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) ||
        !TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) ||
        !TS_MSG_IMPRINT_set_msg(imprint.get(), digest, static_cast<int>(digestLength)))
        return nullptr;

    unsigned char random[kNonceBytes];
    if (RAND_bytes(random, sizeof random) != 1) return nullptr;
    BignumPtr number(BN_bin2bn(random, sizeof random, nullptr));
    IntegerPtr nonce(number ? BN_to_ASN1_INTEGER(number.get(), nullptr) : nullptr);

    TsReqPtr request(TS_REQ_new());
    // The setters copy what they are given.
    if (!request || !nonce || !TS_REQ_set_version(request.get(), 1) ||
        !TS_REQ_set_msg_imprint(request.get(), imprint.get()) ||
        !TS_REQ_set_nonce(request.get(), nonce.get()) || !TS_REQ_set_cert_req(request.get(), 1))
        return nullptr;
    return request;
}

// The reply's TimeStampToken element exactly as the server sent it:
// TimeStampResp ::= SEQUENCE { status PKIStatusInfo, timeStampToken OPTIONAL }.
bool token_element(const uint8_t* reply, int length, MemoryStream& token) {
    MemoryStream source(reply, length);
    DerReader reader(source);
    try {
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        reader.expect(kTagSequence, kFormConstructed);
        reader.skip();
        reader.expect(kTagSequence, kFormConstructed);
        reader.copyElement(token);
        return true;
    } catch (const error&) {
        return false;
    }
}

// The token's signature must be sound, made by the certificate it carries:
// whether that certificate is to be trusted is for whoever checks the font,
// but a token that cannot verify at all is no time stamp.
bool signature_holds(PKCS7* token) {
    return PKCS7_verify(token, nullptr, nullptr, nullptr, nullptr, PKCS7_NOVERIFY) == 1;
}

bool obtain_rfc3161(const TimeStampSubject& subject, const char* url,
                    const TransferOptions& transfer, TimeStampToken& token) {
    TsReqPtr request = make_request(subject);
    if (!request) return false;
    unsigned char* encoded = nullptr;
    const int encodedLength = i2d_TS_REQ(request.get(), &encoded);
    if (encodedLength <= 0) return false;
    OsslBytes encodedOwner(encoded);

    MemoryStream reply(0, MemoryStream::kDefaultGrowth);
    const PostBody body{"application/timestamp-query", "application/timestamp-reply", encoded,
                        encodedLength};
    if (!post_to_timestamp_server(url, body, transfer, reply) || reply.position() <= 0)
        return false;

    const unsigned char* p = reply.data();
    TsRespPtr response(d2i_TS_RESP(nullptr, &p, reply.position()));
    if (!response || p != reply.data() + reply.position()) return false;

    // Status granted (or granted with modifications), version 1, and the
    // imprint and nonce of this request.
    VerifyCtxPtr check(TS_REQ_to_TS_VERIFY_CTX(request.get(), nullptr));
    if (!check || TS_RESP_verify_response(check.get(), response.get()) != 1) return false;
    PKCS7* signedToken = TS_RESP_get_token(response.get());
    TS_TST_INFO* info = TS_RESP_get_tst_info(response.get());
    if (!signedToken || !info || !signature_holds(signedToken)) return false;

    MemoryStream element(0, MemoryStream::kDefaultGrowth);
    if (!token_element(reply.data(), reply.position(), element)) return false;
    auto* attribute = new P7Attribute(kOidRfc3161TimeStamp);
    token.attribute.reset(attribute);
    attribute->add(SharedRef<DerValue>(new DerRaw(element.data(), element.position(), true)));
    // The token carries the server's certificates itself.
    token.hasTime = asn1_time_seconds(TS_TST_INFO_get_time(info), token.time);
    return true;
}

}  // namespace

const TimestampProtocol kRfc3161Protocol = {"RFC 3161", obtain_rfc3161};

}  // namespace fontseal

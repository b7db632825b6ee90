// SPDX-License-Identifier: Apache-2.0
// RFC 3161 time stamps: the request is a DER TimeStampReq over the signature
// value, and the TimeStampToken of the reply is kept as it came.
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/memory_stream.h"
#include "base/ossl_ptr.h"
#include "der/der_header.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "der/digest_algorithm.h"
#include "der/oids.h"
#include "pkcs7/p7_attribute.h"
#include "timestamp/stamp_purpose.h"
#include "timestamp/stamp_time.h"
#include "timestamp/timestamp_post.h"
#include "timestamp/timestamp_signature.h"

namespace fontseal {

namespace {

// Enough to make a repeated nonce between one client's requests a matter of
// chance no one will see.
constexpr int kNonceBytes = 8;

// The TimeStampReq for the signature value, or null.
TsReqPtr make_request(const TimeStampSubject& subject, const uint8_t* nonceBytes, int nonceLength) {
    const EVP_MD* md = message_digest(subject.imprintHash);
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
    if (!nonceBytes || nonceLength <= 0) {
        if (RAND_bytes(random, sizeof random) != 1) return nullptr;
        nonceBytes = random;
        nonceLength = sizeof random;
    }
    BignumPtr number(BN_bin2bn(nonceBytes, nonceLength, nullptr));
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

const char* status_name(long status) {
    static const char* const kNames[] = {
        "granted", "granted with modifications", "rejection",
        "waiting", "revocation warning",         "revocation notification"};
    return status >= 0 && status < 6 ? kNames[status] : "unknown status";
}

// "rejection: TEXT (failure info: badAlg)" for a reply that grants nothing.
std::string refusal(TS_STATUS_INFO* info) {
    const long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(info));
    std::string text = status_name(status);
    const STACK_OF(ASN1_UTF8STRING)* lines = TS_STATUS_INFO_get0_text(info);
    for (int i = 0; i < sk_ASN1_UTF8STRING_num(lines); ++i) {
        const ASN1_UTF8STRING* line = sk_ASN1_UTF8STRING_value(lines, i);
        text += i == 0 ? ": " : " ";
        // The server's words, shown as text: no control characters.
        for (int k = 0; k < ASN1_STRING_length(line) && k < 200; ++k) {
            const unsigned char c = ASN1_STRING_get0_data(line)[k];
            text += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
        }
    }
    static const struct {
        int bit;
        const char* name;
    } kFailures[] = {{TS_INFO_BAD_ALG, "badAlg"},
                     {TS_INFO_BAD_REQUEST, "badRequest"},
                     {TS_INFO_BAD_DATA_FORMAT, "badDataFormat"},
                     {TS_INFO_TIME_NOT_AVAILABLE, "timeNotAvailable"},
                     {TS_INFO_UNACCEPTED_POLICY, "unacceptedPolicy"},
                     {TS_INFO_UNACCEPTED_EXTENSION, "unacceptedExtension"},
                     {TS_INFO_ADD_INFO_NOT_AVAILABLE, "addInfoNotAvailable"},
                     {TS_INFO_SYSTEM_FAILURE, "systemFailure"}};
    const ASN1_BIT_STRING* bits = TS_STATUS_INFO_get0_failure_info(info);
    std::string failures;
    for (const auto& f : kFailures) {
        if (bits && ASN1_BIT_STRING_get_bit(bits, f.bit))
            failures += (failures.empty() ? "" : ", ") + std::string(f.name);
    }
    if (!failures.empty()) text += " (failure info: " + failures + ")";
    return text;
}

bool same_octets(const ASN1_OCTET_STRING* a, const unsigned char* b, size_t length) {
    return a && static_cast<size_t>(ASN1_STRING_length(a)) == length &&
           std::memcmp(ASN1_STRING_get0_data(a), b, length) == 0;
}

// One DER element inside [p, end): its tag, and where its content lies.
struct Element {
    int tag = 0;
    int cls = 0;
    const unsigned char* start = nullptr;  // the header
    const unsigned char* content = nullptr;
    long length = 0;
    const unsigned char* end() const { return content + length; }
};

bool next_element(const unsigned char*& p, const unsigned char* end, Element& e) {
    if (p >= end) return false;
    e.start = p;
    const unsigned char* q = p;
    int tag = 0, cls = 0;
    long length = 0;
    const int flags = ASN1_get_object(&q, &length, &tag, &cls, end - p);
    if (flags & 0x80 || flags == 0x21) return false;  // an error, or an indefinite length
    e.tag = tag;
    e.cls = cls;
    e.content = q;
    e.length = length;
    p = q + length;
    return true;
}

// Whether the first ESSCertID (v1: SHA-1; v2: its hash, SHA-256 unless named)
// of a signing-certificate attribute value names `signer`: the first one is
// the signer's, those after it describe its chain, which need not be here.
bool names_signer(const ASN1_TYPE* value, bool v2, X509* signer) {
    if (!value || value->type != V_ASN1_SEQUENCE) return false;
    const unsigned char* p = value->value.sequence->data;
    const unsigned char* end = p + value->value.sequence->length;
    Element outer, ids, first;
    if (!next_element(p, end, outer) || outer.tag != V_ASN1_SEQUENCE) return false;
    p = outer.content;
    if (!next_element(p, outer.end(), ids) || ids.tag != V_ASN1_SEQUENCE) return false;
    p = ids.content;
    if (!next_element(p, ids.end(), first) || first.tag != V_ASN1_SEQUENCE) return false;
    p = first.content;
    Element field;
    if (!next_element(p, first.end(), field)) return false;
    const EVP_MD* md = v2 ? EVP_sha256() : EVP_sha1();
    if (v2 && field.tag == V_ASN1_SEQUENCE && field.cls == V_ASN1_UNIVERSAL) {
        const unsigned char* a = field.start;
        AlgorPtr algorithm(d2i_X509_ALGOR(nullptr, &a, field.end() - field.start));
        md = algorithm ? EVP_get_digestbyobj(algorithm->algorithm) : nullptr;
        if (!md || !next_element(p, first.end(), field)) return false;
    }
    if (field.tag != V_ASN1_OCTET_STRING || field.cls != V_ASN1_UNIVERSAL) return false;
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashLength = 0;
    if (!X509_digest(signer, md, hash, &hashLength)) return false;
    if (static_cast<unsigned long>(field.length) != hashLength ||
        std::memcmp(field.content, hash, hashLength) != 0)
        return false;
    // issuerSerial, when there: SEQUENCE { GeneralNames, serialNumber }.
    Element issuerSerial;
    if (!next_element(p, first.end(), issuerSerial)) return true;
    const unsigned char* q = issuerSerial.content;
    Element names, serial;
    if (issuerSerial.tag != V_ASN1_SEQUENCE || !next_element(q, issuerSerial.end(), names) ||
        !next_element(q, issuerSerial.end(), serial) || serial.tag != V_ASN1_INTEGER)
        return false;
    const unsigned char* s = serial.start;
    IntegerPtr number(d2i_ASN1_INTEGER(nullptr, &s, serial.end() - serial.start));
    return number && ASN1_INTEGER_cmp(number.get(), X509_get0_serialNumber(signer)) == 0;
}

// Whether the TSTInfo's tsa name is the signer certificate's subject, or one
// of its subject alternative names.
bool tsa_name_is_signer(const GENERAL_NAME* name, X509* signer) {
    if (name->type == GEN_DIRNAME)
        return X509_NAME_cmp(name->d.directoryName, X509_get_subject_name(signer)) == 0;
    NamesPtr alternatives(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(signer, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        if (GENERAL_NAME_cmp(const_cast<GENERAL_NAME*>(name),
                             sk_GENERAL_NAME_value(alternatives.get(), i)) == 0)
            return true;
    }
    return false;
}

std::string subject_text(X509* cert) {
    char text[256];
    X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
    return text;
}

// The token's signature and signer, apart from the TSTInfo's contents.
bool token_signer_holds(PKCS7* token, TS_TST_INFO* info, X509*& signer, std::string& fault) {
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(token);
    if (sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
        fault = "token signature invalid (the token has not exactly one signer)";
        return false;
    }
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    ERR_set_mark();
    CertListPtr found(PKCS7_get0_signers(token, nullptr, 0));
    ERR_pop_to_mark();
    if (!found || sk_X509_num(found.get()) != 1) {
        fault =
            "the token carries no certificate of its signer (the server did not honour "
            "certReq)";
        return false;
    }
    signer = sk_X509_value(found.get(), 0);
    // The signature must be sound, made by the certificate the token carries:
    // whether that certificate is to be trusted is for whoever checks the
    // font, but a token that cannot verify at all is no time stamp.
    ERR_set_mark();
    const bool sound = PKCS7_verify(token, nullptr, nullptr, nullptr, nullptr, PKCS7_NOVERIFY) == 1;
    ERR_pop_to_mark();
    if (!sound) {
        fault = "token signature invalid";
        return false;
    }
    const ASN1_TYPE* v1 = PKCS7_get_signed_attribute(si, NID_id_smime_aa_signingCertificate);
    const ASN1_TYPE* v2 = PKCS7_get_signed_attribute(si, NID_id_smime_aa_signingCertificateV2);
    if (!v1 && !v2) {
        fault = "token signature invalid (no ESS signing-certificate attribute names its signer)";
        return false;
    }
    if ((v1 && !names_signer(v1, false, signer)) || (v2 && !names_signer(v2, true, signer))) {
        fault =
            "token signature invalid (its ESS signing-certificate attribute names another "
            "certificate than " +
            subject_text(signer) + ")";
        return false;
    }
    const GENERAL_NAME* tsa = TS_TST_INFO_get_tsa(info);
    if (tsa && !tsa_name_is_signer(tsa, signer)) {
        fault =
            "the reply's TSA name is not its signer certificate's (" + subject_text(signer) + ")";
        return false;
    }
    const std::string purpose = timestamp_purpose_fault(signer, StampKind::kRfc3161);
    if (!purpose.empty()) {
        fault = "signer lacks the time-stamping purpose: " + purpose;
        return false;
    }
    return true;
}

bool obtain_rfc3161(const TimeStampSubject& subject, const char* url,
                    const TransferOptions& transfer, TimeStampToken& token, std::string& fault) {
    std::vector<uint8_t> query;
    if (!make_rfc3161_query(subject, query)) {
        fault = "the request could not be made";
        return false;
    }
    MemoryStream reply(0, MemoryStream::kDefaultGrowth);
    const PostBody body{"application/timestamp-query", "application/timestamp-reply", query.data(),
                        static_cast<int>(query.size())};
    ServerReply about;
    if (!post_to_timestamp_server(url, body, transfer, reply, about, fault)) {
        // Some servers send their refusal with an error status: its words
        // say more than the status.
        std::string refused;
        TimeStampToken ignored;
        if (about.status >= 300 && reply.position() > 0 &&
            !read_rfc3161_reply(subject, query.data(), static_cast<int>(query.size()), reply.data(),
                                reply.position(), ignored, refused) &&
            refused.compare(0, 9, "rejected ") == 0)
            fault = refused + " with " + fault;
        return false;
    }
    return read_rfc3161_reply(subject, query.data(), static_cast<int>(query.size()), reply.data(),
                              reply.position(), token, fault);
}

}  // namespace

bool make_rfc3161_query(const TimeStampSubject& subject, std::vector<uint8_t>& query,
                        const uint8_t* nonce, int nonceLength) {
    TsReqPtr request = make_request(subject, nonce, nonceLength);
    if (!request) return false;
    unsigned char* encoded = nullptr;
    const int encodedLength = i2d_TS_REQ(request.get(), &encoded);
    if (encodedLength <= 0) return false;
    OsslBytes encodedOwner(encoded);
    query.assign(encoded, encoded + encodedLength);
    return true;
}

bool read_rfc3161_reply(const TimeStampSubject& subject, const uint8_t* query, int queryLength,
                        const uint8_t* reply, int replyLength, TimeStampToken& token,
                        std::string& fault) {
    const unsigned char* q = query;
    TsReqPtr request(query && queryLength > 0 ? d2i_TS_REQ(nullptr, &q, queryLength) : nullptr);
    if (!request) {
        fault = "the request could not be read back";
        return false;
    }
    const unsigned char* p = reply;
    TsRespPtr response(reply && replyLength > 0 ? d2i_TS_RESP(nullptr, &p, replyLength) : nullptr);
    if (!response || p != reply + replyLength) {
        fault = "not a time-stamp reply (no DER TimeStampResp)";
        return false;
    }
    TS_STATUS_INFO* status = TS_RESP_get_status_info(response.get());
    const long granted = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(status));
    if (granted != 0 && granted != 1) {
        fault = "rejected (" + refusal(status) + ")";
        return false;
    }
    PKCS7* signedToken = TS_RESP_get_token(response.get());
    TS_TST_INFO* info = TS_RESP_get_tst_info(response.get());
    if (!signedToken || !info || !PKCS7_type_is_signed(signedToken)) {
        fault = "not a time-stamp reply (granted, but without a token)";
        return false;
    }
    if (TS_TST_INFO_get_version(info) != 1) {
        fault = "not a time-stamp reply (TSTInfo version " +
                std::to_string(TS_TST_INFO_get_version(info)) + ")";
        return false;
    }
    TS_MSG_IMPRINT* sent = TS_REQ_get_msg_imprint(request.get());
    TS_MSG_IMPRINT* got = TS_TST_INFO_get_msg_imprint(info);
    const X509_ALGOR* sentAlgorithm = TS_MSG_IMPRINT_get_algo(sent);
    const X509_ALGOR* gotAlgorithm = TS_MSG_IMPRINT_get_algo(got);
    const ASN1_OCTET_STRING* sentDigest = TS_MSG_IMPRINT_get_msg(sent);
    if (OBJ_cmp(sentAlgorithm->algorithm, gotAlgorithm->algorithm) != 0 ||
        !same_octets(TS_MSG_IMPRINT_get_msg(got), ASN1_STRING_get0_data(sentDigest),
                     static_cast<size_t>(ASN1_STRING_length(sentDigest)))) {
        fault = "imprint mismatch (the reply stamps other data)";
        return false;
    }
    const ASN1_INTEGER* sentNonce = TS_REQ_get_nonce(request.get());
    const ASN1_INTEGER* gotNonce = TS_TST_INFO_get_nonce(info);
    if (sentNonce && (!gotNonce || ASN1_INTEGER_cmp(sentNonce, gotNonce) != 0)) {
        fault = gotNonce ? "nonce mismatch (the reply answers another request)"
                         : "nonce mismatch (the reply carries no nonce)";
        return false;
    }
    X509* signer = nullptr;
    if (!token_signer_holds(signedToken, info, signer, fault)) return false;

    MemoryStream element(0, MemoryStream::kDefaultGrowth);
    if (!token_element(reply, replyLength, element)) {
        fault = "not a time-stamp reply (the token cannot be cut out)";
        return false;
    }
    auto* attribute = new P7Attribute(kOidRfc3161TimeStamp);
    token.attribute.reset(attribute);
    attribute->add(SharedRef<DerValue>(new DerRaw(element.data(), element.position(), true)));
    // The token carries the server's certificates itself.
    token.hasTime = asn1_time_seconds(TS_TST_INFO_get_time(info), token.time);
    (void)subject;
    return true;
}

const TimestampProtocol kRfc3161Protocol = {"RFC 3161", obtain_rfc3161};

}  // namespace fontseal

#include "verify/font_verify.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/ossl_ptr.h"
#include "font/ot_passes.h"
#include "platform/root_file.h"

namespace fontseal {

namespace {

using Pkcs7Ptr = OsslPtr<PKCS7, PKCS7_free>;
using SignerInfoPtr = OsslPtr<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>;
using PkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using ObjectPtr = OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using AlgorPtr = OsslPtr<X509_ALGOR, X509_ALGOR_free>;
using TimePtr = OsslPtr<ASN1_TIME, ASN1_TIME_free>;
using TstInfoPtr = OsslPtr<TS_TST_INFO, TS_TST_INFO_free>;
using StorePtr = OsslPtr<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = OsslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using BioPtr = OsslPtr<BIO, BIO_free_all>;

const char kOidSignedData[] = "1.2.840.113549.1.7.2";
const char kOidIndirectData[] = "1.3.6.1.4.1.311.2.1.4";
const char kOidTstInfo[] = "1.2.840.113549.1.9.16.1.4";
const char kOidMessageDigest[] = "1.2.840.113549.1.9.4";
const char kOidSigningTime[] = "1.2.840.113549.1.9.5";
const char kOidCounterSignature[] = "1.2.840.113549.1.9.6";
const char kOidRfc3161Token[] = "1.3.6.1.4.1.311.3.3.1";
const char kOidStatementType[] = "1.3.6.1.4.1.311.2.1.11";
const char kOidOpusInfo[] = "1.3.6.1.4.1.311.2.1.12";
const char kOidIndividual[] = "1.3.6.1.4.1.311.2.1.21";
const char kOidCommercial[] = "1.3.6.1.4.1.311.2.1.22";

// A finding that ends the check of a font: which check and why.
struct Failure {
    const char* check;
    std::string reason;
};

[[noreturn]] void failed(const char* check, std::string reason) {
    throw Failure{check, std::move(reason)};
}

// One DER element inside bytes we hold. Only what signatures use: one-byte
// tags and definite lengths.
struct Tlv {
    uint8_t tag = 0;
    const uint8_t* start = nullptr;  // the header's first byte
    const uint8_t* value = nullptr;
    size_t length = 0;
    size_t total() const { return static_cast<size_t>(value - start) + length; }
    const uint8_t* end() const { return value + length; }
};

// Reads the element at `p`, which must end by `end`, and moves `p` past it.
bool next_tlv(const uint8_t*& p, const uint8_t* end, Tlv& out) {
    if (end - p < 2 || (p[0] & 0x1F) == 0x1F) return false;
    out.start = p;
    out.tag = p[0];
    size_t length = p[1];
    const uint8_t* q = p + 2;
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - q) < bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) length = (length << 8) | *q++;
    }
    if (static_cast<size_t>(end - q) < length) return false;
    out.value = q;
    out.length = length;
    p = q + length;
    return true;
}

// The children of a constructed element, in order.
std::vector<Tlv> children(const Tlv& parent, const char* check, const char* what) {
    std::vector<Tlv> out;
    const uint8_t* p = parent.value;
    while (p < parent.end()) {
        Tlv child;
        if (!next_tlv(p, parent.end(), child)) failed(check, std::string(what) + " is not DER");
        out.push_back(child);
    }
    return out;
}

Tlv whole(const uint8_t* data, size_t size, const char* check, const char* what) {
    Tlv t;
    const uint8_t* p = data;
    if (!next_tlv(p, data + size, t)) failed(check, std::string(what) + " is not DER");
    return t;
}

std::string oid_text(const Tlv& t) {
    if (t.tag != V_ASN1_OBJECT) return "";
    const unsigned char* p = t.start;
    ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(t.total())));
    if (!object) return "";
    char text[128];
    int n = OBJ_obj2txt(text, sizeof text, object.get(), 1);
    return n > 0 && static_cast<size_t>(n) < sizeof text ? std::string(text) : "";
}

// The first value of the attribute `oid` in a SET OF Attribute's contents;
// null `found` when absent.
bool find_attribute(const Tlv& attributes, const char* oid, Tlv& found, const char* check) {
    for (const Tlv& attribute : children(attributes, check, "an attribute list")) {
        std::vector<Tlv> parts = children(attribute, check, "an attribute");
        if (parts.size() != 2 || oid_text(parts[0]) != oid) continue;
        std::vector<Tlv> values = children(parts[1], check, "an attribute value");
        if (values.empty()) failed(check, std::string("attribute ") + oid + " has no value");
        found = values[0];
        return true;
    }
    return false;
}

// What a SignedData blob holds, as stored.
struct SignedDataParts {
    std::string contentType;
    Tlv content;  // the content element inside [0]
    Tlv signer;   // the first SignerInfo
    Pkcs7Ptr p7;  // OpenSSL's reading, for the certificates
};

SignedDataParts read_signed_data(const uint8_t* data, size_t size, const char* check) {
    SignedDataParts parts;
    Tlv info = whole(data, size, check, "the signature");
    std::vector<Tlv> top = children(info, check, "the signature");
    if (info.tag != 0x30 || top.size() < 2 || oid_text(top[0]) != kOidSignedData ||
        top[1].tag != 0xA0) {
        failed(check, "the signature is no PKCS#7 SignedData");
    }
    std::vector<Tlv> wrapped = children(top[1], check, "the SignedData");
    if (wrapped.size() != 1 || wrapped[0].tag != 0x30) failed(check, "the SignedData is malformed");
    std::vector<Tlv> fields = children(wrapped[0], check, "the SignedData");
    if (fields.size() < 4 || fields[2].tag != 0x30 || fields.back().tag != 0x31) {
        failed(check, "the SignedData is malformed");
    }
    std::vector<Tlv> content = children(fields[2], check, "the signed content");
    if (content.size() != 2 || content[1].tag != 0xA0)
        failed(check, "the signed content is missing");
    parts.contentType = oid_text(content[0]);
    std::vector<Tlv> inner = children(content[1], check, "the signed content");
    if (inner.size() != 1) failed(check, "the signed content is malformed");
    parts.content = inner[0];
    std::vector<Tlv> signers = children(fields.back(), check, "the signer list");
    if (signers.size() != 1) failed(check, "the signature does not have exactly one signer");
    parts.signer = signers[0];
    const unsigned char* p = data;
    parts.p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(info.total())));
    if (!parts.p7 || !PKCS7_type_is_signed(parts.p7.get())) {
        failed(check, "OpenSSL cannot read the SignedData");
    }
    return parts;
}

std::vector<uint8_t> digest_of(const EVP_MD* md, const uint8_t* data, size_t size) {
    std::vector<uint8_t> out(static_cast<size_t>(EVP_MD_get_size(md)));
    unsigned int n = 0;
    if (!EVP_Digest(data, size, out.data(), &n, md, nullptr)) out.clear();
    return out;
}

std::string name_text(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return "";
    char* text = nullptr;
    long n = BIO_get_mem_data(bio.get(), &text);
    return std::string(text, static_cast<size_t>(n));
}

std::string serial_text(const ASN1_INTEGER* serial) {
    OsslPtr<BIGNUM, BN_free> bn(ASN1_INTEGER_to_BN(serial, nullptr));
    if (!bn) return "";
    char* hex = BN_bn2hex(bn.get());
    std::string out = hex ? hex : "";
    OPENSSL_free(hex);
    return out;
}

int64_t time_of(const ASN1_TIME* t) {
    struct tm parts {};
    if (!t || !ASN1_TIME_to_tm(t, &parts)) return 0;
    return static_cast<int64_t>(timegm(&parts));
}

const char* digest_name(int nid) {
    switch (nid) {
        case NID_md5:
            return "MD5";
        case NID_sha1:
            return "SHA-1";
        case NID_sha256:
            return "SHA-256";
        case NID_sha384:
            return "SHA-384";
        case NID_sha512:
            return "SHA-512";
        default:
            return nullptr;
    }
}

// The certificate named by the signer's issuer and serial, or null.
X509* find_signer_cert(const PKCS7_SIGNER_INFO* si, STACK_OF(X509) * certs) {
    for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
        X509* c = sk_X509_value(certs, i);
        if (X509_NAME_cmp(X509_get_issuer_name(c), si->issuer_and_serial->issuer) == 0 &&
            ASN1_INTEGER_cmp(X509_get0_serialNumber(c), si->issuer_and_serial->serial) == 0) {
            return c;
        }
    }
    return nullptr;
}

void describe_signer(X509* cert, FontVerification& out) {
    out.subject = name_text(X509_get_subject_name(cert));
    out.issuer = name_text(X509_get_issuer_name(cert));
    out.serial = serial_text(X509_get0_serialNumber(cert));
}

// A verified signer: its certificate and what the caller may still need.
struct SignerCheck {
    X509* cert = nullptr;  // owned by the SignedData's certificate list
    std::vector<uint8_t> encryptedDigest;
    Tlv authenticated;    // the [0] authenticated attributes, as stored
    Tlv unauthenticated;  // [1], tag 0 when absent
};

// Checks one SignerInfo: the messageDigest attribute against `content`, and
// the signature over the authenticated attributes exactly as stored with the
// certificate named by issuer and serial. `bareDigest` also accepts an RSA
// block holding the digest without DigestInfo, as old time-stampers write.
SignerCheck check_signer(const Tlv& signer, STACK_OF(X509) * certs, const uint8_t* content,
                         size_t contentSize, bool bareDigest, const char* check) {
    SignerCheck out;
    const unsigned char* p = signer.start;
    SignerInfoPtr si(d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(signer.total())));
    if (!si) failed(check, "OpenSSL cannot read the SignerInfo");
    for (const Tlv& field : children(signer, check, "the SignerInfo")) {
        if (field.tag == 0xA0) out.authenticated = field;
        if (field.tag == 0xA1) out.unauthenticated = field;
    }
    if (out.authenticated.tag != 0xA0) failed(check, "the signer has no authenticated attributes");

    out.cert = find_signer_cert(si.get(), certs);
    if (!out.cert)
        failed(check, "the signer certificate (by issuer and serial) is not in the blob");

    const int mdNid = OBJ_obj2nid(si->digest_alg->algorithm);
    const EVP_MD* md = digest_name(mdNid) ? EVP_get_digestbynid(mdNid) : nullptr;
    if (!md) failed(check, "the signer's digest algorithm is not supported");

    Tlv messageDigest;
    if (!find_attribute(out.authenticated, kOidMessageDigest, messageDigest, check) ||
        messageDigest.tag != V_ASN1_OCTET_STRING) {
        failed(check, "the signer has no messageDigest attribute");
    }
    std::vector<uint8_t> expected = digest_of(md, content, contentSize);
    if (expected.size() != messageDigest.length ||
        std::memcmp(expected.data(), messageDigest.value, expected.size()) != 0) {
        failed(check, "the messageDigest attribute does not match the signed content");
    }

    // The attributes are signed as a SET: the stored bytes with their [0]
    // tag made SET, in the order they are stored.
    std::vector<uint8_t> attributes(out.authenticated.start,
                                    out.authenticated.start + out.authenticated.total());
    attributes[0] = 0x31;
    std::vector<uint8_t> attributesDigest = digest_of(md, attributes.data(), attributes.size());

    out.encryptedDigest.assign(si->enc_digest->data, si->enc_digest->data + si->enc_digest->length);
    EVP_PKEY* key = X509_get0_pubkey(out.cert);
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        failed(check, "the signer certificate holds no RSA key");
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0 &&
              EVP_PKEY_verify(ctx.get(), out.encryptedDigest.data(), out.encryptedDigest.size(),
                              attributesDigest.data(), attributesDigest.size()) == 1;
    if (!ok && bareDigest) {
        PkeyCtxPtr raw(EVP_PKEY_CTX_new(key, nullptr));
        std::vector<uint8_t> recovered(static_cast<size_t>(EVP_PKEY_get_size(key)));
        size_t n = recovered.size();
        ok = raw && EVP_PKEY_verify_recover_init(raw.get()) > 0 &&
             EVP_PKEY_CTX_set_rsa_padding(raw.get(), RSA_PKCS1_PADDING) > 0 &&
             EVP_PKEY_verify_recover(raw.get(), recovered.data(), &n, out.encryptedDigest.data(),
                                     out.encryptedDigest.size()) == 1 &&
             n == attributesDigest.size() &&
             std::memcmp(recovered.data(), attributesDigest.data(), n) == 0;
    }
    if (!ok) failed(check, "the signature over the authenticated attributes does not verify");
    return out;
}

// Sends the signed image into a digest.
class DigestSink : public OTChunkSink {
public:
    explicit DigestSink(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) {
        if (!ctx_ || !EVP_DigestInit_ex(ctx_.get(), md, nullptr)) failed("digest", "no digest");
    }
    void put(const uint8_t* data, size_t count) override {
        if (!EVP_DigestUpdate(ctx_.get(), data, count)) failed("digest", "digest failed");
    }
    std::vector<uint8_t> finish() {
        std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
        unsigned int n = 0;
        if (!EVP_DigestFinal_ex(ctx_.get(), out.data(), &n)) failed("digest", "digest failed");
        out.resize(n);
        return out;
    }

private:
    MdCtxPtr ctx_;
};

// The font's digests, each taken once however many signatures ask for it:
// a table of many copies of one signature costs no more font reading than
// one signature does.
class FontDigests {
public:
    explicit FontDigests(OTFont& font) : font_(font) {}
    std::vector<uint8_t> get(const EVP_MD* md, OTLayoutOrder order) {
        const int nid = EVP_MD_get_type(md);
        for (const Entry& e : taken_) {
            if (e.nid == nid && e.order == order) return e.digest;
        }
        DigestSink sink(md);
        emit_signed_image(font_, sink, order);
        taken_.push_back({nid, order, sink.finish()});
        return taken_.back().digest;
    }

private:
    struct Entry {
        int nid;
        OTLayoutOrder order;
        std::vector<uint8_t> digest;
    };
    OTFont& font_;
    std::vector<Entry> taken_;
};

void append_utf8(std::string& text, unsigned u) {
    if (u < 0x80) {
        text += static_cast<char>(u);
    } else if (u < 0x800) {
        text += static_cast<char>(0xC0 | (u >> 6));
        text += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        text += static_cast<char>(0xE0 | (u >> 12));
        text += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (u >> 18));
        text += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (u & 0x3F));
    }
}

// Text from a signature is shown on terminals and put into JSON: control
// characters, lone surrogates and bytes past ASCII in an ASCII field become
// U+FFFD, so what is shown is always valid UTF-8 and never a terminal command.
constexpr unsigned kReplacement = 0xFFFD;

bool is_control(unsigned u) { return u < 0x20 || (u >= 0x7F && u < 0xA0); }

std::string text_of_ascii(const Tlv& t) {
    std::string text;
    for (size_t i = 0; i < t.length; ++i) {
        const unsigned c = t.value[i];
        append_utf8(text, c >= 0x80 || is_control(c) ? kReplacement : c);
    }
    return text;
}

std::string text_of_utf16(const Tlv& t) {
    std::string text;
    for (size_t i = 0; i + 1 < t.length; i += 2) {
        unsigned u = (t.value[i] << 8) | t.value[i + 1];
        if (u >= 0xD800 && u < 0xE000) {
            const unsigned low = i + 3 < t.length ? (t.value[i + 2] << 8) | t.value[i + 3] : 0;
            if (u < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else {
                u = kReplacement;
            }
        }
        append_utf8(text, is_control(u) ? kReplacement : u);
    }
    return text;
}

// Program name and URL from SpcSpOpusInfo; statement type.
void read_descriptions(const Tlv& authenticated, FontVerification& out) {
    const char* check = "signed-data";
    Tlv value;
    if (find_attribute(authenticated, kOidStatementType, value, check)) {
        for (const Tlv& purpose : children(value, check, "the statement type")) {
            const std::string oid = oid_text(purpose);
            if (oid == kOidIndividual) out.statement = "individual";
            if (oid == kOidCommercial) out.statement = "commercial";
        }
    }
    if (!find_attribute(authenticated, kOidOpusInfo, value, check)) return;
    for (const Tlv& field : children(value, check, "the program description")) {
        std::vector<Tlv> choice = children(field, check, "the program description");
        if (choice.size() != 1) continue;
        const Tlv& c = choice[0];
        if (field.tag == 0xA0 && c.tag == 0x80) {
            out.programName = text_of_utf16(c);
        } else if (field.tag == 0xA0 && c.tag == 0x81) {
            out.programName = text_of_ascii(c);
        } else if (field.tag == 0xA1 && c.tag == 0x80) {
            out.moreInfoUrl = text_of_ascii(c);
        }
    }
}

// The certificates of SignedData values, borrowed, joined into one list.
class CertList {
public:
    CertList() : list_(sk_X509_new_null()) {
        if (!list_) failed("chain", "out of memory");
    }
    ~CertList() { sk_X509_free(list_); }
    CertList(const CertList&) = delete;
    CertList& operator=(const CertList&) = delete;
    void add(STACK_OF(X509) * certs) {
        for (int i = 0; i < sk_X509_num(certs); ++i) {
            if (!sk_X509_push(list_, sk_X509_value(certs, i))) failed("chain", "out of memory");
        }
    }
    STACK_OF(X509) * get() const { return list_; }

private:
    STACK_OF(X509) * list_;
};

// Why `cert` does not chain to the roots in `caFile` through `certs` at
// `when` (seconds since 1970; 0 now); empty when it does.
std::string chain_fault(X509* cert, STACK_OF(X509) * certs, const char* caFile, int64_t when) {
    StorePtr store(X509_STORE_new());
    if (!store || !load_root_file(store.get(), caFile)) {
        failed("chain", std::string("the roots in ") + caFile + " cannot be read");
    }
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert, certs) != 1) {
        failed("chain", "the chain cannot be built");
    }
    if (when > 0) X509_STORE_CTX_set_time(ctx.get(), 0, static_cast<time_t>(when));
    if (X509_verify_cert(ctx.get()) == 1) return "";
    return X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
}

// A time stamp that was found to cover the signature.
struct Stamp {
    Pkcs7Ptr token;          // an RFC 3161 token's SignedData: it owns its certificates
    X509* signer = nullptr;  // the stamper's certificate
};

// Checks a time stamp over `encryptedDigest` among the signer's
// unauthenticated attributes, if there is one.
Stamp check_timestamp(const SignerCheck& signer, STACK_OF(X509) * certs, FontVerification& out) {
    Stamp found;
    if (signer.unauthenticated.tag != 0xA1) return found;
    const char* check = "timestamp";
    const std::vector<uint8_t>& signature = signer.encryptedDigest;
    Tlv value;
    if (find_attribute(signer.unauthenticated, kOidCounterSignature, value, check)) {
        out.timestampKind = "counter-signature";
        SignerCheck stamp =
            check_signer(value, certs, signature.data(), signature.size(), true, check);
        Tlv when;
        if (find_attribute(stamp.authenticated, kOidSigningTime, when, check)) {
            const unsigned char* p = when.start;
            TimePtr t(d2i_ASN1_TIME(nullptr, &p, static_cast<long>(when.total())));
            out.timestampTime = time_of(t.get());
        }
        out.timestampSigner = name_text(X509_get_subject_name(stamp.cert));
        found.signer = stamp.cert;
        return found;
    }
    if (!find_attribute(signer.unauthenticated, kOidRfc3161Token, value, check)) return found;
    out.timestampKind = "rfc3161";
    SignedDataParts token = read_signed_data(value.start, value.total(), check);
    if (token.contentType != kOidTstInfo || token.content.tag != V_ASN1_OCTET_STRING) {
        failed(check, "the time-stamp token holds no TSTInfo");
    }
    SignerCheck stamp = check_signer(token.signer, token.p7->d.sign->cert, token.content.value,
                                     token.content.length, false, check);
    const unsigned char* p = token.content.value;
    TstInfoPtr info(d2i_TS_TST_INFO(nullptr, &p, static_cast<long>(token.content.length)));
    if (!info) failed(check, "the TSTInfo cannot be read");
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const int nid = OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    const EVP_MD* md = digest_name(nid) ? EVP_get_digestbynid(nid) : nullptr;
    if (!md) failed(check, "the time stamp's imprint algorithm is not supported");
    std::vector<uint8_t> expected = digest_of(md, signature.data(), signature.size());
    ASN1_OCTET_STRING* got = TS_MSG_IMPRINT_get_msg(imprint);
    if (static_cast<size_t>(got->length) != expected.size() ||
        std::memcmp(got->data, expected.data(), expected.size()) != 0) {
        failed(check, "the time stamp's imprint does not cover this signature");
    }
    out.timestampTime = time_of(TS_TST_INFO_get_time(info.get()));
    out.timestampSigner = name_text(X509_get_subject_name(stamp.cert));
    found.signer = stamp.cert;
    found.token = std::move(token.p7);
    return found;
}

// The signer's chain, at the time stamp's time when there is one. A time
// stamp is relied on when the signer's certificate holds only at its time
// (it has expired since): then the stamp's own signer must chain to the
// roots at that time, or a time stamp made by just anyone would revive any
// expired certificate.
void check_chain(X509* cert, STACK_OF(X509) * certs, const Stamp& stamp, const char* caFile,
                 FontVerification& out) {
    std::string fault = chain_fault(cert, certs, caFile, out.timestampTime);
    if (!fault.empty()) failed("chain", "the signer's chain does not hold: " + fault);
    if (stamp.signer && out.timestampTime > 0 && !chain_fault(cert, certs, caFile, 0).empty()) {
        CertList both;
        both.add(certs);
        if (stamp.token) both.add(stamp.token->d.sign->cert);
        fault = chain_fault(stamp.signer, both.get(), caFile, out.timestampTime);
        if (!fault.empty()) {
            failed("chain",
                   "the signer's certificate holds only at the time stamp's time, and the time "
                   "stamp signer's chain does not hold: " +
                       fault);
        }
    }
    // A certificate that names its purposes must name code signing.
    if ((X509_get_extension_flags(cert) & EXFLAG_XKUSAGE) &&
        !(X509_get_extended_key_usage(cert) & XKU_CODE_SIGN)) {
        failed("chain", "the signer certificate is not for code signing");
    }
    out.chainChecked = 1;
}

void verify_signature(const DsigSignature& record, FontDigests& font, const char* caFile,
                      FontVerification& out) {
    if (record.format != 1) failed("table", "a signature record is of unknown format");
    const char* check = "signed-data";
    SignedDataParts parts = read_signed_data(record.bytes.get(), record.length, check);
    if (parts.contentType != kOidIndirectData || parts.content.tag != 0x30) {
        failed(check, "the signed content is not of type 1.3.6.1.4.1.311.2.1.4");
    }
    std::vector<Tlv> content = children(parts.content, check, "the signed content");
    if (content.size() != 2) failed(check, "the signed content is malformed");
    std::vector<Tlv> digestInfo = children(content[1], check, "the DigestInfo");
    if (digestInfo.size() != 2 || digestInfo[1].tag != V_ASN1_OCTET_STRING) {
        failed(check, "the DigestInfo is malformed");
    }
    const unsigned char* p = digestInfo[0].start;
    AlgorPtr algorithm(d2i_X509_ALGOR(nullptr, &p, static_cast<long>(digestInfo[0].total())));
    const int nid = algorithm ? OBJ_obj2nid(algorithm->algorithm) : NID_undef;
    const char* name = digest_name(nid);
    if (!name) failed("digest", "the font digest's algorithm is not supported");
    out.digest = name;

    // Who claims to have signed is reported even when a check below fails.
    STACK_OF(X509)* certs = parts.p7->d.sign->cert;
    {
        const unsigned char* q = parts.signer.start;
        SignerInfoPtr si(
            d2i_PKCS7_SIGNER_INFO(nullptr, &q, static_cast<long>(parts.signer.total())));
        X509* claimed = si ? find_signer_cert(si.get(), certs) : nullptr;
        if (claimed) describe_signer(claimed, out);
    }

    const EVP_MD* md = EVP_get_digestbynid(nid);
    const std::vector<uint8_t> stored(digestInfo[1].value,
                                      digestInfo[1].value + digestInfo[1].length);
    if (font.get(md, OTLayoutOrder::kWriter) == stored) {
        out.layout = "writer";
    } else if (font.get(md, OTLayoutOrder::kFile) == stored) {
        out.layout = "file";
    } else {
        failed("digest", "the font changed after signing");
    }

    // The content is digested without its outer SEQUENCE header.
    SignerCheck signer = check_signer(parts.signer, certs, parts.content.value,
                                      parts.content.length, false, "signature");
    describe_signer(signer.cert, out);
    read_descriptions(signer.authenticated, out);
    const Stamp stamp = check_timestamp(signer, certs, out);
    if (caFile) check_chain(signer.cert, certs, stamp, caFile, out);
}

}  // namespace

FontVerification verify_font(const char* path, const char* caFile, int32_t signatureNumber) {
    FontVerification out;
    OTSourceFont source = open_font(path);
    try {
        if (source.dsigState == OTDsigState::kAbsent) {
            out.verdict = FontVerdict::kUnsigned;
            out.reason = "the font has no DSIG table";
            return out;
        }
        if (source.dsigState == OTDsigState::kDamaged) {
            failed("table", "the DSIG table cannot be read: a record or block lies outside it");
        }
        const OTDsigTable& dsig = *source.dsig;
        out.flags = dsig.flags;
        const int32_t count = static_cast<int32_t>(dsig.signatures.size());
        out.signatureCount = count;
        if (dsig.version != 1) failed("table", "the DSIG table is not of version 1");
        if (count == 0) {
            out.verdict = FontVerdict::kUnsigned;
            out.reason = "the DSIG table holds no signature";
            return out;
        }
        if (signatureNumber < 0 || signatureNumber > count) {
            out.verdict = FontVerdict::kNoSuchSignature;
            out.reason = "the DSIG table holds " + std::to_string(count) +
                         " signature(s), no signature " + std::to_string(signatureNumber);
            return out;
        }
        // A font holds only when every signature does: a signature that
        // cannot be checked (of an unknown format, say) vouches for nothing,
        // and one that fails means the font is not as some signer left it.
        const int32_t first = signatureNumber > 0 ? signatureNumber : 1;
        const int32_t last = signatureNumber > 0 ? signatureNumber : count;
        FontVerification shown;
        FontDigests digests(*source.font);
        for (int32_t n = first; n <= last; ++n) {
            FontVerification one = out;
            one.signatureNumber = n;
            try {
                verify_signature(dsig.signatures[static_cast<size_t>(n - 1)], digests, caFile, one);
            } catch (const Failure& f) {
                one.verdict = FontVerdict::kInvalid;
                one.check = f.check;
                // Judging the whole font, say which of several signatures failed.
                one.reason = signatureNumber == 0 && count > 1
                                 ? "signature " + std::to_string(n) + " of " +
                                       std::to_string(count) + ": " + f.reason
                                 : f.reason;
                return one;
            }
            one.verdict = FontVerdict::kValid;
            if (n == first) shown = std::move(one);
        }
        return shown;
    } catch (const Failure& f) {
        out.verdict = FontVerdict::kInvalid;
        out.check = f.check;
        out.reason = f.reason;
    }
    return out;
}

}  // namespace fontseal

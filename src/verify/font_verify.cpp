// SPDX-License-Identifier: Apache-2.0
#include "verify/font_verify.h"

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/ossl_ptr.h"
#include "der/digest_algorithm.h"
#include "der/oids.h"
#include "font/big_endian.h"
#include "font/ot_collection_passes.h"
#include "font/ot_passes.h"
#include "font/ot_woff.h"
#include "platform/regular_file.h"
#include "timestamp/stamp_purpose.h"
#include "verify/collection_layout_check.h"
#include "verify/trust_chain.h"
#include "x509/key_purpose_list.h"

namespace fontseal {

namespace {

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

std::string serial_text(const ASN1_INTEGER* serial) {
    BignumPtr bn(ASN1_INTEGER_to_BN(serial, nullptr));
    if (!bn) return "";
    char* hex = BN_bn2hex(bn.get());
    std::string out = hex ? hex : "";
    OPENSSL_free(hex);
    return out;
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
    out.subject = name_of(X509_get_subject_name(cert));
    out.issuer = name_of(X509_get_issuer_name(cert));
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

    const DigestFacts* signerDigest = digest_by_nid(OBJ_obj2nid(si->digest_alg->algorithm));
    const EVP_MD* md = signerDigest ? signerDigest->md() : nullptr;
    if (!md) failed(check, "the signer's digest algorithm is not supported");

    Tlv messageDigest;
    if (!find_attribute(out.authenticated, kOidMessageDigestAttribute, messageDigest, check) ||
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

// Where the signed image takes head's checksum from. The writer rebuilds
// head and sums it anew; the directory of the signed font holds the value
// the signer wrote. That value is signed like every other table's, so the
// image is checked with it: a checksum changed after signing then fails.
enum class HeadChecksum {
    kAsStored,    // the signed font's directory entry
    kRecomputed,  // summed from the rebuilt table: only to explain a failure
};

// The font's digests, each taken once however many signatures ask for it:
// a table of many copies of one signature costs no more font reading than
// one signature does.
class FontDigests {
public:
    // Sends a collection's signed bytes, as its file lies, to a sink.
    using Emit = std::function<void(OTChunkSink&, OTLayoutOrder)>;
    explicit FontDigests(OTFont& font) : font_(&font) {
        // Read before any layout: laying head out replaces its checksum.
        const int32_t head = font.findTable("head");
        if (head >= 0 && font.table(head).rebuildsImage()) {
            hasHead_ = true;
            storedHead_ = font.table(head).checksum();
        }
        sameOrders_ =
            same_layouts(font.layout(OTLayoutOrder::kWriter), font.layout(OTLayoutOrder::kFile));
    }
    // A collection is hashed as its file lies: one image, whatever the order.
    FontDigests(Emit emit, bool oneOrder) : emit_(std::move(emit)), oneOrder_(oneOrder) {}
    std::vector<uint8_t> get(const EVP_MD* md, OTLayoutOrder order,
                             HeadChecksum head = HeadChecksum::kAsStored) {
        if (oneOrder_) order = OTLayoutOrder::kFile;
        const int nid = EVP_MD_get_type(md);
        for (const Entry& e : taken_) {
            if (e.nid == nid && e.order == order && e.head == head) return e.digest;
        }
        static const uint8_t kFlags[2] = {0x00, 0x01};
        DigestSink sink(md);
        if (font_) {
            OTLayout layout = font_->layout(order);
            if (head == HeadChecksum::kAsStored) headDiffers_ = keep_stored_head(layout);
            font_->emit(layout, sink);
            sink.put(kFlags, sizeof kFlags);
        } else {
            emit_(sink, order);
        }
        taken_.push_back({nid, order, head, sink.finish()});
        return taken_.back().digest;
    }
    bool oneOrder() const { return oneOrder_; }
    // Whether the directory's head checksum is not the one the rebuilt
    // table sums to (known once a digest has been taken).
    bool headDiffers() const { return headDiffers_; }
    // Both orders give the same image (a file already in our order).
    bool sameOrders() const { return sameOrders_; }
    // Why the image may differ from the signed one, given the time stamp's
    // time (0 unknown); null: the font changed after signing.
    std::function<std::string(int64_t)> explainMismatch;

private:
    // Puts the stored head checksum into the laid-out directory and moves
    // checkSumAdjustment with it, as a writer summing the directory's
    // values would have. True when it differs from the rebuilt one.
    bool keep_stored_head(OTLayout& layout) {
        if (!hasHead_) return false;
        uint8_t* record = nullptr;
        for (size_t at = 12; at + 16 <= layout.directory.size(); at += 16) {
            if (std::memcmp(layout.directory.data() + at, "head", 4) == 0)
                record = layout.directory.data() + at;
        }
        if (!record || loadBE32(record + 4) == storedHead_) return false;
        const uint32_t delta = storedHead_ - loadBE32(record + 4);
        storeBE32(record + 4, storedHead_);
        // The adjustment sums the records' checksums and the directory's
        // bytes, which hold the same checksum once more.
        const int32_t at = font_->checksumAdjustmentPosition();
        for (const OTLayoutPiece& piece : layout.pieces) {
            if (piece.image < 0 || at < 0 || static_cast<uint64_t>(at) < piece.offset ||
                static_cast<uint64_t>(at) + 4 > piece.offset + piece.length)
                continue;
            uint8_t* adjustment = layout.images[static_cast<size_t>(piece.image)].data() +
                                  (static_cast<uint64_t>(at) - piece.offset);
            storeBE32(adjustment, loadBE32(adjustment) - 2 * delta);
        }
        return true;
    }

    struct Entry {
        int nid;
        OTLayoutOrder order;
        HeadChecksum head;
        std::vector<uint8_t> digest;
    };
    static bool same_layouts(const OTLayout& a, const OTLayout& b) {
        if (a.size != b.size || a.directory != b.directory || a.images != b.images ||
            a.pieces.size() != b.pieces.size()) {
            return false;
        }
        for (size_t i = 0; i < a.pieces.size(); ++i) {
            const OTLayoutPiece& p = a.pieces[i];
            const OTLayoutPiece& q = b.pieces[i];
            if (p.offset != q.offset || p.length != q.length || p.padding != q.padding ||
                p.image != q.image || (p.image < 0 && p.inputOffset != q.inputOffset)) {
                return false;
            }
        }
        return true;
    }

    OTFont* font_ = nullptr;  // a single font; else emit_ gives a collection's bytes
    Emit emit_;
    bool oneOrder_ = false;
    bool sameOrders_ = false;
    bool hasHead_ = false;
    uint32_t storedHead_ = 0;
    bool headDiffers_ = false;
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
            if (oid == kOidIndividualCodeSigning) out.statement = "individual";
            if (oid == kOidCommercialCodeSigning) out.statement = "commercial";
        }
    }
    if (!find_attribute(authenticated, kOidPublisherInfo, value, check)) return;
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

// A roots file larger than this is not read: a system's whole bundle is a
// few hundred KiB.
constexpr size_t kMaxRootsFile = 16 << 20;

// The certificates of the roots file at `path` (PEM, every certificate in
// it; or one DER certificate): roots and, to complete chains, the
// intermediates under them. Opened without waiting, so that a FIFO or a
// device cannot hold the call; only a regular file is read. Empty, with
// `why` set, when none can be taken from it.
std::vector<X509Ptr> read_roots(const char* path, std::string& why) {
    std::vector<X509Ptr> certs;
    SecureBytes bytes;
    int reason = 0;
    if (!read_regular_file(path, kMaxRootsFile, bytes, &reason)) {
        why = reason == kFileTooLarge ? "it is larger than 16 MiB" : file_fault_text(reason);
        return certs;
    }
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    while (bio) {
        X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!cert) break;
        certs.emplace_back(cert);
    }
    if (certs.empty() && !bytes.empty()) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
        if (cert) certs.emplace_back(cert);
    }
    ERR_clear_error();
    if (certs.empty()) why = bytes.empty() ? "it is empty" : "it holds no certificate";
    return certs;
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

// Why `cert` does not chain to the roots through `certs` at `when`
// (seconds since 1970; 0 the judging time); empty when it does.
std::string chain_fault(X509* cert, STACK_OF(X509) * certs, TrustSession& trust, int64_t when) {
    return trust.chainFault(cert, certs, when);
}

// A time stamp that was found to cover the signature.
struct Stamp {
    Pkcs7Ptr token;          // an RFC 3161 token's SignedData: it owns its certificates
    X509* signer = nullptr;  // the stamper's certificate
};

// A time stamp counts only when its signer may time-stamp: any other
// certificate of a trusted CA could otherwise date a signature into an
// expired certificate's lifetime.
void require_stamping_purpose(X509* cert, StampKind kind) {
    const std::string fault = timestamp_purpose_fault(cert, kind);
    if (!fault.empty()) failed("timestamp", "the time stamp does not count: " + fault);
}

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
        if (find_attribute(stamp.authenticated, kOidSigningTimeAttribute, when, check)) {
            const unsigned char* p = when.start;
            TimePtr t(d2i_ASN1_TIME(nullptr, &p, static_cast<long>(when.total())));
            out.timestampTime = time_of(t.get());
        }
        out.timestampSigner = name_of(X509_get_subject_name(stamp.cert));
        require_stamping_purpose(stamp.cert, StampKind::kCounterSignature);
        found.signer = stamp.cert;
        return found;
    }
    if (!find_attribute(signer.unauthenticated, kOidRfc3161TimeStamp, value, check)) return found;
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
    const DigestFacts* imprintDigest =
        digest_by_nid(OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(imprint)->algorithm));
    const EVP_MD* md = imprintDigest ? imprintDigest->md() : nullptr;
    if (!md) failed(check, "the time stamp's imprint algorithm is not supported");
    std::vector<uint8_t> expected = digest_of(md, signature.data(), signature.size());
    ASN1_OCTET_STRING* got = TS_MSG_IMPRINT_get_msg(imprint);
    if (static_cast<size_t>(got->length) != expected.size() ||
        std::memcmp(got->data, expected.data(), expected.size()) != 0) {
        failed(check, "the time stamp's imprint does not cover this signature");
    }
    out.timestampTime = time_of(TS_TST_INFO_get_time(info.get()));
    out.timestampSigner = name_of(X509_get_subject_name(stamp.cert));
    require_stamping_purpose(stamp.cert, StampKind::kRfc3161);
    found.signer = stamp.cert;
    found.token = std::move(token.p7);
    return found;
}

// The signer's chain, at the time stamp's time when there is one. A time
// stamp is relied on when the signer's certificate holds only at its time
// (it has expired since): then the stamp's own signer must chain to the
// roots at that time, or a time stamp made by just anyone would revive any
// expired certificate.
void check_chain(X509* cert, STACK_OF(X509) * certs, const Stamp& stamp, TrustSession& trust,
                 FontVerification& out) {
    std::string fault = chain_fault(cert, certs, trust, out.timestampTime);
    if (!fault.empty()) failed("chain", "the signer's chain does not hold: " + fault);
    if (stamp.signer && out.timestampTime > 0 && !chain_fault(cert, certs, trust, 0).empty()) {
        CertList both;
        both.add(certs);
        if (stamp.token) both.add(stamp.token->d.sign->cert);
        fault = chain_fault(stamp.signer, both.get(), trust, out.timestampTime);
        if (!fault.empty()) {
            failed("chain",
                   "the signer's certificate holds only at the time stamp's time, and the time "
                   "stamp signer's chain does not hold: " +
                       fault);
        }
    }
    // Signing warns by the same rule (x509/key_purpose_list.h).
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    const CodeSigningUse use = length > 0
                                   ? certificate_code_signing(der, static_cast<size_t>(length))
                                   : CodeSigningUse::kUnreadable;
    OPENSSL_free(der);
    if (use != CodeSigningUse::kAllowed) {
        failed("chain", std::string("the signer certificate is not for code signing: ") +
                            code_signing_fault(use));
    }
    out.chainChecked = 1;
}

// The outcome of a trust check, kept in the result; a failure ends the check.
void trust_outcome(std::string& status, std::string& note, const char* check,
                   const TrustOutcome& outcome) {
    status = outcome.status;
    note = outcome.reason;
    if (outcome.status == "fail") failed(check, outcome.reason);
}

// The chain (when roots are given), revocation along it (when asked) and
// what the policy requires of both.
void check_trust(X509* cert, STACK_OF(X509) * certs, const Stamp& stamp, TrustSession& trust,
                 FontVerification& out) {
    const TrustOptions& policy = trust.options();
    if (!trust.loadFault().empty()) {
        (std::strcmp(trust.loadFaultCheck(), "chain") == 0 ? out.chainStatus
                                                           : out.revocationStatus) = "unknown";
        failed(trust.loadFaultCheck(), trust.loadFault());
    }
    if (!policy.hasRoots()) {
        out.chainStatus = "not checked";
        out.chainNote = "no roots were given";
        out.revocationStatus = "not checked";
        out.revocationNote = "revocation is checked only along a chain to given roots";
        if (policy.requireChain) {
            trust_outcome(out.chainStatus, out.chainNote, "chain",
                          {"fail", "a chain to trusted roots is required and no roots were given"});
        }
        if (policy.requireRevocationCheck) {
            trust_outcome(out.revocationStatus, out.revocationNote, "revocation",
                          {"fail", "a revocation check is required and no roots were given"});
        }
        return;
    }
    out.chainStatus = "fail";
    check_chain(cert, certs, stamp, trust, out);
    out.chainStatus = "pass";
    out.chainNote = out.timestampTime > 0 ? "holds at the time stamp's time" : "holds";
    // A time stamp's time counts against revocation only when its own signer
    // chains to the roots then: anyone can stamp any time.
    int64_t stampTime = 0;
    if (stamp.signer && out.timestampTime > 0) {
        CertList both;
        both.add(certs);
        if (stamp.token) both.add(stamp.token->d.sign->cert);
        if (chain_fault(stamp.signer, both.get(), trust, out.timestampTime).empty()) {
            stampTime = out.timestampTime;
        }
    }
    TrustOutcome revoked = trust.revocation(cert, certs, out.timestampTime, stampTime);
    if (stampTime == 0 && out.timestampTime > 0 && revoked.status == "fail") {
        revoked.reason +=
            " (the time stamp's signer does not chain to the roots, so its time "
            "is not relied on)";
    }
    if (policy.requireRevocationCheck && revoked.status != "pass" && revoked.status != "fail") {
        revoked = {"fail",
                   "a revocation check is required and none could be made: " + revoked.reason};
    }
    trust_outcome(out.revocationStatus, out.revocationNote, "revocation", revoked);
}

// Why the font digest does not match. An unwrapped font's explanation may
// need the time stamp's time, which is read without judging the stamp.
std::string digest_mismatch(FontDigests& font, const EVP_MD* md, const std::vector<uint8_t>& stored,
                            const SignedDataParts& parts, STACK_OF(X509) * certs) {
    // head's checksum is signed like every table's: one changed in the
    // directory alone is named as such.
    if (font.headDiffers() &&
        (font.get(md, OTLayoutOrder::kWriter, HeadChecksum::kRecomputed) == stored ||
         font.get(md, OTLayoutOrder::kFile, HeadChecksum::kRecomputed) == stored)) {
        return "the head table's checksum in the table directory changed after signing";
    }
    if (!font.explainMismatch) return "the font changed after signing";
    FontVerification probe;
    try {
        SignerCheck signer = check_signer(parts.signer, certs, parts.content.value,
                                          parts.content.length, false, "signature");
        check_timestamp(signer, certs, probe);
    } catch (const Failure&) {
        probe.timestampTime = 0;
    }
    return font.explainMismatch(probe.timestampTime);
}

void verify_signature(const DsigSignature& record, FontDigests& font, TrustSession& trust,
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
    const DigestFacts* fontDigest = digest_by_nid(nid);
    if (!fontDigest) failed("digest", "the font digest's algorithm is not supported");
    const char* name = fontDigest->name;
    out.digest = name;
    const std::string& minDigest = trust.options().minDigest;
    const DigestFacts* least = digest_by_name(minDigest);
    if (least && fontDigest->algorithm < least->algorithm) {
        failed("digest", std::string("the font digest is ") + name + ", weaker than the " +
                             minDigest + " required");
    }

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
    if (font.oneOrder()) {
        if (font.get(md, OTLayoutOrder::kFile) != stored) {
            failed("digest", "the collection changed after signing");
        }
        out.layout = "file";
    } else if (font.sameOrders()) {
        // One image whichever order: the font is read once.
        if (font.get(md, OTLayoutOrder::kWriter) != stored) {
            failed("digest", digest_mismatch(font, md, stored, parts, certs));
        }
        out.layout = "writer";
    } else if (font.get(md, OTLayoutOrder::kFile) == stored) {
        // Data not in our order was most likely signed as it lies: tried first.
        out.layout = "file";
    } else if (font.get(md, OTLayoutOrder::kWriter) == stored) {
        out.layout = "writer";
    } else {
        failed("digest", digest_mismatch(font, md, stored, parts, certs));
    }

    // The content is digested without its outer SEQUENCE header.
    SignerCheck signer = check_signer(parts.signer, certs, parts.content.value,
                                      parts.content.length, false, "signature");
    describe_signer(signer.cert, out);
    read_descriptions(signer.authenticated, out);
    const Stamp stamp = check_timestamp(signer, certs, out);
    if (trust.options().requireTimestamp && out.timestampKind.empty()) {
        failed("timestamp", "a time stamp is required and the signature has none");
    }
    check_trust(signer.cert, certs, stamp, trust, out);
}

// Judges the signatures of `dsig` over the image `digests` gives: every
// one in order, or only the signatureNumber-th. Failure propagates.
FontVerification judge_signatures(const OTDsigTable& dsig, FontDigests& digests,
                                  TrustSession& trust, int32_t signatureNumber,
                                  FontVerification out) {
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
    for (int32_t n = first; n <= last; ++n) {
        FontVerification one = out;
        one.signatureNumber = n;
        try {
            verify_signature(dsig.signatures[static_cast<size_t>(n - 1)], digests, trust, one);
        } catch (const Failure& f) {
            one.verdict = FontVerdict::kInvalid;
            one.check = f.check;
            // Judging the whole font, say which of several signatures failed.
            one.reason = signatureNumber == 0 && count > 1
                             ? "signature " + std::to_string(n) + " of " + std::to_string(count) +
                                   ": " + f.reason
                             : f.reason;
            return one;
        }
        one.verdict = FontVerdict::kValid;
        if (n == first) shown = std::move(one);
    }
    return shown;
}

// A collection carries one DSIG for the whole file, named by its header and
// covering the file as it lies up to the DSIG.
FontVerification verify_collection(const char* path, TrustSession& trust, int32_t signatureNumber) {
    FontVerification out;
    OTSourceCollection source = open_collection(path);
    out.memberCount = static_cast<int32_t>(source.collection.members.size());
    try {
        if (source.dsigState == OTDsigState::kAbsent) {
            out.verdict = FontVerdict::kUnsigned;
            out.reason = source.collection.majorVersion < 2
                             ? "the collection's version 1 header names no DSIG table"
                             : "the collection's header names no DSIG table";
            return out;
        }
        if (source.dsigState == OTDsigState::kDamaged) {
            failed("table",
                   "the DSIG table the collection's header names cannot be read: it, "
                   "a record or a block lies outside its bounds, or its tag is not DSIG");
        }
        out.flags = source.dsig->flags;
        out.signatureCount = static_cast<int32_t>(source.dsig->signatures.size());
        const std::string fault = collection_layout_fault(source.collection);
        if (!fault.empty()) failed("table", fault);
        FontDigests digests(
            [&source](OTChunkSink& sink, OTLayoutOrder) {
                emit_stored_collection_image(source, sink);
            },
            true);
        return judge_signatures(*source.dsig, digests, trust, signatureNumber, out);
    } catch (const Failure& f) {
        out.verdict = FontVerdict::kInvalid;
        out.check = f.check;
        out.reason = f.reason;
    }
    return out;
}

// A WOFF's decoded font that does not reproduce the signed image: an encoder
// that stamps head.modified changed a signed table, which shows when the
// date is later than the signature's time stamp; else the usual cause is the
// table data moved or padded otherwise than in the font that was signed.
std::function<std::string(int64_t)> woff_mismatch(int64_t headModified) {
    return [headModified](int64_t stampTime) -> std::string {
        if (stampTime > 0 && headModified > stampTime) {
            return "the head table changed after signing: its modified date (" +
                   utc_text(headModified) + ") is later than the signature's time stamp (" +
                   utc_text(stampTime) +
                   "); the WOFF encoder rewrote it (fontTools does unless recalcTimestamp is "
                   "False)";
        }
        return "the font decoded from the WOFF does not reproduce the signed image: the font "
               "changed after signing, or the WOFF encoder reordered or re-padded tables "
               "(or rewrote head's modified date, now " +
               utc_text(headModified) + ")";
    };
}

}  // namespace

FontVerification verify_font(const char* path, const char* caFile, int32_t signatureNumber) {
    TrustOptions options;
    if (caFile) options.caFile = caFile;
    return verify_font(path, options, signatureNumber);
}

FontVerification verify_font(const char* path, const TrustOptions& options,
                             int32_t signatureNumber) {
    TrustSession trust(options);
    if (is_font_collection(path)) return verify_collection(path, trust, signatureNumber);
    FontVerification out;
    // Roots that cannot be used would fail every font for the same reason:
    // the request is at fault, not the font, which is not even read.
    if (!options.caFile.empty()) {
        std::string why;
        if (read_roots(options.caFile.c_str(), why).empty()) {
            out.verdict = FontVerdict::kRootsUnusable;
            out.reason = why;
            return out;
        }
    }
    const WoffKind wrapped = woff_kind(path);
    if (wrapped == WoffKind::kWoff2) {
        out.verdict = FontVerdict::kInvalid;
        out.check = "table";
        out.container = "woff2";
        out.reason =
            "a WOFF2 font cannot carry a signature: its encoder rebuilds tables (glyf, loca, "
            "hmtx), so the bytes a signature covers are gone; verify the font it was made from";
        return out;
    }
    WoffFont woff;
    if (wrapped == WoffKind::kWoff) woff = decode_woff(path);
    OTSourceFont source =
        wrapped == WoffKind::kWoff ? open_font_stream(std::move(woff.sfnt)) : open_font(path);
    if (wrapped == WoffKind::kWoff) out.container = "woff";
    try {
        if (source.dsigState == OTDsigState::kAbsent) {
            out.verdict = FontVerdict::kUnsigned;
            out.reason = "the font has no DSIG table";
            return out;
        }
        if (source.dsigState == OTDsigState::kDamaged) {
            failed("table", "the DSIG table cannot be read: a record or block lies outside it");
        }
        FontDigests digests(*source.font);
        if (wrapped == WoffKind::kWoff) digests.explainMismatch = woff_mismatch(woff.headModified);
        return judge_signatures(*source.dsig, digests, trust, signatureNumber, out);
    } catch (const Failure& f) {
        out.verdict = FontVerdict::kInvalid;
        out.check = f.check;
        out.reason = f.reason;
    }
    return out;
}

}  // namespace fontseal

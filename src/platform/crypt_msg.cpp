// SPDX-License-Identifier: Apache-2.0
// The signed-message calls: a PKCS#7 SignedData built with OpenSSL's PKCS#7
// structures, not with the library's own encoder, so the two signing routes
// stay independent of each other.
//
// The SignerInfo is not signed through OpenSSL's own key path: the sorted
// authenticated attributes are encoded and digested here, and only the
// DigestInfo goes to the provider, which is all a hardware token can sign.
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/ossl_ptr.h"
#include "platform/crypt_api.h"

namespace fontseal {

namespace {

// The data content type, looked up in OpenSSL's table of objects: the
// identifiers themselves are spelled only in the format layers above.
bool is_data_type(const char* oid) {
    ERR_set_mark();
    ObjectPtr object(OBJ_txt2obj(oid, 1));
    ERR_pop_to_mark();
    return object && OBJ_obj2nid(object.get()) == NID_pkcs7_data;
}

struct AttributeCopy {
    std::string oid;
    std::vector<StoreBytes> values;
};

struct SignerCopy {
    StoreBytes issuer;    // DER Name
    StoreBytes serialLe;  // INTEGER content, least significant first
    HCRYPTPROV provider = nullptr;
    std::string hashOid;
    std::vector<AttributeCopy> authenticated;
    std::vector<AttributeCopy> unauthenticated;
};

StoreBytes copy_blob(const CRYPT_DATA_BLOB& blob) {
    if (!blob.pbData || blob.cbData == 0) return {};
    return StoreBytes(blob.pbData, blob.pbData + blob.cbData);
}

std::vector<AttributeCopy> copy_attributes(DWORD count, const CRYPT_ATTRIBUTE* attributes) {
    std::vector<AttributeCopy> out;
    for (DWORD i = 0; i < count; ++i) {
        AttributeCopy copy;
        copy.oid = attributes[i].pszObjId ? attributes[i].pszObjId : "";
        for (DWORD v = 0; v < attributes[i].cValue; ++v)
            copy.values.push_back(copy_blob(attributes[i].rgValue[v]));
        out.push_back(std::move(copy));
    }
    return out;
}

// The digest named by a dotted OID, or null.
const EVP_MD* digest_of(const std::string& oid) {
    ObjectPtr object(OBJ_txt2obj(oid.c_str(), 1));
    return object ? EVP_get_digestbyobj(object.get()) : nullptr;
}

}  // namespace

class CryptMsgHandle {
public:
    std::string innerType;
    std::vector<SignerCopy> signers;
    std::vector<StoreBytes> certificates;
    StoreBytes content;  // the complete inner element, header included
    bool finished = false;
    StoreBytes encoded;
};

namespace {

// Takes what the message needs out of the caller's description, so the
// caller's structures need not outlive the call.
bool copy_description(DWORD encoding, DWORD type, const void* encode_info, const char* inner_type,
                      CryptMsgHandle& message) {
    const auto* info = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(encode_info);
    // Only signed messages over a content type other than data are made.
    if (!(encoding & PKCS_7_ASN_ENCODING) || type != CMSG_SIGNED || !info ||
        info->cbSize < sizeof(CMSG_SIGNED_ENCODE_INFO) || !inner_type || is_data_type(inner_type)) {
        SetLastError(type != CMSG_SIGNED ? kStoreBadMessageType : kStoreInvalidArgument);
        return false;
    }
    message.innerType = inner_type;
    for (DWORD i = 0; i < info->cSigners; ++i) {
        const CMSG_SIGNER_ENCODE_INFO& s = info->rgSigners[i];
        if (s.cbSize < sizeof(CMSG_SIGNER_ENCODE_INFO) || !s.pCertInfo || !s.hCryptProv ||
            !s.HashAlgorithm.pszObjId) {
            SetLastError(kStoreInvalidArgument);
            return false;
        }
        SignerCopy copy;
        copy.issuer = copy_blob(s.pCertInfo->Issuer);
        copy.serialLe = copy_blob(s.pCertInfo->SerialNumber);
        copy.provider = s.hCryptProv;
        copy.hashOid = s.HashAlgorithm.pszObjId;
        copy.authenticated = copy_attributes(s.cAuthAttr, s.rgAuthAttr);
        copy.unauthenticated = copy_attributes(s.cUnauthAttr, s.rgUnauthAttr);
        message.signers.push_back(std::move(copy));
    }
    for (DWORD i = 0; i < info->cCertEncoded; ++i)
        message.certificates.push_back(copy_blob(info->rgCertEncoded[i]));
    return true;
}

// Adds one attribute, each value a complete DER element kept as it is:
// OpenSSL writes a value typed SEQUENCE without a header of its own, whatever
// the element is (V_ASN1_OTHER would do the same but is mistaken for a
// multi-byte string flag by the attribute setter).
bool add_attribute(STACK_OF(X509_ATTRIBUTE) * *stack, const AttributeCopy& attribute) {
    if (attribute.values.empty()) return false;
    AttributePtr a;
    for (const StoreBytes& value : attribute.values) {
        X509_ATTRIBUTE* raw = a.get();
        if (!X509_ATTRIBUTE_create_by_txt(&raw, attribute.oid.c_str(), V_ASN1_SEQUENCE,
                                          value.data(), static_cast<int>(value.size())))
            return false;
        a.release();
        a.reset(raw);
    }
    return X509at_add1_attr(stack, a.get()) != nullptr;
}

ASN1_INTEGER* serial_of(const StoreBytes& little_endian) {
    if (little_endian.empty() || little_endian.size() > 127) return nullptr;
    StoreBytes der = {V_ASN1_INTEGER, static_cast<uint8_t>(little_endian.size())};
    der.insert(der.end(), little_endian.rbegin(), little_endian.rend());
    const unsigned char* p = der.data();
    return d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size()));
}

// The DigestInfo (PKCS#1) of `digest` under `md`.
bool digest_info(const EVP_MD* md, const unsigned char* digest, unsigned int length,
                 StoreBytes& out) {
    X509SigPtr sig(X509_SIG_new());
    if (!sig) return false;
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* value = nullptr;
    X509_SIG_getm(sig.get(), &algorithm, &value);
    if (!X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) ||
        !ASN1_OCTET_STRING_set(value, digest, static_cast<int>(length)))
        return false;
    unsigned char* der = nullptr;
    int der_length = i2d_X509_SIG(sig.get(), &der);
    if (der_length <= 0) return false;
    out.assign(der, der + der_length);
    OPENSSL_free(der);
    return true;
}

// One SignerInfo over `inner_digest` (the digest of the content's contents),
// signed by its provider, or with zeros of the signature's size when only
// the length is wanted.
bool add_signer(PKCS7* p7, const SignerCopy& signer, const std::string& inner_type,
                const StoreBytes& contents, bool sign) {
    const EVP_MD* md = digest_of(signer.hashOid);
    if (!md) return false;
    SignerInfoPtr si(PKCS7_SIGNER_INFO_new());
    if (!si || !ASN1_INTEGER_set(si->version, 1)) return false;

    const unsigned char* p = signer.issuer.data();
    X509_NAME* issuer = d2i_X509_NAME(nullptr, &p, static_cast<long>(signer.issuer.size()));
    bool named = issuer && X509_NAME_set(&si->issuer_and_serial->issuer, issuer);
    X509_NAME_free(issuer);
    ASN1_INTEGER* serial = serial_of(signer.serialLe);
    if (!named || !serial) {
        ASN1_INTEGER_free(serial);
        return false;
    }
    ASN1_INTEGER_free(si->issuer_and_serial->serial);
    si->issuer_and_serial->serial = serial;
    if (!X509_ALGOR_set0(si->digest_alg, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) ||
        !X509_ALGOR_set0(si->digest_enc_alg, OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL, nullptr))
        return false;

    for (const AttributeCopy& a : signer.authenticated)
        if (!add_attribute(&si->auth_attr, a)) return false;
    // contentType and messageDigest, as the platform adds them itself.
    ASN1_OBJECT* type = OBJ_txt2obj(inner_type.c_str(), 1);
    if (!type ||
        !PKCS7_add_signed_attribute(si.get(), NID_pkcs9_contentType, V_ASN1_OBJECT, type)) {
        ASN1_OBJECT_free(type);
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = static_cast<unsigned int>(EVP_MD_get_size(md));
    if (sign) {
        if (!EVP_Digest(contents.data(), contents.size(), digest, &digest_length, md, nullptr))
            return false;
    } else {
        std::memset(digest, 0, sizeof digest);
    }
    ASN1_OCTET_STRING* message_digest = ASN1_OCTET_STRING_new();
    if (!message_digest ||
        !ASN1_OCTET_STRING_set(message_digest, digest, static_cast<int>(digest_length)) ||
        !PKCS7_add_signed_attribute(si.get(), NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                    message_digest)) {
        ASN1_OCTET_STRING_free(message_digest);
        return false;
    }
    for (const AttributeCopy& a : signer.unauthenticated)
        if (!add_attribute(&si->unauth_attr, a)) return false;

    // The signature covers the attributes as a DER SET OF, sorted.
    StoreBytes signature;
    if (sign) {
        unsigned char* attributes = nullptr;
        int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
        OsslBytes owned(attributes);
        StoreBytes info;
        if (length <= 0 ||
            !EVP_Digest(attributes, static_cast<size_t>(length), digest, &digest_length, md,
                        nullptr) ||
            !digest_info(md, digest, digest_length, info) ||
            !signer.provider->signDigestInfo(info.data(), info.size(), signature))
            return false;
    } else {
        signature.assign(signer.provider->signatureSize(), 0);
    }
    if (signature.empty() || !ASN1_OCTET_STRING_set(si->enc_digest, signature.data(),
                                                    static_cast<int>(signature.size())))
        return false;
    if (!PKCS7_add_signer(p7, si.get())) return false;
    si.release();
    return true;
}

// The DER ContentInfo of the message over `content`, one complete element.
// Without `sign` only the length matters: the content is not looked at, and
// the digest and signature, whose sizes are fixed, are zeros.
bool encode_message(const CryptMsgHandle& m, const StoreBytes& content, bool sign,
                    StoreBytes& out) {
    // For a content type other than data the messageDigest covers the
    // element's contents, without its header, as the platform does.
    StoreBytes contents;
    if (sign) {
        const unsigned char* p = content.data();
        long length = 0;
        int tag = 0, cls = 0;
        int form = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(content.size()));
        if ((form & 0x80) || form == 0x21 || p + length != content.data() + content.size())
            return false;
        contents.assign(p, p + length);
    }

    Pkcs7Ptr p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_signed)) return false;
    Pkcs7Ptr inner(PKCS7_new());
    if (!inner) return false;
    ASN1_OBJECT_free(inner->type);
    inner->type = OBJ_txt2obj(m.innerType.c_str(), 1);
    ASN1_TYPE* other = ASN1_TYPE_new();
    ASN1_STRING* element = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    if (!inner->type || !other || !element ||
        !ASN1_STRING_set(element, content.data(), static_cast<int>(content.size()))) {
        ASN1_TYPE_free(other);
        ASN1_STRING_free(element);
        return false;
    }
    ASN1_TYPE_set(other, V_ASN1_SEQUENCE, element);
    inner->d.other = other;
    if (!PKCS7_set_content(p7.get(), inner.get())) return false;
    inner.release();

    for (const StoreBytes& certificate : m.certificates) {
        const unsigned char* q = certificate.data();
        X509Ptr x(d2i_X509(nullptr, &q, static_cast<long>(certificate.size())));
        if (!x || !PKCS7_add_certificate(p7.get(), x.get())) return false;
    }
    for (const SignerCopy& signer : m.signers)
        if (!add_signer(p7.get(), signer, m.innerType, contents, sign)) return false;

    unsigned char* der = nullptr;
    int length = i2d_PKCS7(p7.get(), &der);
    if (length <= 0) return false;
    out.assign(der, der + length);
    OPENSSL_free(der);
    return true;
}

}  // namespace

DWORD CryptMsgCalculateEncodedLength(DWORD encoding, DWORD, DWORD type, const void* encode_info,
                                     const char* inner_type, DWORD content_length) {
    try {
        CryptMsgHandle message;
        if (!copy_description(encoding, type, encode_info, inner_type, message)) return 0;
        const StoreBytes content(content_length, 0);
        StoreBytes encoded;
        if (!encode_message(message, content, false, encoded)) {
            SetLastError(kStoreInvalidArgument);
            return 0;
        }
        return static_cast<DWORD>(encoded.size());
    } catch (const std::bad_alloc&) {
        SetLastError(kStoreNoMemory);
        return 0;
    }
}

HCRYPTMSG CryptMsgOpenToEncode(DWORD encoding, DWORD, DWORD type, const void* encode_info,
                               const char* inner_type, void* stream_info) {
    if (stream_info) {
        SetLastError(kStoreInvalidArgument);
        return nullptr;
    }
    try {
        std::unique_ptr<CryptMsgHandle> message(new CryptMsgHandle());
        if (!copy_description(encoding, type, encode_info, inner_type, *message)) return nullptr;
        return message.release();
    } catch (const std::bad_alloc&) {
        SetLastError(kStoreNoMemory);
        return nullptr;
    }
}

BOOL CryptMsgUpdate(HCRYPTMSG message, const BYTE* data, DWORD length, BOOL final) {
    if (!message || message->finished || (length && !data)) {
        SetLastError(kStoreInvalidArgument);
        return FALSE;
    }
    try {
        message->content.insert(message->content.end(), data, data + length);
        if (!final) return TRUE;
        message->finished = true;
        if (!encode_message(*message, message->content, true, message->encoded)) {
            SetLastError(kStoreSignFailed);
            return FALSE;
        }
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(kStoreNoMemory);
        return FALSE;
    }
}

BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD parameter, DWORD, void* data, DWORD* size) {
    if (!message || !size || parameter != CMSG_CONTENT_PARAM || message->encoded.empty()) {
        SetLastError(kStoreInvalidArgument);
        return FALSE;
    }
    const DWORD length = static_cast<DWORD>(message->encoded.size());
    if (data && *size < length) {
        *size = length;
        SetLastError(kStoreMoreData);
        return FALSE;
    }
    if (data) std::memcpy(data, message->encoded.data(), length);
    *size = length;
    return TRUE;
}

BOOL CryptMsgClose(HCRYPTMSG message) {
    delete message;
    return TRUE;
}

}  // namespace fontseal

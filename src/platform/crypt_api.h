// SPDX-License-Identifier: Apache-2.0
// The certificate-store and signed-message calls the system-store signer is
// written against, under the names and with the meanings it relies on, over
// the stores of cert_store.h and OpenSSL. Only what the signer uses exists:
//
//   CertOpenSystemStoreA            a store handle for "MY", null on failure
//   CertEnumCertificatesInStore     next context, null at the end; frees the previous
//   CertDuplicateCertificateContext a context that outlives the store
//   CertCloseStore                  duplicated contexts stay valid
//   CertFreeCertificateContext      releases one reference
//   CertGetCertificateContextProperty  key-provider, SHA-1 and friendly-name
//                                   properties, two of our own for token
//                                   entries and one for the issuing chain;
//                                   size query with a null buffer
//   CertGetNameStringA              simple or friendly display name, subject or
//                                   issuer; the size with the NUL, then the text
//   FileTimeToSystemTime            the same instant as calendar fields (UTC)
//   CryptAcquireCertificatePrivateKey  the entry's key as a provider; with
//                                   CRYPT_ACQUIRE_COMPARE_KEY_FLAG only if it
//                                   belongs to the certificate
//   CryptReleaseContext             releases a provider
//   CryptMsgCalculateEncodedLength  an upper bound of the encoded SignedData
//   CryptMsgOpenToEncode, CryptMsgUpdate, CryptMsgGetParam, CryptMsgClose
//                                   a complete DER ContentInfo (signedData)
//
// Failing calls leave a kStore* code (cert_store.h) for GetLastError, per
// thread. Names are UTF-8 (the 8-bit text of this platform).
#pragma once
#include <cstdint>

#include "platform/cert_store.h"

namespace fontseal {

using BYTE = uint8_t;
using DWORD = uint32_t;
using BOOL = int;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
constexpr DWORD CERT_FRIENDLY_NAME_PROP_ID = 11;
constexpr DWORD CERT_FIRST_USER_PROP_ID = 0x8000;
// A token entry's label and serial number, each ending with a NUL.
constexpr DWORD FONTSEAL_TOKEN_PROP_ID = CERT_FIRST_USER_PROP_ID;
// Present (one zero byte) when the entry's token hides whether it holds the
// key until the user logs in; the key-provider property is then given too.
constexpr DWORD FONTSEAL_KEY_UNKNOWN_PROP_ID = CERT_FIRST_USER_PROP_ID + 1;
// The certificates that issued the entry's, as its CA delivered them: DER
// elements back to back, the issuer first, the root left out. Absent when
// the store keeps none for it.
constexpr DWORD FONTSEAL_CHAIN_PROP_ID = CERT_FIRST_USER_PROP_ID + 2;
constexpr DWORD CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
constexpr DWORD CERT_NAME_FRIENDLY_DISPLAY_TYPE = 5;
constexpr DWORD CERT_NAME_ISSUER_FLAG = 0x1;
constexpr DWORD CRYPT_ACQUIRE_COMPARE_KEY_FLAG = 0x4;
constexpr DWORD AT_SIGNATURE = 2;
constexpr DWORD CMSG_SIGNED = 2;
constexpr DWORD CMSG_CONTENT_PARAM = 2;

struct FILETIME {
    DWORD dwLowDateTime;  // 100-nanosecond intervals since 1601-01-01 UTC
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

struct CRYPT_DATA_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPT_DATA_BLOB;
using CERT_NAME_BLOB = CRYPT_DATA_BLOB;
using CRYPT_OBJID_BLOB = CRYPT_DATA_BLOB;
using CRYPT_ATTR_BLOB = CRYPT_DATA_BLOB;
using CERT_BLOB = CRYPT_DATA_BLOB;
using CRL_BLOB = CRYPT_DATA_BLOB;

struct CRYPT_ALGORITHM_IDENTIFIER {
    const char* pszObjId;
    CRYPT_OBJID_BLOB Parameters;  // empty: NULL parameters
};

struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;  // content octets, least significant first
    CERT_NAME_BLOB Issuer;            // DER Name
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;                   // DER Name
    CRYPT_DATA_BLOB SubjectPublicKeyInfoDer;  // DER SubjectPublicKeyInfo
};

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    CERT_INFO* pCertInfo;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_ATTRIBUTE {
    const char* pszObjId;
    DWORD cValue;
    CRYPT_ATTR_BLOB* rgValue;  // each value a complete DER element
};

class CertStoreHandle;
using HCERTSTORE = CertStoreHandle*;
using HCRYPTPROV = StoreKeyProvider*;
class CryptMsgHandle;
using HCRYPTMSG = CryptMsgHandle*;

struct CMSG_SIGNER_ENCODE_INFO {
    DWORD cbSize;
    CERT_INFO* pCertInfo;
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    void* pvHashAuxInfo;
    DWORD cAuthAttr;
    CRYPT_ATTRIBUTE* rgAuthAttr;
    DWORD cUnauthAttr;
    CRYPT_ATTRIBUTE* rgUnauthAttr;
};

struct CMSG_SIGNED_ENCODE_INFO {
    DWORD cbSize;
    DWORD cSigners;
    CMSG_SIGNER_ENCODE_INFO* rgSigners;
    DWORD cCertEncoded;
    CERT_BLOB* rgCertEncoded;
    DWORD cCrlEncoded;
    CRL_BLOB* rgCrlEncoded;
};

DWORD GetLastError();
void SetLastError(DWORD code);

// `provider` must be 0; `name` "MY" (the current user's personal store).
HCERTSTORE CertOpenSystemStoreA(uintptr_t provider, const char* name);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data,
                                       DWORD* size);
DWORD CertGetNameStringA(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* type_parameter,
                         char* name, DWORD capacity);
BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* system_time);

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void* reserved,
                                       HCRYPTPROV* provider, DWORD* key_spec,
                                       BOOL* caller_must_free);
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);

DWORD CryptMsgCalculateEncodedLength(DWORD encoding, DWORD flags, DWORD type,
                                     const void* encode_info, const char* inner_type,
                                     DWORD content_length);
HCRYPTMSG CryptMsgOpenToEncode(DWORD encoding, DWORD flags, DWORD type, const void* encode_info,
                               const char* inner_type, void* stream_info);
BOOL CryptMsgUpdate(HCRYPTMSG message, const BYTE* data, DWORD length, BOOL final);
BOOL CryptMsgGetParam(HCRYPTMSG message, DWORD parameter, DWORD index, void* data, DWORD* size);
BOOL CryptMsgClose(HCRYPTMSG message);

}  // namespace fontseal

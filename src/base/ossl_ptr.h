// SPDX-License-Identifier: Apache-2.0
// Owners of OpenSSL objects, each freed with its own function. Every owner
// of an OpenSSL object in src/ is named here, once, so that no file writes a
// freeing function of its own (and none frees with the wrong one).
#pragma once
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace fontseal {

template <class T, void (*Free)(T*)>
struct OsslFreer {
    void operator()(T* p) const { Free(p); }
};

template <class T, void (*Free)(T*)>
using OsslPtr = std::unique_ptr<T, OsslFreer<T, Free>>;

// Bytes OpenSSL allocated for the caller (the output of i2d_*).
struct OsslBytesFreer {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using OsslBytes = std::unique_ptr<unsigned char, OsslBytesFreer>;

// Stacks: the stack macros are not functions, so each kind of stack gets one.
inline void ossl_free_cert_stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
inline void ossl_free_cert_list(STACK_OF(X509) * s) { sk_X509_free(s); }
inline void ossl_free_cert_infos(STACK_OF(X509_INFO) * s) {
    sk_X509_INFO_pop_free(s, X509_INFO_free);
}
inline void ossl_free_p7_stack(STACK_OF(PKCS7) * s) { sk_PKCS7_pop_free(s, PKCS7_free); }
inline void ossl_free_bag_stack(STACK_OF(PKCS12_SAFEBAG) * s) {
    sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free);
}

// Keys, numbers and parameters.
using EvpPkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using BignumPtr = OsslPtr<BIGNUM, BN_free>;
// Clears as it frees, for numbers that may be private.
using SecretBignumPtr = OsslPtr<BIGNUM, BN_clear_free>;
using ParamBuildPtr = OsslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamsPtr = OsslPtr<OSSL_PARAM, OSSL_PARAM_free>;
using DecoderCtxPtr = OsslPtr<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;

// Certificates, their stacks and checks.
using X509Ptr = OsslPtr<X509, X509_free>;
// Owns the stack and every certificate on it.
using CertStackPtr = OsslPtr<STACK_OF(X509), ossl_free_cert_stack>;
// Owns only the stack; the certificates belong to someone else.
using CertListPtr = OsslPtr<STACK_OF(X509), ossl_free_cert_list>;
using CertInfosPtr = OsslPtr<STACK_OF(X509_INFO), ossl_free_cert_infos>;
using CrlPtr = OsslPtr<X509_CRL, X509_CRL_free>;
using StorePtr = OsslPtr<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = OsslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using UsagePtr = OsslPtr<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using NamesPtr = OsslPtr<GENERAL_NAMES, GENERAL_NAMES_free>;
using InfoAccessPtr = OsslPtr<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>;
using DistPointsPtr = OsslPtr<STACK_OF(DIST_POINT), CRL_DIST_POINTS_free>;

// ASN.1 values.
using ObjectPtr = OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using AlgorPtr = OsslPtr<X509_ALGOR, X509_ALGOR_free>;
using IntegerPtr = OsslPtr<ASN1_INTEGER, ASN1_INTEGER_free>;
using TimePtr = OsslPtr<ASN1_TIME, ASN1_TIME_free>;
using EnumeratedPtr = OsslPtr<ASN1_ENUMERATED, ASN1_ENUMERATED_free>;
using AttributePtr = OsslPtr<X509_ATTRIBUTE, X509_ATTRIBUTE_free>;
using X509SigPtr = OsslPtr<X509_SIG, X509_SIG_free>;

// PKCS#7 and PKCS#12.
using Pkcs7Ptr = OsslPtr<PKCS7, PKCS7_free>;
using Pkcs7StackPtr = OsslPtr<STACK_OF(PKCS7), ossl_free_p7_stack>;
using SignerInfoPtr = OsslPtr<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>;
using Pkcs12Ptr = OsslPtr<PKCS12, PKCS12_free>;
using BagStackPtr = OsslPtr<STACK_OF(PKCS12_SAFEBAG), ossl_free_bag_stack>;
using Pkcs8Ptr = OsslPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using PbeParamPtr = OsslPtr<PBEPARAM, PBEPARAM_free>;
using Pbe2ParamPtr = OsslPtr<PBE2PARAM, PBE2PARAM_free>;
using Pbkdf2ParamPtr = OsslPtr<PBKDF2PARAM, PBKDF2PARAM_free>;
using ScryptParamsPtr = OsslPtr<SCRYPT_PARAMS, SCRYPT_PARAMS_free>;

// Time stamps and OCSP.
using TsReqPtr = OsslPtr<TS_REQ, TS_REQ_free>;
using TsRespPtr = OsslPtr<TS_RESP, TS_RESP_free>;
using TsImprintPtr = OsslPtr<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>;
using TstInfoPtr = OsslPtr<TS_TST_INFO, TS_TST_INFO_free>;
using OcspRequestPtr = OsslPtr<OCSP_REQUEST, OCSP_REQUEST_free>;
using OcspResponsePtr = OsslPtr<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using OcspBasicPtr = OsslPtr<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using CertIdPtr = OsslPtr<OCSP_CERTID, OCSP_CERTID_free>;

// Frees the whole chain; for the single memory BIOs used here it is BIO_free.
using BioPtr = OsslPtr<BIO, BIO_free_all>;

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "store/win_csp.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "base/memory_stream.h"
#include "der/der_header.h"
#include "der/der_reader.h"
#include "der/oids.h"
#include "pkcs7/signer_attributes.h"
#include "x509/p7_certificate.h"

namespace fontseal {

namespace {

SystemTime system_time_of(const FILETIME& time) {
    SYSTEMTIME st = {};
    SystemTime out = {};
    if (FileTimeToSystemTime(&time, &st)) {
        out = {st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
               st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
    }
    return out;
}

// A name fetched the platform's way: the size first, then the text, which
// ends at its first NUL.
std::string name_of(PCCERT_CONTEXT context, DWORD type, DWORD flags) {
    DWORD size = CertGetNameStringA(context, type, flags, nullptr, nullptr, 0);
    if (size == 0) return {};
    std::string text(size, '\0');
    CertGetNameStringA(context, type, flags, nullptr, &text[0], size);
    text.resize(std::strlen(text.c_str()));
    return text;
}

// Whether `statement` asks for the commercial statement; selector 0 follows
// the certificate's code-signing purpose as the own-key route does, and a
// certificate that cannot be read leaves it individual.
bool commercial_statement(PCCERT_CONTEXT certificate, int statement) {
    int32_t purpose = kPurposeIndividual;
    if (statement == kStatementFromCertificate) {
        try {
            MemoryStream stream(certificate->pbCertEncoded,
                                static_cast<int>(certificate->cbCertEncoded));
            DerReader reader(stream);
            P7Certificate parsed;
            if (parsed.decodeFrom(reader) && parsed.info()) purpose = parsed.info()->purpose();
        } catch (...) {
            // Unreadable: individual.
        }
    }
    return statement_is_commercial(statement, purpose);
}

// Splits DER elements that stand back to back; stops at the first that is
// not whole.
std::vector<std::vector<uint8_t>> split_elements(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> out;
    MemoryStream stream(bytes.data(), static_cast<int>(bytes.size()));
    try {
        while (!stream.atEnd()) {
            const int start = stream.position();
            int tag = 0, form = 0, length = 0;
            const int header = readHeader(stream, tag, form, length);
            if (length < 0 || length > stream.remaining()) break;
            const size_t end = static_cast<size_t>(start) + static_cast<size_t>(header) +
                               static_cast<size_t>(length);
            out.emplace_back(bytes.begin() + start, bytes.begin() + static_cast<long>(end));
            stream.setPosition(static_cast<int>(end));
        }
    } catch (...) {
        // A damaged tail: what came before it stands.
    }
    return out;
}

// SEQUENCE header for `length` content bytes followed by them, in a stream
// of exactly that size.
void wrap_content(const uint8_t* content, int length, MemoryStream& wrapped) {
    int header = writeHeader(nullptr, kTagSequence, kFormConstructed, length);
    wrapped.reset(header + length);
    writeHeader(&wrapped, kTagSequence, kFormConstructed, length);
    if (length > 0) wrapped.write(content, length);
}

// Releases what sign acquired, on every way out.
class ProviderHold {
public:
    ~ProviderHold() {
        if (provider && callerMustFree) CryptReleaseContext(provider, 0);
    }
    HCRYPTPROV provider = nullptr;
    DWORD keySpec = AT_SIGNATURE;
    BOOL callerMustFree = FALSE;
};

class MessageHold {
public:
    ~MessageHold() {
        if (message) CryptMsgClose(message);
    }
    HCRYPTMSG message = nullptr;
};

class StoreHold {
public:
    ~StoreHold() {
        if (current) CertFreeCertificateContext(current);
        if (store) CertCloseStore(store, 0);
    }
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT current = nullptr;
};

}  // namespace

// ---- entries -----------------------------------------------------------------

WinCspCert::~WinCspCert() {
    if (certificate_) CertFreeCertificateContext(certificate_);
}

WinCspCert::WinCspCert(WinCspCert&& other) noexcept { *this = std::move(other); }

WinCspCert& WinCspCert::operator=(WinCspCert&& other) noexcept {
    if (this == &other) return *this;
    if (certificate_) CertFreeCertificateContext(certificate_);
    subjectName_ = std::move(other.subjectName_);
    friendlyName_ = std::move(other.friendlyName_);
    issuerName_ = std::move(other.issuerName_);
    validFrom_ = other.validFrom_;
    validTo_ = other.validTo_;
    hasPrivateKey_ = other.hasPrivateKey_;
    tokenLabel_ = std::move(other.tokenLabel_);
    tokenSerial_ = std::move(other.tokenSerial_);
    keyUnknown_ = other.keyUnknown_;
    chain_ = std::move(other.chain_);
    std::memcpy(thumbprint_, other.thumbprint_, sizeof thumbprint_);
    certificate_ = std::exchange(other.certificate_, nullptr);
    owner_ = other.owner_;
    return *this;
}

Csp* WinCspCert::owner() const { return owner_; }

bool WinCspCert::fill() {
    // The key-provider property is only looked for; its content is not used.
    DWORD size = 0;
    hasPrivateKey_ = false;
    if (CertGetCertificateContextProperty(certificate_, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                          &size)) {
        std::vector<uint8_t> property(size);
        hasPrivateKey_ = CertGetCertificateContextProperty(certificate_, CERT_KEY_PROV_INFO_PROP_ID,
                                                           property.data(), &size) != 0;
    }
    size = 0;
    keyUnknown_ = CertGetCertificateContextProperty(certificate_, FONTSEAL_KEY_UNKNOWN_PROP_ID,
                                                    nullptr, &size) != 0;
    tokenLabel_.clear();
    tokenSerial_.clear();
    size = 0;
    if (CertGetCertificateContextProperty(certificate_, FONTSEAL_TOKEN_PROP_ID, nullptr, &size)) {
        std::string token(size, '\0');
        if (CertGetCertificateContextProperty(certificate_, FONTSEAL_TOKEN_PROP_ID, &token[0],
                                              &size)) {
            token.resize(size);
            tokenLabel_ = token.c_str();
            if (tokenLabel_.size() < token.size())
                tokenSerial_ = token.c_str() + tokenLabel_.size() + 1;
        }
    }
    chain_.clear();
    size = 0;
    if (CertGetCertificateContextProperty(certificate_, FONTSEAL_CHAIN_PROP_ID, nullptr, &size)) {
        std::vector<uint8_t> chain(size);
        if (CertGetCertificateContextProperty(certificate_, FONTSEAL_CHAIN_PROP_ID, chain.data(),
                                              &size))
            chain_ = split_elements(chain);
    }
    DWORD thumbprint_size = sizeof thumbprint_;
    if (!CertGetCertificateContextProperty(certificate_, CERT_SHA1_HASH_PROP_ID, thumbprint_,
                                           &thumbprint_size))
        return false;
    subjectName_ = name_of(certificate_, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0);
    issuerName_ = name_of(certificate_, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG);
    friendlyName_ = name_of(certificate_, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0);
    validFrom_ = system_time_of(certificate_->pCertInfo->NotBefore);
    validTo_ = system_time_of(certificate_->pCertInfo->NotAfter);
    return true;
}

// ---- the signer ----------------------------------------------------------------

int WinCsp::enumCertificates() {
    // Hosts call through the virtual table: nothing may escape.
    try {
        return listStore();
    } catch (...) {
        entries_.setCount(0);
        return -1;
    }
}

int WinCsp::listStore() {
    entries_.setCount(0);
    StoreHold hold;
    hold.store = CertOpenSystemStoreA(0, "MY");
    if (!hold.store) return -1;
    while ((hold.current = CertEnumCertificatesInStore(hold.store, hold.current)) != nullptr) {
        WinCspCert& entry = entries_.append();
        entry.certificate_ = CertDuplicateCertificateContext(hold.current);
        entry.owner_ = this;
        if (!entry.fill()) entries_.pop();
    }
    return entries_.count();
}

int WinCsp::sign(CspCert* cert, const uint8_t* content, int content_length, int use_sha1,
                 int statement, const char16_t* program_name, const char* more_info_url,
                 uint8_t** out) {
    if (!out) return -1;
    *out = nullptr;
    if (!cert || cert->typeCode() != kWinCspCertType) return -1;
    if (content_length < 0 || (content_length > 0 && !content)) return -1;
    const PCCERT_CONTEXT certificate = static_cast<WinCspCert*>(cert)->certificate();
    if (!certificate) return -1;
    try {
        ProviderHold key;
        if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr,
                                               &key.provider, &key.keySpec, &key.callerMustFree))
            return -1;

        std::vector<uint8_t> publisher = publisher_info_value(program_name, more_info_url);
        std::vector<uint8_t> flags = signer_flags_value();
        std::vector<uint8_t> statement_bytes =
            statement_value(commercial_statement(certificate, statement));
        CRYPT_ATTR_BLOB values[3] = {
            {static_cast<DWORD>(publisher.size()), publisher.data()},
            {static_cast<DWORD>(flags.size()), flags.data()},
            {static_cast<DWORD>(statement_bytes.size()), statement_bytes.data()},
        };
        CRYPT_ATTRIBUTE attributes[3] = {
            {kOidPublisherInfo, 1, &values[0]},
            {kOidSignerFlags, 1, &values[1]},
            {kOidStatementType, 1, &values[2]},
        };

        CMSG_SIGNER_ENCODE_INFO signer = {};
        signer.cbSize = sizeof signer;
        signer.pCertInfo = certificate->pCertInfo;
        signer.hCryptProv = key.provider;
        signer.dwKeySpec = key.keySpec;
        signer.HashAlgorithm.pszObjId = use_sha1 ? kOidSha1 : kOidMd5;
        signer.cAuthAttr = 3;
        signer.rgAuthAttr = attributes;

        // The signer's certificate, then those that issued it, so that a
        // verifier holding only the root can build the chain.
        std::vector<CERT_BLOB> certificates = {
            {certificate->cbCertEncoded, certificate->pbCertEncoded}};
        for (std::vector<uint8_t>& issuer : static_cast<WinCspCert*>(cert)->chain_)
            certificates.push_back({static_cast<DWORD>(issuer.size()), issuer.data()});
        CMSG_SIGNED_ENCODE_INFO message_info = {};
        message_info.cbSize = sizeof message_info;
        message_info.cSigners = 1;
        message_info.rgSigners = &signer;
        message_info.cCertEncoded = static_cast<DWORD>(certificates.size());
        message_info.rgCertEncoded = certificates.data();

        MemoryStream wrapped;
        wrap_content(content, content_length, wrapped);
        const DWORD wrapped_length = static_cast<DWORD>(wrapped.size());

        const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        DWORD size = CryptMsgCalculateEncodedLength(encoding, 0, CMSG_SIGNED, &message_info,
                                                    kOidIndirectData, wrapped_length);
        if (size == 0) return -1;
        *out = static_cast<uint8_t*>(std::malloc(size));
        if (!*out) return -1;

        MessageHold message;
        message.message = CryptMsgOpenToEncode(encoding, 0, CMSG_SIGNED, &message_info,
                                               kOidIndirectData, nullptr);
        if (!message.message ||
            !CryptMsgUpdate(message.message, wrapped.data(), wrapped_length, TRUE) ||
            !CryptMsgGetParam(message.message, CMSG_CONTENT_PARAM, 0, *out, &size))
            return -1;
        return static_cast<int>(size);
    } catch (...) {
        return -1;
    }
}

}  // namespace fontseal

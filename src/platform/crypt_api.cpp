// SPDX-License-Identifier: Apache-2.0
#include "platform/crypt_api.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "platform/pkcs11_module.h"
#include "platform/token_store.h"

namespace fontseal {

// A context with what the calls need beside its public fields; counted
// references keep duplicates alive after the store is closed.
struct CertContextBody : CERT_CONTEXT {
    CertContextBody() : CERT_CONTEXT() {}
    ~CertContextBody();
    CertContextBody(const CertContextBody&) = delete;
    CertContextBody& operator=(const CertContextBody&) = delete;

    int references = 1;
    CERT_INFO info = {};
    StoreBytes der, serialLe, issuer, subject, spki;
    uint8_t sha1[20] = {};
    std::string friendlyName;
    std::shared_ptr<StoreKeyRef> key;
    std::string token;  // "label\0serial\0" for a token's entry, else empty
    StoreBytes chain;   // the issuing certificates' DER, back to back
    bool keyUnknown = false;
    X509* x509 = nullptr;
};

namespace {

thread_local DWORD last_error = 0;

// 100-nanosecond ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kSeconds1601To1970 = 11644473600;

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool to_file_time(const ASN1_TIME* time, FILETIME& out) {
    struct tm tm;
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return false;
    int64_t seconds = days_from_civil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                                      static_cast<unsigned>(tm.tm_mday)) *
                          86400 +
                      tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    int64_t since1601 = seconds + kSeconds1601To1970;
    if (since1601 < 0) return false;
    uint64_t ticks = static_cast<uint64_t>(since1601) * kTicksPerSecond;
    out.dwLowDateTime = static_cast<DWORD>(ticks);
    out.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return true;
}

StoreBytes der_of_name(const X509_NAME* name) {
    unsigned char* der = nullptr;
    int length = i2d_X509_NAME(name, &der);
    if (length <= 0) return {};
    StoreBytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

CRYPT_DATA_BLOB blob_of(StoreBytes& bytes) {
    return {static_cast<DWORD>(bytes.size()), bytes.data()};
}

// A context built from one store entry; null when the certificate cannot
// be read.
CertContextBody* make_context(StoreEntry& entry) {
    std::unique_ptr<CertContextBody> body(new CertContextBody());
    body->der = std::move(entry.certificate);
    const unsigned char* p = body->der.data();
    body->x509 = d2i_X509(nullptr, &p, static_cast<long>(body->der.size()));
    if (!body->x509) return nullptr;
    X509* x = body->x509;

    unsigned char* serial = nullptr;
    int serial_length = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &serial);
    if (serial_length <= 0) return nullptr;
    const unsigned char* content = serial;
    long length = 0;
    int tag = 0, cls = 0;
    ASN1_get_object(&content, &length, &tag, &cls, serial_length);
    body->serialLe.assign(content, content + length);
    std::reverse(body->serialLe.begin(), body->serialLe.end());
    OPENSSL_free(serial);
    body->issuer = der_of_name(X509_get_issuer_name(x));
    body->subject = der_of_name(X509_get_subject_name(x));
    unsigned char* spki = nullptr;
    int spki_length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x), &spki);
    if (spki_length <= 0) return nullptr;
    body->spki.assign(spki, spki + spki_length);
    OPENSSL_free(spki);

    CERT_INFO& info = body->info;
    info.dwVersion = static_cast<DWORD>(X509_get_version(x));
    info.SerialNumber = blob_of(body->serialLe);
    info.Issuer = blob_of(body->issuer);
    info.Subject = blob_of(body->subject);
    info.SubjectPublicKeyInfoDer = blob_of(body->spki);
    if (!to_file_time(X509_get0_notBefore(x), info.NotBefore) ||
        !to_file_time(X509_get0_notAfter(x), info.NotAfter))
        return nullptr;

    unsigned int sha1_length = 0;
    if (!EVP_Digest(body->der.data(), body->der.size(), body->sha1, &sha1_length, EVP_sha1(),
                    nullptr))
        return nullptr;
    body->friendlyName = std::move(entry.friendlyName);
    body->key = std::move(entry.key);
    if (!entry.tokenLabel.empty() || !entry.tokenSerial.empty())
        body->token = entry.tokenLabel + '\0' + entry.tokenSerial + '\0';
    body->keyUnknown = entry.keyUnknown;
    for (const StoreBytes& issuer : entry.chain)
        body->chain.insert(body->chain.end(), issuer.begin(), issuer.end());
    body->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    body->pbCertEncoded = body->der.data();
    body->cbCertEncoded = static_cast<DWORD>(body->der.size());
    body->pCertInfo = &body->info;
    return body.release();
}

void release(CertContextBody* body) {
    if (body && --body->references == 0) delete body;
}

// Copies a property value out the way every property call does: the size
// with a null buffer, ERROR_MORE_DATA when the buffer is too small.
BOOL give_property(const void* value, DWORD length, void* data, DWORD* size) {
    if (!size) {
        SetLastError(kStoreInvalidArgument);
        return FALSE;
    }
    if (!data) {
        *size = length;
        return TRUE;
    }
    if (*size < length) {
        *size = length;
        SetLastError(kStoreMoreData);
        return FALSE;
    }
    std::memcpy(data, value, length);
    *size = length;
    return TRUE;
}

std::string utf8_of(const ASN1_STRING* text) {
    unsigned char* out = nullptr;
    int length = ASN1_STRING_to_UTF8(&out, text);
    if (length < 0) return {};
    std::string s(reinterpret_cast<char*>(out), static_cast<size_t>(length));
    OPENSSL_free(out);
    return s;
}

// The simple display name: the common name, else the first organisational
// unit, organisation or e-mail address of the name.
std::string simple_display_name(const X509_NAME* name) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                    NID_pkcs9_emailAddress}) {
        int index = X509_NAME_get_index_by_NID(name, nid, -1);
        if (index >= 0) return utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    }
    return {};
}

}  // namespace

CertContextBody::~CertContextBody() { X509_free(x509); }

static const CertContextBody* context_body(PCCERT_CONTEXT context) {
    return static_cast<const CertContextBody*>(context);
}

class CertStoreHandle {
public:
    CertStoreHandle() = default;
    // Duplicated contexts keep their own references.
    ~CertStoreHandle() {
        for (CertContextBody* body : contexts) release(body);
    }
    CertStoreHandle(const CertStoreHandle&) = delete;
    CertStoreHandle& operator=(const CertStoreHandle&) = delete;

    std::vector<CertContextBody*> contexts;  // one reference each
};

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

// The stores a system store is made of: the per-user directory, then the
// certificates on the tokens of one PKCS#11 module. A module the user named
// must load; the p11-kit proxy, the default, may simply not be installed.
static bool stores_for(const char* name, std::vector<std::unique_ptr<CertStore>>& stores,
                       uint32_t* fault) {
    std::string directory = user_store_directory(name);
    if (directory.empty()) {
        *fault = kStoreCannotOpen;
        return false;
    }
    stores.push_back(std::make_unique<DirectoryCertStore>(directory));
    try {
        stores.push_back(std::make_unique<TokenCertStore>(Pkcs11Module::load(std::string())));
    } catch (const error&) {
        if (Pkcs11Module::configured()) {
            *fault = kStoreNoModule;
            return false;
        }
    }
    return true;
}

HCERTSTORE CertOpenSystemStoreA(uintptr_t provider, const char* name) {
    if (provider != 0 || !name || !name[0] || name[0] == '.' || std::strchr(name, '/')) {
        SetLastError(kStoreInvalidArgument);
        return nullptr;
    }
    try {
        std::vector<std::unique_ptr<CertStore>> stores;
        uint32_t open_fault = kStoreOk;
        if (!stores_for(name, stores, &open_fault)) {
            SetLastError(open_fault);
            return nullptr;
        }
        std::unique_ptr<CertStoreHandle> handle(new CertStoreHandle());
        for (const std::unique_ptr<CertStore>& store : stores) {
            std::vector<StoreEntry> entries;
            uint32_t fault = kStoreOk;
            if (!store->load(entries, &fault)) {
                SetLastError(fault);
                return nullptr;
            }
            for (StoreEntry& entry : entries) {
                CertContextBody* body = make_context(entry);
                if (!body) continue;
                // A certificate both in the directory and on a token is one
                // entry: the first that has a key.
                auto same = std::find_if(
                    handle->contexts.begin(), handle->contexts.end(),
                    [&](const CertContextBody* c) { return !std::memcmp(c->sha1, body->sha1, 20); });
                if (same != handle->contexts.end()) {
                    if ((*same)->key || !body->key) {
                        release(body);
                        continue;
                    }
                    release(*same);
                    handle->contexts.erase(same);
                }
                try {
                    handle->contexts.push_back(body);
                } catch (...) {
                    release(body);
                    throw;
                }
            }
        }
        return handle.release();
    } catch (const std::bad_alloc&) {
        SetLastError(kStoreNoMemory);
        return nullptr;
    }
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous) {
    if (!store) {
        SetLastError(kStoreInvalidArgument);
        return nullptr;
    }
    size_t next = 0;
    if (previous) {
        auto* body = const_cast<CertContextBody*>(context_body(previous));
        auto it = std::find(store->contexts.begin(), store->contexts.end(), body);
        next = it == store->contexts.end() ? store->contexts.size()
                                           : static_cast<size_t>(it - store->contexts.begin()) + 1;
        release(body);
    }
    if (next >= store->contexts.size()) {
        SetLastError(kStoreNotFound);
        return nullptr;
    }
    CertContextBody* body = store->contexts[next];
    ++body->references;
    return body;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
    if (context) ++const_cast<CertContextBody*>(context_body(context))->references;
    return context;
}

BOOL CertCloseStore(HCERTSTORE store, DWORD) {
    delete store;
    return TRUE;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    release(const_cast<CertContextBody*>(context_body(context)));
    return TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD property, void* data,
                                       DWORD* size) {
    if (!context) {
        SetLastError(kStoreInvalidArgument);
        return FALSE;
    }
    const CertContextBody* body = context_body(context);
    switch (property) {
        case CERT_KEY_PROV_INFO_PROP_ID: {
            std::string locator = body->key ? body->key->locator() : std::string();
            if (locator.empty()) break;
            return give_property(locator.c_str(), static_cast<DWORD>(locator.size() + 1), data,
                                 size);
        }
        case CERT_SHA1_HASH_PROP_ID:
            return give_property(body->sha1, sizeof body->sha1, data, size);
        case FONTSEAL_TOKEN_PROP_ID:
            if (body->token.empty()) break;
            return give_property(body->token.data(), static_cast<DWORD>(body->token.size()), data,
                                 size);
        case FONTSEAL_KEY_UNKNOWN_PROP_ID: {
            if (!body->keyUnknown) break;
            static const uint8_t kPresent = 0;
            return give_property(&kPresent, 1, data, size);
        }
        case FONTSEAL_CHAIN_PROP_ID:
            if (body->chain.empty()) break;
            return give_property(body->chain.data(), static_cast<DWORD>(body->chain.size()), data,
                                 size);
        case CERT_FRIENDLY_NAME_PROP_ID:
            if (body->friendlyName.empty()) break;
            return give_property(body->friendlyName.c_str(),
                                 static_cast<DWORD>(body->friendlyName.size() + 1), data, size);
        default:
            break;
    }
    SetLastError(kStoreNotFound);
    return FALSE;
}

DWORD CertGetNameStringA(PCCERT_CONTEXT context, DWORD type, DWORD flags, void*, char* name,
                         DWORD capacity) {
    std::string text;
    if (context) {
        const CertContextBody* body = context_body(context);
        const bool issuer = (flags & CERT_NAME_ISSUER_FLAG) != 0;
        const X509_NAME* subject =
            issuer ? X509_get_issuer_name(body->x509) : X509_get_subject_name(body->x509);
        if (type == CERT_NAME_FRIENDLY_DISPLAY_TYPE && !issuer && !body->friendlyName.empty())
            text = body->friendlyName;
        else if (type == CERT_NAME_SIMPLE_DISPLAY_TYPE || type == CERT_NAME_FRIENDLY_DISPLAY_TYPE)
            text = simple_display_name(subject);
    }
    // The text ends at its first NUL, as the callers read it.
    text.resize(std::strlen(text.c_str()));
    if (!name || capacity == 0) return static_cast<DWORD>(text.size() + 1);
    size_t n = std::min<size_t>(text.size(), capacity - 1);
    std::memcpy(name, text.data(), n);
    name[n] = '\0';
    return static_cast<DWORD>(n + 1);
}

BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* system_time) {
    if (!file_time || !system_time) {
        SetLastError(kStoreInvalidArgument);
        return FALSE;
    }
    uint64_t ticks = (uint64_t(file_time->dwHighDateTime) << 32) | file_time->dwLowDateTime;
    if (ticks >= 0x8000000000000000ULL) {
        SetLastError(kStoreInvalidArgument);
        return FALSE;
    }
    const uint64_t seconds = ticks / kTicksPerSecond;
    const int64_t days1601 = static_cast<int64_t>(seconds / 86400);
    const uint64_t second_of_day = seconds % 86400;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    civil_from_days(days1601 - kSeconds1601To1970 / 86400, year, month, day);
    system_time->wYear = static_cast<uint16_t>(year);
    system_time->wMonth = static_cast<uint16_t>(month);
    system_time->wDayOfWeek = static_cast<uint16_t>((days1601 + 1) % 7);  // 1601-01-01: Monday
    system_time->wDay = static_cast<uint16_t>(day);
    system_time->wHour = static_cast<uint16_t>(second_of_day / 3600);
    system_time->wMinute = static_cast<uint16_t>(second_of_day / 60 % 60);
    system_time->wSecond = static_cast<uint16_t>(second_of_day % 60);
    system_time->wMilliseconds = static_cast<uint16_t>(ticks % kTicksPerSecond / 10000);
    return TRUE;
}

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void*,
                                       HCRYPTPROV* provider, DWORD* key_spec,
                                       BOOL* caller_must_free) {
    if (!context || !provider) {
        SetLastError(kStoreInvalidArgument);
        return FALSE;
    }
    const CertContextBody* body = context_body(context);
    if (!body->key) {
        SetLastError(kStoreNoKeyProperty);
        return FALSE;
    }
    try {
        uint32_t fault = kStoreOk;
        std::unique_ptr<StoreKeyProvider> opened = body->key->open(&fault);
        if (!opened) {
            SetLastError(fault);
            return FALSE;
        }
        if (flags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) {
            StoreBytes spki = opened->publicKeyInfo();
            const unsigned char* p = spki.data();
            EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
            bool same = key && EVP_PKEY_eq(key, X509_get0_pubkey(body->x509)) == 1;
            EVP_PKEY_free(key);
            if (!same) {
                SetLastError(kStoreKeyMismatch);
                return FALSE;
            }
        }
        *provider = opened.release();
        if (key_spec) *key_spec = AT_SIGNATURE;
        if (caller_must_free) *caller_must_free = TRUE;
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(kStoreNoMemory);
        return FALSE;
    }
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD) {
    delete provider;
    return TRUE;
}

}  // namespace fontseal

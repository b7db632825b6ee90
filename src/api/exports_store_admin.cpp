// SPDX-License-Identifier: Apache-2.0
// Looking after the current user's certificate store: import, remove, list,
// and finding an entry by thumbprint for signing. Listing and finding go
// through the system-store signer exactly as a host would.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "api/cert_file_loader.h"
#include "api/messages.h"
#include "api/own_key_signing_step.h"
#include "api/results.h"
#include "api/sign_job.h"
#include "api/store_entry_signing.h"
#include "api/store_signing_step.h"
#include "base/error.h"
#include "base/ossl_ptr.h"
#include "base/secure_bytes.h"
#include "fontseal/csp.h"
#include "fontseal/store.h"
#include "key/key_file.h"
#include "key/provider_signing_key.h"
#include "platform/cert_store.h"
#include "platform/crypt_api.h"
#include "platform/file_source.h"
#include "store/win_csp.h"

namespace fontseal {

namespace {

constexpr size_t kMinPrefix = 8;
constexpr size_t kThumbprintDigits = 40;

struct CspRelease {
    void operator()(Csp* csp) const { release_win_csp(csp); }
};

// A failure with the line that explains it.
struct StoreFailure {
    int32_t code;
    std::string message;
    std::string thumbprint;
};

[[noreturn]] void fail_with(int32_t code, std::string message, std::string thumbprint = {}) {
    throw StoreFailure{code, std::move(message), std::move(thumbprint)};
}

std::string store_directory() { return user_store_directory("MY"); }

int32_t fill(fontseal_store_report* report, int32_t code, const std::string& message,
             const std::string& thumbprint) {
    if (!report || report->size < offsetof(fontseal_store_report, result) + sizeof(int32_t))
        return code;
    report->result = code;
    if (report->size < sizeof(fontseal_store_report)) return code;
    std::string line = message;
    if (code != FONTSEAL_OK && !line.empty()) line += " (code " + std::to_string(code) + ")";
    size_t n = std::min(line.size(), sizeof report->message - 1);
    std::memcpy(report->message, line.data(), n);
    report->message[n] = '\0';
    n = std::min(thumbprint.size(), sizeof report->thumbprint - 1);
    std::memcpy(report->thumbprint, thumbprint.data(), n);
    report->thumbprint[n] = '\0';
    return code;
}

// Runs `body`, which returns the thumbprint of the entry concerned, and
// reports its outcome. Never throws.
template <class Body>
int32_t run_store_call(fontseal_store_report* report, Body&& body) noexcept {
    try {
        std::string thumbprint = body();
        return fill(report, FONTSEAL_OK, {}, thumbprint);
    } catch (const StoreFailure& f) {
        return fill(report, f.code, f.message, f.thumbprint);
    } catch (...) {
        int32_t code = result_for_current_exception();
        return fill(report, code, "internal failure in the certificate store", {});
    }
}

std::string hex_of(const uint8_t* bytes, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 15]);
    }
    return out;
}

std::string time_text(const SystemTime& t) {
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

// The upper-case form of a thumbprint or prefix; fails unless it is 8 to 40
// hex digits.
std::string normalised_prefix(const char* thumbprint) {
    std::string text = thumbprint ? thumbprint : "";
    std::string out;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            fail_with(FONTSEAL_E_STORE_THUMBPRINT,
                      "'" + text + "' is not a certificate thumbprint (8 to 40 hex digits)");
        out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    if (out.size() < kMinPrefix || out.size() > kThumbprintDigits)
        fail_with(FONTSEAL_E_STORE_THUMBPRINT,
                  "'" + text + "' is not a certificate thumbprint (8 to 40 hex digits)");
    return out;
}

// Why the signer could not list the store, from the fault it left.
[[noreturn]] void fail_to_open() {
    if (GetLastError() == kStoreNoModule) {
        const char* module = std::getenv("FONTSEAL_PKCS11_MODULE");
        fail_with(FONTSEAL_E_TOKEN_MODULE, std::string("cannot load the PKCS#11 module ") +
                                               (module ? module : "") +
                                               " that FONTSEAL_PKCS11_MODULE names");
    }
    fail_with(FONTSEAL_E_STORE_OPEN, "cannot read the certificate store " + store_directory());
}

// The entry as this library's signer lists it; null for another signer's.
const WinCspCert* own_entry(const CspCert* entry) {
    return entry && entry->typeCode() == kWinCspCertType ? static_cast<const WinCspCert*>(entry)
                                                         : nullptr;
}

bool on_token(const CspCert& entry) {
    const WinCspCert* own = own_entry(&entry);
    return own && (!own->tokenLabel().empty() || !own->tokenSerial().empty());
}

// "certificate THUMBPRINT (SUBJECT)", and the token that holds it.
std::string describe_entry(CspCert& entry) {
    std::string who =
        "certificate " + hex_of(entry.thumbprint(), 20) + " (" + entry.subjectName() + ")";
    if (on_token(entry)) {
        const WinCspCert& e = *own_entry(&entry);
        who += " on token '" + e.tokenLabel() + "' (serial " + e.tokenSerial() + ")";
    }
    return who;
}

// Lists the store through `csp` and returns the one entry whose thumbprint
// starts with `prefix`.
CspCert* find_entry(Csp& csp, const std::string& prefix) {
    int count = csp.enumCertificates();
    if (count < 0) fail_to_open();
    CspCert* found = nullptr;
    int matches = 0;
    for (int i = 0; i < count; ++i) {
        CspCert* entry = csp.certificateAt(i);
        if (hex_of(entry->thumbprint(), 20).compare(0, prefix.size(), prefix) == 0) {
            found = entry;
            ++matches;
        }
    }
    if (matches == 0)
        fail_with(FONTSEAL_E_STORE_NO_ENTRY, "no certificate in the store " + store_directory() +
                                                 " has a thumbprint starting with " + prefix);
    if (matches > 1)
        fail_with(FONTSEAL_E_STORE_AMBIGUOUS, "thumbprint prefix " + prefix + " matches " +
                                                  std::to_string(matches) +
                                                  " certificates in the store; give more digits");
    return found;
}

std::string key_locator(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        return {};
    std::string text(size, '\0');
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, &text[0],
                                           &size))
        return {};
    text.resize(std::strlen(text.c_str()));
    return text;
}

// A key provider acquired from an entry, released when it goes.
class HeldProvider {
public:
    HeldProvider() = default;
    HeldProvider(const HeldProvider&) = delete;
    HeldProvider& operator=(const HeldProvider&) = delete;
    ~HeldProvider() {
        if (provider_ && mustFree_) CryptReleaseContext(provider_, 0);
    }
    void hold(HCRYPTPROV provider, BOOL must_free) {
        provider_ = provider;
        mustFree_ = must_free;
    }
    StoreKeyProvider* get() const { return provider_; }

private:
    HCRYPTPROV provider_ = nullptr;
    BOOL mustFree_ = FALSE;
};

// Opens the entry's key as signing will, so that its faults can be told
// apart here: signing itself reports every fault alike. With `keep`, the
// opened key is handed over instead of released.
void check_key(CspCert& entry, HeldProvider* keep = nullptr) {
    const std::string thumbprint = hex_of(entry.thumbprint(), 20);
    const std::string who = describe_entry(entry);
    const bool token = on_token(entry);
    const char* where =
        token ? " has no private key on its token" : " has no private key in the store";
    if (!entry.hasPrivateKey() || entry.typeCode() != kWinCspCertType)
        fail_with(FONTSEAL_E_STORE_NO_KEY, who + where, thumbprint);
    PCCERT_CONTEXT certificate = static_cast<WinCspCert&>(entry).certificate();
    const std::string path = key_locator(certificate);
    HCRYPTPROV provider = nullptr;
    DWORD key_spec = AT_SIGNATURE;
    BOOL must_free = FALSE;
    if (CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr,
                                          &provider, &key_spec, &must_free)) {
        if (keep)
            keep->hold(provider, must_free);
        else if (must_free)
            CryptReleaseContext(provider, 0);
        return;
    }
    switch (GetLastError()) {
        case kStoreNoModule:
            fail_with(FONTSEAL_E_TOKEN_MODULE, "cannot load the PKCS#11 module of " + who,
                      thumbprint);
        case kStoreNoToken:
            fail_with(FONTSEAL_E_TOKEN, "the token of " + who + " is no longer there", thumbprint);
        case kStorePinRefused:
            fail_with(FONTSEAL_E_TOKEN_PIN, explain_result(FONTSEAL_E_TOKEN_PIN, {"", "", "", who}),
                      thumbprint);
        case kStorePinSource:
            fail_with(FONTSEAL_E_TOKEN_PIN_SOURCE,
                      explain_result(FONTSEAL_E_TOKEN_PIN_SOURCE, {"", "", "", who}), thumbprint);
        case kStorePinLocked:
            fail_with(FONTSEAL_E_TOKEN_PIN_LOCKED,
                      explain_result(FONTSEAL_E_TOKEN_PIN_LOCKED, {"", "", "", who}), thumbprint);
        case kStoreKeyExposed:
            fail_with(FONTSEAL_E_STORE_KEY_EXPOSED,
                      "the private-key file " + path + " of " + who +
                          " may be read by other users or belongs to another; make it the "
                          "user's own with mode 600",
                      thumbprint);
        case kStoreKeyMismatch:
            fail_with(FONTSEAL_E_STORE_KEY_MISMATCH,
                      "the private key in " + path + " does not belong to " + who, thumbprint);
        case kStoreNoKeySet:
        case kStoreNoKeyProperty:
            fail_with(FONTSEAL_E_STORE_NO_KEY, who + where, thumbprint);
        default:
            if (token)
                fail_with(FONTSEAL_E_TOKEN,
                          "the token cannot sign with the key " + path + " of " + who +
                              " (not an RSA key, or the token failed)",
                          thumbprint);
            fail_with(FONTSEAL_E_STORE_KEY_UNUSABLE,
                      "cannot use the private key " + path + " of " + who +
                          " (not an unencrypted RSA key in PKCS#8 PEM form)",
                      thumbprint);
    }
}

// ---- import --------------------------------------------------------------------

// Every key form the signing calls read (PVK, PEM, DER PKCS#8, PKCS#12),
// with a PKCS#12 file's certificates. The key keeps the library context it
// was read in alive.
KeyFileContents read_key(const char* path, const char* password, size_t password_length) {
    // The key readers take a NUL-terminated password; the copy is wiped.
    SecureBytes text;
    if (password) text.assign(password, password + password_length);
    text.push_back(0);
    KeyFileContents contents;
    int loaded = 0;
    // The readers stop at a NUL: a password holding one would be tried cut
    // short, and its first part might open a key the whole does not.
    if (password && std::memchr(password, 0, password_length)) {
        const int32_t code = result_for(Stage::kKeyRead, kErrKeyPassword);
        fail_with(code, explain_result(code, {"", "", "", path}));
    }
    try {
        loaded = load_key_file(
            path, password ? reinterpret_cast<const char*>(text.data()) : nullptr, contents);
    } catch (const error& e) {
        loaded = e.code;
        const int32_t code = result_for(Stage::kKeyOpen, e.code);
        fail_with(code, explain_result(code, {"", "", "", path}));
    }
    if (loaded < 0) {
        const int32_t code = result_for(Stage::kKeyRead, loaded);
        fail_with(code, explain_result(code, {"", "", "", path}));
    }
    return contents;
}

std::vector<uint8_t> der_of(const P7Certificate& certificate) {
    const DerRaw& raw = *certificate.raw();
    return std::vector<uint8_t>(raw.data(), raw.data() + raw.length());
}

bool key_belongs_to(EVP_PKEY* key, const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    bool same = x && EVP_PKEY_eq(key, X509_get0_pubkey(x)) == 1;
    X509_free(x);
    return same;
}

std::string pkcs8_pem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_secmem());
    if (!bio) throw std::bad_alloc();
    std::string pem;
    if (PEM_write_bio_PKCS8PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
        char* data = nullptr;
        long length = BIO_get_mem_data(bio, &data);
        if (length > 0) pem.assign(data, static_cast<size_t>(length));
    }
    BIO_free(bio);
    if (pem.empty()) throw std::bad_alloc();
    return pem;
}

X509Ptr x509_of(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Longest chain followed: a CA's delivery is a few certificates deep.
constexpr size_t kMaxChain = 16;

// The certificates among `pool` that issued `subject`, issuer first, as far
// as the pool reaches; a self-signed root ends the chain and is left out
// (the verifier brings its own).
std::vector<std::vector<uint8_t>> issuing_chain(const std::vector<uint8_t>& subject,
                                                const std::vector<std::vector<uint8_t>>& pool) {
    std::vector<X509Ptr> candidates;
    for (const std::vector<uint8_t>& der : pool) candidates.push_back(x509_of(der));
    std::vector<std::vector<uint8_t>> chain;
    std::vector<size_t> used;
    X509Ptr current = x509_of(subject);
    while (current && chain.size() < kMaxChain) {
        if (X509_check_issued(current.get(), current.get()) == X509_V_OK) break;
        size_t found = pool.size();
        for (size_t i = 0; i < pool.size() && found == pool.size(); ++i) {
            if (!candidates[i] || pool[i] == subject ||
                std::find(used.begin(), used.end(), i) != used.end())
                continue;
            if (X509_check_issued(candidates[i].get(), current.get()) == X509_V_OK) found = i;
        }
        if (found == pool.size()) break;
        used.push_back(found);
        if (X509_check_issued(candidates[found].get(), candidates[found].get()) == X509_V_OK) break;
        chain.push_back(pool[found]);
        current = x509_of(pool[found]);
    }
    return chain;
}

std::string import_entry(const fontseal_store_import_request& r) {
    // Without a certificate file, a PKCS#12 key file's own certificates.
    const char* cert_source = r.cert_path ? r.cert_path : r.key_path;
    KeyFileContents contents;
    if (r.key_path) contents = read_key(r.key_path, r.password, r.password_length);
    GrowArray<P7Certificate> certificates;
    if (r.cert_path) {
        try {
            // Every certificate of a PEM file: a CA delivers the chain in one.
            load_certificates(r.cert_path, certificates, nullptr, true);
        } catch (const error&) {
            fail_with(FONTSEAL_E_CERT_OPEN,
                      std::string("cannot open certificate file ") + r.cert_path);
        }
    } else {
        certificates_from_der(contents.certificates, certificates);
    }
    if (certificates.count() == 0)
        fail_with(FONTSEAL_E_NO_CERTIFICATE,
                  std::string("no certificate could be read from ") + cert_source +
                      (r.cert_path ? " (expected DER, PEM or base64, a single certificate or a "
                                     "PKCS#7 bundle)"
                                   : " (only a PKCS#12 key file carries certificates)"));

    std::vector<std::vector<uint8_t>> all;
    for (const P7Certificate& c : certificates) all.push_back(der_of(c));
    std::vector<std::vector<uint8_t>> chosen;
    std::string key_pem;
    if (r.key_path) {
        const std::unique_ptr<EvpSigningKey>& key = contents.key;
        for (const P7Certificate& c : certificates) {
            std::vector<uint8_t> der = der_of(c);
            if (key_belongs_to(key->get(), der)) {
                chosen.push_back(std::move(der));
                break;
            }
        }
        if (chosen.empty())
            fail_with(FONTSEAL_E_NO_MATCHING_CERT, std::string("none of the certificates in ") +
                                                       cert_source + " belongs to the key in " +
                                                       r.key_path);
        key_pem = pkcs8_pem(key->get());
    } else {
        for (const P7Certificate& c : certificates) chosen.push_back(der_of(c));
    }

    const DirectoryCertStore store(store_directory());
    std::string first;
    uint32_t fault = kStoreOk;
    for (const std::vector<uint8_t>& der : chosen) {
        std::string thumbprint;
        fault = store.add(der, key_pem, r.friendly_name, &thumbprint, issuing_chain(der, all));
        if (first.empty()) first = thumbprint;
        if (fault != kStoreOk) break;
    }
    OPENSSL_cleanse(&key_pem[0], key_pem.size());
    if (fault != kStoreOk)
        fail_with(FONTSEAL_E_STORE_WRITE, "cannot write the certificate store " + store.directory(),
                  first);
    return first;
}

}  // namespace

int32_t sign_with_store_entry(const char* thumbprint, const char* input, const char* output,
                              const SignOptions& options, int32_t* detail,
                              std::string& storeMessage) {
    // The signer lists the store afresh for this call alone, so calls on
    // other threads share nothing.
    std::unique_ptr<Csp, CspRelease> csp(create_win_csp(nullptr));
    if (!csp) throw std::bad_alloc();
    HeldProvider provider;
    GrowArray<P7Certificate> certificates;
    try {
        CspCert* entry = find_entry(*csp, normalised_prefix(thumbprint));
        check_key(*entry, &provider);
        const WinCspCert& own = static_cast<WinCspCert&>(*entry);
        PCCERT_CONTEXT certificate = own.certificate();
        // The entry's certificate, then those that issued it.
        std::vector<std::vector<uint8_t>> der = {std::vector<uint8_t>(
            certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded)};
        der.insert(der.end(), own.chain().begin(), own.chain().end());
        if (certificates_from_der(der, certificates) < 1 || !provider.get())
            fail_with(FONTSEAL_E_STORE_KEY_UNUSABLE, "cannot use certificate " +
                                                         hex_of(entry->thumbprint(), 20) +
                                                         " of the store " + store_directory());
    } catch (const StoreFailure& f) {
        storeMessage = f.message;
        return f.code;
    }
    const ProviderSigningKey key(*provider.get());
    OwnKeySigningStep step(certificates, key);
    return sign_job(input, output, step, options, detail);
}

}  // namespace fontseal

using namespace fontseal;

extern "C" FONTSEAL_API int32_t fontseal_store_import(const fontseal_store_import_request* request,
                                                      fontseal_store_report* report) {
    return run_store_call(report, [&]() -> std::string {
        if (!request || request->size < sizeof(fontseal_store_import_request) ||
            (!request->cert_path && !request->key_path))
            fail_with(FONTSEAL_E_STORE_REQUEST,
                      "malformed import request (no certificate file and no key file)");
        return import_entry(*request);
    });
}

extern "C" FONTSEAL_API int32_t fontseal_store_remove(const char* thumbprint,
                                                      fontseal_store_report* report) {
    return run_store_call(report, [&]() -> std::string {
        const std::string prefix = normalised_prefix(thumbprint);
        std::string full;
        {
            std::unique_ptr<Csp, CspRelease> csp(create_win_csp(nullptr));
            if (!csp) throw std::bad_alloc();
            CspCert* found = find_entry(*csp, prefix);
            full = hex_of(found->thumbprint(), 20);
            if (on_token(*found))
                fail_with(FONTSEAL_E_STORE_WRITE,
                          describe_entry(*found) +
                              " is kept on its token; remove it with the token's own tools",
                          full);
        }
        const DirectoryCertStore store(store_directory());
        uint32_t fault = store.remove(full);
        if (fault == kStoreNotFound)
            fail_with(FONTSEAL_E_STORE_NO_ENTRY,
                      "certificate " + full + " is no longer in the store " + store.directory(),
                      full);
        if (fault != kStoreOk)
            fail_with(FONTSEAL_E_STORE_WRITE,
                      "cannot remove certificate " + full + " from the store " + store.directory(),
                      full);
        return full;
    });
}

extern "C" FONTSEAL_API int32_t fontseal_store_list(fontseal_store_visitor visit, void* context,
                                                    fontseal_store_report* report) {
    int32_t count = 0;
    int32_t result = run_store_call(report, [&]() -> std::string {
        std::unique_ptr<Csp, CspRelease> csp(create_win_csp(nullptr));
        if (!csp) throw std::bad_alloc();
        count = csp->enumCertificates();
        if (count < 0) fail_to_open();
        for (int i = 0; i < count; ++i) {
            CspCert* entry = csp->certificateAt(i);
            const std::string thumbprint = hex_of(entry->thumbprint(), 20);
            const std::string subject = entry->subjectName(), issuer = entry->issuerName(),
                              friendly = entry->friendlyName(),
                              from = time_text(entry->validFrom()),
                              to = time_text(entry->validTo());
            fontseal_store_entry e = {};
            e.size = sizeof e;
            e.index = i;
            e.thumbprint = thumbprint.c_str();
            e.subject = subject.c_str();
            e.issuer = issuer.c_str();
            e.friendly_name = friendly.c_str();
            e.valid_from = from.c_str();
            e.valid_to = to.c_str();
            const WinCspCert* own = own_entry(entry);
            e.has_private_key = own && own->keyUnknown() ? -1 : entry->hasPrivateKey() ? 1 : 0;
            const std::string label = own ? own->tokenLabel() : std::string();
            const std::string serial = own ? own->tokenSerial() : std::string();
            const std::string locator =
                own && own->hasPrivateKey() ? key_locator(own->certificate()) : std::string();
            e.token_label = label.c_str();
            e.token_serial = serial.c_str();
            e.key_locator = locator.c_str();
            e.chain_count = own ? static_cast<int32_t>(own->chain().size()) : 0;
            if (visit && visit(&e, context) != 0) break;
        }
        return std::string();
    });
    return result == FONTSEAL_OK ? count : result;
}

extern "C" FONTSEAL_API int32_t fontseal_store_find(fontseal_csp* csp, const char* thumbprint,
                                                    int32_t need_key, fontseal_csp_cert** entry,
                                                    fontseal_store_report* report) {
    if (entry) *entry = nullptr;
    return run_store_call(report, [&]() -> std::string {
        if (!csp || !entry) fail_with(FONTSEAL_E_STORE_REQUEST, "no signer or no entry to fill");
        CspCert* found = find_entry(*csp, normalised_prefix(thumbprint));
        if (need_key) check_key(*found);
        *entry = found;
        return hex_of(found->thumbprint(), 20);
    });
}

extern "C" FONTSEAL_API int32_t fontseal_store_sign(const fontseal_store_sign_request* request,
                                                    fontseal_store_report* report) {
    return run_store_call(report, [&]() -> std::string {
        if (!request || request->size < sizeof(fontseal_store_sign_request) ||
            !request->input_path || !request->output_path || !request->thumbprint)
            fail_with(FONTSEAL_E_STORE_REQUEST,
                      "malformed signing request (input, output and thumbprint are required)");
        const fontseal_store_sign_request& r = *request;
        std::unique_ptr<Csp, CspRelease> csp(create_win_csp(nullptr));
        if (!csp) throw std::bad_alloc();
        CspCert* entry = find_entry(*csp, normalised_prefix(r.thumbprint));
        check_key(*entry);
        const std::string thumbprint = hex_of(entry->thumbprint(), 20);
        StoreSigningStep step(entry);
        SignOptions options(r.use_sha1, r.statement, r.program_name, r.more_info_url,
                            r.timestamp_url);
        options.collections = true;
        int32_t result = sign_job(r.input_path, r.output_path, step, options);
        if (result == FONTSEAL_E_INPUT_OPEN)
            fail_with(result, std::string("cannot open input font ") + r.input_path, thumbprint);
        if (result == FONTSEAL_E_OUTPUT_CREATE)
            fail_with(result, std::string("cannot create output font ") + r.output_path,
                      thumbprint);
        if (result != FONTSEAL_OK)
            fail_with(result,
                      std::string("signing ") + r.input_path + " with certificate " + thumbprint +
                          " failed",
                      thumbprint);
        return thumbprint;
    });
}

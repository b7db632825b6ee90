// SPDX-License-Identifier: Apache-2.0
// The file-key route: a certificate file and a private-key file, through the
// original export and through the request-based one.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/cert_file_loader.h"
#include "api/external_signing.h"
#include "api/messages.h"
#include "api/own_key_signing_step.h"
#include "api/results.h"
#include "api/sign_job.h"
#include "api/store_entry_signing.h"
#include "base/error.h"
#include "base/secure_bytes.h"
#include "base/utf16.h"
#include "der/digest_algorithm.h"
#include "fontseal/fontseal.h"
#include "key/key_file.h"
#include "key/pvk_reader.h"
#include "key/token_signing_key.h"
#include "platform/file_source.h"
#include "platform/pin_source.h"
#include "platform/pkcs11_module.h"
#include "timestamp/timestamp_signature.h"
#include "timestamp/url_parts.h"

namespace fontseal {

namespace {

// The digest table carries the public numbers; they must stay the header's.
static_assert(digest_facts(DigestAlgorithm::kSha256).hashValue == FONTSEAL_HASH_SHA256 &&
                  digest_facts(DigestAlgorithm::kSha384).hashValue == FONTSEAL_HASH_SHA384 &&
                  digest_facts(DigestAlgorithm::kSha512).hashValue == FONTSEAL_HASH_SHA512 &&
                  digest_facts(DigestAlgorithm::kSha1).hashValue == FONTSEAL_HASH_SHA1 &&
                  digest_facts(DigestAlgorithm::kMd5).hashValue == FONTSEAL_HASH_MD5,
              "FONTSEAL_HASH_* and the digest table disagree");

// A request's FONTSEAL_HASH_*, 0 meaning SHA-256; false for any other number.
bool hash_from_request(int32_t value, DigestAlgorithm& out) {
    if (value == FONTSEAL_HASH_DEFAULT) {
        out = DigestAlgorithm::kSha256;
        return true;
    }
    return digest_from_hash_value(value, out);
}

struct KeyFiles {
    const char* certPath;  // null: the key file's own certificates
    const char* keyPath;
    const char* password;  // NUL-terminated, or null
};

void load_certificate_file(const char* path, bool every_pem_certificate,
                           GrowArray<P7Certificate>& certificates) {
    try {
        load_certificates(path, certificates, nullptr, every_pem_certificate);
    } catch (const error& e) {
        fail(Stage::kCertificateOpen, e.code);
    }
    if (certificates.count() == 0) fail(Stage::kCertificateRead);
}

// The original route: a certificate file's first PEM certificate (or its
// bundle) and a PVK key.
int32_t sign_with_pvk(const char* input_path, const char* output_path, const KeyFiles& files,
                      const SignOptions& options) {
    GrowArray<P7Certificate> certificates;
    load_certificate_file(files.certPath, false, certificates);

    EvpPkeyPtr key;
    {
        FileSource key_file;
        try {
            key_file.open(files.keyPath);
        } catch (const error& e) {
            fail(Stage::kKeyOpen, e.code);
        }
        int loaded = load_private_key(key_file, files.password, key);
        if (loaded < 0) fail(Stage::kKeyRead, loaded);
    }

    const EvpSigningKey signing_key(std::move(key));
    OwnKeySigningStep step(certificates, signing_key);
    return sign_job(input_path, output_path, step, options);
}

// Today's route: every key form, every certificate of a PEM file, and a
// PKCS#12 file's own certificates when no certificate file is named.
int32_t sign_with_key_file(const char* input_path, const char* output_path, const KeyFiles& files,
                           const SignOptions& options, int32_t* detail) {
    GrowArray<P7Certificate> certificates;
    if (files.certPath) load_certificate_file(files.certPath, true, certificates);

    KeyFileContents contents;
    int loaded = 0;
    try {
        loaded = load_key_file(files.keyPath, files.password, contents);
    } catch (const error& e) {
        fail(Stage::kKeyOpen, e.code);
    }
    if (loaded < 0) fail(Stage::kKeyRead, loaded);

    if (!files.certPath) {
        certificates_from_der(contents.certificates, certificates);
        if (certificates.count() == 0) fail(Stage::kKeyCertificates);
    }

    OwnKeySigningStep step(certificates, *contents.key);
    return sign_job(input_path, output_path, step, options, detail);
}

// A key on a token: the certificate from cert_path, else the token's own
// certificate of the key.
int32_t sign_with_token_key(const char* input_path, const char* output_path, const char* cert_path,
                            const char* uri, const SignOptions& options, int32_t* detail) {
    GrowArray<P7Certificate> certificates;
    if (cert_path) load_certificate_file(cert_path, true, certificates);
    std::unique_ptr<TokenSigningKey> key;
    try {
        key = std::make_unique<TokenSigningKey>(uri);
    } catch (const error& e) {
        fail(Stage::kToken, e.code);
    }
    if (!cert_path) {
        std::vector<std::vector<uint8_t>> der(1);
        if (!key->certificate(der[0])) fail(Stage::kToken, kErrTokenObjectNotFound);
        certificates_from_der(der, certificates);
        if (certificates.count() == 0) fail(Stage::kKeyCertificates);
    }
    OwnKeySigningStep step(certificates, *key);
    return sign_job(input_path, output_path, step, options, detail);
}

const char* text_or_empty(const char* text) { return text ? text : ""; }

// The request as hosts built before the time-stamp fields pass it.
constexpr size_t kFirstRequestSize = offsetof(fontseal_sign_request, timestamp_servers);

// Most servers any one request may name: a list is for fail-over, not a scan.
constexpr size_t kMaxTimestampServers = 64;

// The time-stamp fields of a request, as far as its size reaches.
struct TimestampRequest {
    std::vector<TimestampServer> servers;
    std::string names;  // the URLs, for messages
    DigestAlgorithm imprintHash = DigestAlgorithm::kSha256;
    bool required = false;
    // Why a server's URL cannot be used, naming it; empty when all can.
    std::string urlFault;
};

template <class Field>
bool has_field(const fontseal_sign_request& r, size_t offset, const Field&) {
    return struct_covers(r.size, offset, sizeof(Field));
}

// False for a request whose time-stamp fields do not make sense: servers
// without a list, a server without a URL or with an unknown protocol, a
// time stamp required of no server, an imprint digest that is not offered.
bool read_timestamp_fields(const fontseal_sign_request& r, TimestampRequest& out) {
    size_t count = 0;
    if (has_field(r, offsetof(fontseal_sign_request, timestamp_server_count),
                  r.timestamp_server_count) &&
        has_field(r, offsetof(fontseal_sign_request, timestamp_servers), r.timestamp_servers))
        count = r.timestamp_server_count;
    if (count > 0 && (!r.timestamp_servers || count > kMaxTimestampServers)) return false;
    for (size_t i = 0; i < count; ++i) {
        const fontseal_timestamp_server& server = r.timestamp_servers[i];
        const TimestampProtocol* protocol = nullptr;
        switch (server.protocol) {
            case FONTSEAL_TIMESTAMP_COUNTER_SIGNATURE:
                protocol = &kCounterSignatureProtocol;
                break;
            case FONTSEAL_TIMESTAMP_RFC3161:
                protocol = &kRfc3161Protocol;
                break;
            default:
                return false;
        }
        if (!server.url || !*server.url) return false;
        // A URL that can never be asked is refused before any font is read.
        const std::string fault = timestamp_url_fault(server.url);
        if (!fault.empty()) {
            out.urlFault =
                "time-stamp server " + std::string(server.url) + " cannot be used: " + fault;
            return false;
        }
        out.servers.push_back({server.url, protocol});
        if (i > 0) out.names += ", ";
        out.names += server.url;
    }
    if (has_field(r, offsetof(fontseal_sign_request, require_timestamp), r.require_timestamp))
        out.required = r.require_timestamp != 0;
    if (out.required && count == 0) return false;
    if (has_field(r, offsetof(fontseal_sign_request, timestamp_digest), r.timestamp_digest)) {
        // No time-stamp server is asked for an MD5 imprint.
        if (!hash_from_request(r.timestamp_digest, out.imprintHash) ||
            out.imprintHash == DigestAlgorithm::kMd5)
            return false;
    }
    return true;
}

// The store entry a request names, as far as its size reaches; null for
// none.
const char* store_thumbprint_of(const fontseal_sign_request* r) {
    if (!r ||
        !has_field(*r, offsetof(fontseal_sign_request, store_thumbprint), r->store_thumbprint))
        return nullptr;
    return r->store_thumbprint;
}

// The external signer a request names, as far as its size reaches; null for
// none.
fontseal_signer_fn signer_of(const fontseal_sign_request* r) {
    if (!r || !has_field(*r, offsetof(fontseal_sign_request, signer_context), r->signer_context))
        return nullptr;
    return r->signer;
}

// A store fault's own line (which entry, which key file) in place of the
// general one.
void replace_message(fontseal_report* report, const std::string& line) {
    if (!report ||
        !struct_covers(report->size, offsetof(fontseal_report, message), sizeof report->message))
        return;
    const size_t n = std::min(line.size(), sizeof report->message - 1);
    std::memcpy(report->message, line.data(), n);
    report->message[n] = '\0';
}

// Empty when there is nothing to say, so a report is never stale.
void report_certificate_warning(fontseal_report* report, const std::string& line) {
    if (!report || !struct_covers(report->size, offsetof(fontseal_report, certificate_warning),
                                  sizeof report->certificate_warning))
        return;
    const size_t n = std::min(line.size(), sizeof report->certificate_warning - 1);
    std::memcpy(report->certificate_warning, line.data(), n);
    report->certificate_warning[n] = '\0';
}

}  // namespace

}  // namespace fontseal

extern "C" FONTSEAL_API int32_t sign_font(const char* input_path, const char* output_path,
                                          const char* cert_path, const char* key_path,
                                          const char* password, int32_t use_sha1, int32_t statement,
                                          const char16_t* program_name, const char* more_info_url,
                                          const char* timestamp_url) {
    const fontseal::SignOptions options(use_sha1, statement, program_name, more_info_url,
                                        timestamp_url);
    return fontseal::run_with_result([&] {
        return fontseal::sign_with_pvk(input_path, output_path, {cert_path, key_path, password},
                                       options);
    });
}

extern "C" FONTSEAL_API int32_t fontseal_sign(const fontseal_sign_request* request,
                                              fontseal_report* report) {
    using namespace fontseal;
    const char* store_thumbprint = store_thumbprint_of(request);
    const fontseal_signer_fn signer = signer_of(request);
    // A store entry replaces the key files, and an external signer the key:
    // naming both is a malformed request.
    const bool keyChosen =
        request && (signer ? !store_thumbprint && !request->key_path && request->cert_path
                    : store_thumbprint ? !request->key_path && !request->cert_path
                                       : request->key_path != nullptr);
    if (!request || request->size < kFirstRequestSize || !request->input_path ||
        !request->output_path || !keyChosen) {
        CallFiles files;
        if (request && request->size >= kFirstRequestSize)
            files = {text_or_empty(request->input_path), text_or_empty(request->output_path), "",
                     "", ""};
        report_certificate_warning(report, {});
        return fill_report(report, FONTSEAL_E_REQUEST, files);
    }
    const fontseal_sign_request& r = *request;
    int32_t detail = 0;
    TimestampRequest stamps;
    const bool stampsValid = read_timestamp_fields(r, stamps);
    const CallFiles files{r.input_path, r.output_path, text_or_empty(r.cert_path),
                          text_or_empty(r.key_path), stamps.names};
    std::string storeMessage;
    std::string certificateWarning;
    TimestampOutcome outcome;
    int32_t result = run_with_result([&]() -> int32_t {
        if (!stampsValid) return FONTSEAL_E_REQUEST;
        SignOptions options;
        options.collections = true;
        DigestAlgorithm digest = DigestAlgorithm::kSha256;
        if (!hash_from_request(r.digest, digest)) return FONTSEAL_E_REQUEST;
        options.digest = digest;
        options.statement = r.statement;
        std::u16string program_name;
        if (r.program_name && !utf8_to_utf16(r.program_name, program_name))
            return FONTSEAL_E_REQUEST;
        options.programName = r.program_name ? program_name.c_str() : nullptr;
        options.moreInfoUrl = r.more_info_url;
        options.timestampServers = stamps.servers.data();
        options.timestampServerCount = static_cast<int>(stamps.servers.size());
        options.imprintHash = stamps.imprintHash;
        options.requireTimestamp = stamps.required;
        options.outcome = &outcome;
        options.certificateWarning = &certificateWarning;
        // The PIN of a token this call uses, asked for only if it must be.
        std::optional<CallerPin> pin;
        if (has_field(r, offsetof(fontseal_sign_request, pin), r.pin) &&
            has_field(r, offsetof(fontseal_sign_request, pin_length), r.pin_length) && r.pin)
            pin.emplace(reinterpret_cast<const uint8_t*>(r.pin), r.pin_length);
        if (signer)
            return sign_with_external_signer(r.input_path, r.output_path, r.cert_path, signer,
                                             r.signer_context, options, &detail, storeMessage);
        if (is_pkcs11_uri(r.key_path))
            return sign_with_token_key(r.input_path, r.output_path, r.cert_path, r.key_path,
                                       options, &detail);
        // The key readers take a NUL-terminated password; the copy is wiped.
        SecureBytes password;
        if (r.password) {
            password.assign(reinterpret_cast<const uint8_t*>(r.password),
                            reinterpret_cast<const uint8_t*>(r.password) + r.password_length);
            password.push_back(0);
        }
        const char* password_text =
            r.password ? reinterpret_cast<const char*>(password.data()) : nullptr;
        // The readers stop at a NUL: a password holding one would be tried
        // cut short, and its first part might open a key the whole does not.
        if (r.password && !store_thumbprint && std::memchr(r.password, 0, r.password_length))
            return FONTSEAL_E_KEY_PASSWORD;
        if (store_thumbprint)
            return sign_with_store_entry(store_thumbprint, r.input_path, r.output_path, options,
                                         &detail, storeMessage);
        return sign_with_key_file(r.input_path, r.output_path,
                                  {r.cert_path, r.key_path, password_text}, options, &detail);
    });
    fill_report(report, result, files, detail);
    if (!storeMessage.empty())
        replace_message(report, storeMessage + " (code " + std::to_string(result) + ")");
    if (!stampsValid && !stamps.urlFault.empty())
        replace_message(report, stamps.urlFault + " (code " + std::to_string(result) + ")");
    if (result == FONTSEAL_E_TIMESTAMP && !outcome.failures.empty())
        replace_message(report, "no valid time stamp for " + files.input + ": " + outcome.failures +
                                    "; nothing was written (code " + std::to_string(result) + ")");
    if (result == FONTSEAL_OK) {
        report_timestamp(report, outcome.server, outcome.time);
        if (outcome.server < 0 && !stamps.servers.empty())
            report_timestamp_warning(report, outcome.failures);
    }
    report_certificate_warning(report, certificateWarning);
    return result;
}

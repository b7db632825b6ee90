// SPDX-License-Identifier: Apache-2.0
#include "verify/trust_chain.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>

#include "base/ossl_ptr.h"
#include "platform/http_fetch.h"
#include "platform/regular_file.h"
#include "platform/root_file.h"

namespace fontseal {

namespace {

// Revocation reasons that say the key itself can no longer be relied on:
// whoever holds it could also have made a signature that predates a stamp.
bool is_compromise(int reason) {
    return reason == OCSP_REVOKED_STATUS_KEYCOMPROMISE ||
           reason == OCSP_REVOKED_STATUS_CACOMPROMISE;
}

std::string reason_text(int reason) {
    return reason < 0 ? "no reason given" : OCSP_crl_reason_str(reason);
}

// Through the one non-waiting opener: a FIFO or a device named by mistake
// cannot hold the call.
bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
    SecureBytes data;
    if (!read_regular_file(path.c_str(), 64 << 20, data)) return false;
    bytes.assign(data.begin(), data.end());
    return true;
}

bool looks_pem(const std::vector<uint8_t>& bytes) {
    static const char kBegin[] = "-----BEGIN";
    return std::search(bytes.begin(), bytes.end(), kBegin, kBegin + sizeof kBegin - 1) !=
           bytes.end();
}

// Certificates in PEM (any number), DER or a PKCS#7 bundle (DER), as issuers
// publish them.
bool read_certs(const std::vector<uint8_t>& bytes, STACK_OF(X509) * into) {
    const int before = sk_X509_num(into);
    if (looks_pem(bytes)) {
        BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        while (X509* c = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr) {
            if (!sk_X509_push(into, c)) X509_free(c);
        }
        return sk_X509_num(into) > before;
    }
    const unsigned char* p = bytes.data();
    if (X509* c = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()))) {
        if (!sk_X509_push(into, c)) X509_free(c);
        return true;
    }
    p = bytes.data();
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
    if (p7 && PKCS7_type_is_signed(p7.get()) && p7->d.sign && p7->d.sign->cert) {
        for (int i = 0; i < sk_X509_num(p7->d.sign->cert); ++i) {
            X509* c = sk_X509_value(p7->d.sign->cert, i);
            if (X509_up_ref(c) && !sk_X509_push(into, c)) X509_free(c);
        }
    }
    return sk_X509_num(into) > before;
}

std::vector<CrlPtr> read_crls(const std::vector<uint8_t>& bytes) {
    std::vector<CrlPtr> out;
    if (looks_pem(bytes)) {
        BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        while (X509_CRL* c =
                   bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr) {
            out.emplace_back(c);
        }
        return out;
    }
    const unsigned char* p = bytes.data();
    if (X509_CRL* c = d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size()))) {
        out.emplace_back(c);
    }
    return out;
}

// The URIs of an access method (caIssuers, OCSP) in a certificate's AIA.
std::vector<std::string> access_uris(X509* cert, int method) {
    std::vector<std::string> out;
    InfoAccessPtr aia(static_cast<AUTHORITY_INFO_ACCESS*>(
        X509_get_ext_d2i(cert, NID_info_access, nullptr, nullptr)));
    for (int i = 0; aia && i < sk_ACCESS_DESCRIPTION_num(aia.get()); ++i) {
        ACCESS_DESCRIPTION* ad = sk_ACCESS_DESCRIPTION_value(aia.get(), i);
        if (OBJ_obj2nid(ad->method) != method || ad->location->type != GEN_URI) continue;
        const ASN1_IA5STRING* uri = ad->location->d.uniformResourceIdentifier;
        out.emplace_back(reinterpret_cast<const char*>(uri->data),
                         static_cast<size_t>(uri->length));
    }
    return out;
}

std::vector<std::string> crl_uris(X509* cert) {
    std::vector<std::string> out;
    DistPointsPtr points(static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(cert, NID_crl_distribution_points, nullptr, nullptr)));
    for (int i = 0; points && i < sk_DIST_POINT_num(points.get()); ++i) {
        DIST_POINT* dp = sk_DIST_POINT_value(points.get(), i);
        if (!dp->distpoint || dp->distpoint->type != 0) continue;
        GENERAL_NAMES* names = dp->distpoint->name.fullname;
        for (int k = 0; k < sk_GENERAL_NAME_num(names); ++k) {
            GENERAL_NAME* g = sk_GENERAL_NAME_value(names, k);
            if (g->type != GEN_URI) continue;
            const ASN1_IA5STRING* uri = g->d.uniformResourceIdentifier;
            out.emplace_back(reinterpret_cast<const char*>(uri->data),
                             static_cast<size_t>(uri->length));
        }
    }
    return out;
}

// A process-wide cache of OCSP answers by responder and certificate: the
// fonts of one family signed by one certificate ask the responder once.
struct OcspMemo {
    int status = -1;  // V_OCSP_CERTSTATUS_*, -1 when no usable answer
    int reason = -1;
    int64_t revokedAt = 0;
    std::string note;
    int64_t until = 0;  // kept until then (seconds since 1970)
};

std::mutex ocspLock;
std::map<std::string, OcspMemo> ocspAnswers;

}  // namespace

int64_t time_of(const ASN1_TIME* t) {
    struct tm parts {};
    if (!t || !ASN1_TIME_to_tm(t, &parts)) return 0;
    return static_cast<int64_t>(timegm(&parts));
}

std::string utc_text(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string name_of(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return "";
    char* text = nullptr;
    long n = BIO_get_mem_data(bio.get(), &text);
    return std::string(text, static_cast<size_t>(n));
}

const char* system_roots_file() {
    static const char kDebian[] = "/etc/ssl/certs/ca-certificates.crt";
    struct stat st;
    return ::stat(kDebian, &st) == 0 ? kDebian : X509_get_default_cert_file();
}

struct TrustSession::Owned {
    StorePtr store;
    CertStackPtr untrusted;  // given and fetched intermediates
    std::vector<CrlPtr> crls;
    std::vector<std::string> crlSources;  // the file each CRL came from
};

// What is known of one certificate's revocation.
struct TrustSession::Evidence {
    bool revoked = false;
    int64_t revokedAt = 0;
    int reason = -1;
    std::string revokedBy;           // the source that says so
    bool good = false;               // a fresh, authentic source lists it as not revoked
    std::vector<std::string> notes;  // why a source gave no answer
};

TrustSession::TrustSession(const TrustOptions& options) : options_(options), owned_(new Owned) {
    owned_->untrusted.reset(sk_X509_new_null());
    owned_->store.reset(X509_STORE_new());
    auto fault = [this](const char* check, std::string why) {
        if (loadFault_.empty()) {
            loadFault_ = std::move(why);
            loadFaultCheck_ = check;
        }
    };
    X509_STORE* store = owned_->store.get();
    if (!store || !owned_->untrusted) {
        fault("chain", "out of memory");
        return;
    }
    if (!options.caFile.empty() && !load_root_file(store, options.caFile.c_str())) {
        fault("chain", "the roots in " + options.caFile + " cannot be read");
    }
    if (!options.caPath.empty()) {
        struct stat st;
        if (::stat(options.caPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            X509_STORE_load_path(store, options.caPath.c_str()) != 1) {
            fault("chain", "the roots directory " + options.caPath + " cannot be read");
        }
    }
    if (options.systemRoots && X509_STORE_load_file(store, system_roots_file()) != 1) {
        fault("chain",
              std::string("the system's roots in ") + system_roots_file() + " cannot be read");
    }
    for (const std::string& path : options.untrustedFiles) {
        std::vector<uint8_t> bytes;
        if (!read_file(path, bytes) || !read_certs(bytes, owned_->untrusted.get())) {
            fault("chain", "no certificate can be read from " + path);
        }
    }
    for (const std::string& path : options.crlFiles) {
        std::vector<uint8_t> bytes;
        std::vector<CrlPtr> crls;
        if (read_file(path, bytes)) crls = read_crls(bytes);
        if (crls.empty()) fault("revocation", "no CRL can be read from " + path);
        for (CrlPtr& c : crls) {
            owned_->crls.push_back(std::move(c));
            owned_->crlSources.push_back(path);
        }
    }
}

TrustSession::~TrustSession() = default;

int64_t TrustSession::judgeTime() const {
    return options_.atTime > 0 ? options_.atTime : static_cast<int64_t>(std::time(nullptr));
}

// Fetches the issuer certificate `cert`'s AIA names into the intermediates.
bool TrustSession::fetch_issuer(X509* cert, int& fetches) {
    constexpr int kMaxFetchesPerChain = 4;
    for (const std::string& url : access_uris(cert, NID_ad_ca_issuers)) {
        if (fetches >= kMaxFetchesPerChain) return false;
        ++fetches;
        FetchResult got = http_get_cached(url);
        if (got.ok && read_certs(got.body, owned_->untrusted.get())) return true;
    }
    return false;
}

std::string TrustSession::chainFault(X509* cert, STACK_OF(X509) * certs, int64_t when) {
    int fetches = 0;
    for (;;) {
        CertStackPtr all(sk_X509_new_null());
        for (STACK_OF(X509) * from : {certs, owned_->untrusted.get()}) {
            for (int i = 0; from && i < sk_X509_num(from); ++i) {
                X509* c = sk_X509_value(from, i);
                if (all && X509_up_ref(c) && !sk_X509_push(all.get(), c)) X509_free(c);
            }
        }
        StoreCtxPtr ctx(X509_STORE_CTX_new());
        if (!all || !ctx ||
            X509_STORE_CTX_init(ctx.get(), owned_->store.get(), cert, all.get()) != 1) {
            return "the chain cannot be built";
        }
        X509_STORE_CTX_set_time(ctx.get(), 0, static_cast<time_t>(when > 0 ? when : judgeTime()));
        if (X509_verify_cert(ctx.get()) == 1) return "";
        const int error = X509_STORE_CTX_get_error(ctx.get());
        std::string fault = X509_verify_cert_error_string(error);
        const bool missing = error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
                             error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT;
        X509* stuck = X509_STORE_CTX_get_current_cert(ctx.get());
        if (!missing || !options_.online || !stuck) return fault;
        if (access_uris(stuck, NID_ad_ca_issuers).empty()) {
            return fault + " (the certificate names no issuer to fetch)";
        }
        if (!fetch_issuer(stuck, fetches)) {
            std::string why;
            for (const std::string& url : access_uris(stuck, NID_ad_ca_issuers)) {
                FetchResult got = http_get_cached(url);
                why = got.ok ? url + ": no certificate in the reply" : got.error;
            }
            return fault + " (fetching the issuer: " + (why.empty() ? "too many fetches" : why) +
                   ")";
        }
    }
}

void TrustSession::judge_crl(X509_CRL* crl, const std::string& source, X509* subject, X509* issuer,
                             Evidence& e) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(subject)) != 0) return;
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (!key || X509_CRL_verify(crl, key) != 1) {
        e.notes.push_back("the CRL from " + source + " is not signed by the issuer");
        return;
    }
    X509_REVOKED* entry = nullptr;
    if (X509_CRL_get0_by_cert(crl, &entry, subject) == 1 && entry) {
        // Revocation is for good: even a CRL past its next update proves it.
        e.revoked = true;
        e.revokedAt = time_of(X509_REVOKED_get0_revocationDate(entry));
        EnumeratedPtr reason(static_cast<ASN1_ENUMERATED*>(
            X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, nullptr, nullptr)));
        e.reason = reason ? static_cast<int>(ASN1_ENUMERATED_get(reason.get())) : -1;
        e.revokedBy = "the CRL from " + source;
        return;
    }
    const int64_t now = judgeTime();
    const int64_t thisUpdate = time_of(X509_CRL_get0_lastUpdate(crl));
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
    if (thisUpdate > now + 300) {
        e.notes.push_back("the CRL from " + source + " is not valid until " + utc_text(thisUpdate));
    } else if (next && time_of(next) < now) {
        e.notes.push_back("the CRL from " + source + " expired at " + utc_text(time_of(next)));
    } else {
        e.good = true;
    }
}

void TrustSession::ask_ocsp(const std::string& url, X509* subject, X509* issuer,
                            STACK_OF(X509) * chain, Evidence& e) {
    CertIdPtr id(OCSP_cert_to_id(nullptr, subject, issuer));
    unsigned char* idDer = nullptr;
    const int idLength = id ? i2d_OCSP_CERTID(id.get(), &idDer) : -1;
    if (idLength <= 0) {
        e.notes.push_back(url + ": the OCSP request cannot be made");
        return;
    }
    const std::string key = url + '\n' + std::string(reinterpret_cast<char*>(idDer), idLength);
    OPENSSL_free(idDer);
    OcspMemo memo;
    bool known = false;
    {
        std::lock_guard<std::mutex> hold(ocspLock);
        auto found = ocspAnswers.find(key);
        if (found != ocspAnswers.end() && std::time(nullptr) < found->second.until) {
            memo = found->second;
            known = true;
        }
    }
    if (!known) {
        memo.note = [&]() -> std::string {
            OcspRequestPtr request(OCSP_REQUEST_new());
            OCSP_CERTID* asked = OCSP_CERTID_dup(id.get());
            if (!request || !asked || !OCSP_request_add0_id(request.get(), asked)) {
                OCSP_CERTID_free(asked);
                return url + ": the OCSP request cannot be made";
            }
            if (!OCSP_request_add1_nonce(request.get(), nullptr, -1)) {
                return url + ": the OCSP request cannot be made";
            }
            unsigned char* der = nullptr;
            const int n = i2d_OCSP_REQUEST(request.get(), &der);
            if (n <= 0) return url + ": the OCSP request cannot be made";
            std::vector<uint8_t> body(der, der + n);
            OPENSSL_free(der);
            FetchResult got = http_fetch(url, body, "application/ocsp-request");
            if (!got.ok) return "the OCSP responder " + got.error;
            const unsigned char* p = got.body.data();
            OcspResponsePtr response(
                d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(got.body.size())));
            if (!response) return url + ": the reply is no OCSP response";
            const int status = OCSP_response_status(response.get());
            if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL) {
                return url + ": the OCSP responder answered " + OCSP_response_status_str(status);
            }
            OcspBasicPtr basic(OCSP_response_get1_basic(response.get()));
            if (!basic) return url + ": the OCSP response is malformed";
            // A nonce echoed wrongly is a replay; none at all is a responder
            // that answers from a cache, whose times below still bound it.
            const int nonce = OCSP_check_nonce(request.get(), basic.get());
            if (nonce != 1 && nonce != 3) return url + ": the OCSP response's nonce does not match";
            // Signed by the issuer, or by a responder the issuer named for it.
            if (OCSP_basic_verify(basic.get(), chain, owned_->store.get(), 0) != 1) {
                return url + ": the OCSP response is not signed by the issuer or its responder";
            }
            int certStatus = -1, reason = -1;
            ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
            if (!OCSP_resp_find_status(basic.get(), id.get(), &certStatus, &reason, &revoked,
                                       &thisUpdate, &nextUpdate)) {
                return url + ": the OCSP response does not answer for this certificate";
            }
            if (!OCSP_check_validity(thisUpdate, nextUpdate, 300, -1)) {
                return url + ": the OCSP response is out of date (this update " +
                       utc_text(time_of(thisUpdate)) +
                       (nextUpdate ? ", next update " + utc_text(time_of(nextUpdate)) : "") + ")";
            }
            if (certStatus == V_OCSP_CERTSTATUS_UNKNOWN) {
                return url + ": the OCSP responder does not know the certificate";
            }
            memo.status = certStatus;
            memo.reason = reason;
            memo.revokedAt = time_of(revoked);
            // An answer holds until its next update, and an hour at most.
            const int64_t now = static_cast<int64_t>(std::time(nullptr));
            memo.until = now + 3600;
            if (nextUpdate && time_of(nextUpdate) < memo.until) memo.until = time_of(nextUpdate);
            return "";
        }();
        if (memo.status < 0) memo.until = static_cast<int64_t>(std::time(nullptr)) + 120;
        std::lock_guard<std::mutex> hold(ocspLock);
        ocspAnswers[key] = memo;
    }
    if (memo.status == V_OCSP_CERTSTATUS_REVOKED) {
        e.revoked = true;
        e.revokedAt = memo.revokedAt;
        e.reason = memo.reason;
        e.revokedBy = "the OCSP responder " + url;
    } else if (memo.status == V_OCSP_CERTSTATUS_GOOD) {
        e.good = true;
    } else {
        e.notes.push_back(memo.note);
    }
}

TrustSession::Evidence TrustSession::status_of(X509* subject, X509* issuer,
                                               STACK_OF(X509) * chain) {
    Evidence e;
    for (size_t i = 0; i < owned_->crls.size() && !e.revoked; ++i) {
        judge_crl(owned_->crls[i].get(), owned_->crlSources[i], subject, issuer, e);
    }
    if (!options_.online || e.revoked) return e;
    for (const std::string& url : crl_uris(subject)) {
        if (e.revoked) break;
        FetchResult got = http_get_cached(url);
        if (!got.ok) {
            e.notes.push_back("the CRL " + got.error);
            continue;
        }
        std::vector<CrlPtr> crls = read_crls(got.body);
        if (crls.empty()) e.notes.push_back(url + ": the reply is no CRL");
        for (CrlPtr& c : crls) judge_crl(c.get(), url, subject, issuer, e);
    }
    for (const std::string& url : access_uris(subject, NID_ad_OCSP)) {
        if (e.revoked) break;
        ask_ocsp(url, subject, issuer, chain, e);
    }
    return e;
}

TrustOutcome TrustSession::revocation(X509* cert, STACK_OF(X509) * certs, int64_t chainTime,
                                      int64_t stampTime) {
    if (!options_.wantsRevocation()) return {"not checked", "no CRL file given and not online"};
    if (!options_.hasRoots()) {
        return {"not checked", "revocation is checked only along a chain to given roots"};
    }
    // The chain as chainFault found it (fetched intermediates are kept).
    CertStackPtr all(sk_X509_new_null());
    for (STACK_OF(X509) * from : {certs, owned_->untrusted.get()}) {
        for (int i = 0; from && i < sk_X509_num(from); ++i) {
            X509* c = sk_X509_value(from, i);
            if (all && X509_up_ref(c) && !sk_X509_push(all.get(), c)) X509_free(c);
        }
    }
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!all || !ctx || X509_STORE_CTX_init(ctx.get(), owned_->store.get(), cert, all.get()) != 1) {
        return {"unknown", "the chain cannot be built"};
    }
    X509_STORE_CTX_set_time(ctx.get(), 0,
                            static_cast<time_t>(chainTime > 0 ? chainTime : judgeTime()));
    if (X509_verify_cert(ctx.get()) != 1) return {"unknown", "the chain cannot be built"};
    CertStackPtr chain(X509_STORE_CTX_get1_chain(ctx.get()));
    const int length = chain ? sk_X509_num(chain.get()) : 0;

    const int64_t reference = stampTime > 0 ? stampTime : judgeTime();
    const std::string referenceName =
        stampTime > 0
            ? "the time stamp's time " + utc_text(stampTime)
            : (options_.atTime > 0 ? "the time judged at " : "now, ") + utc_text(reference);
    TrustOutcome out{"pass", ""};
    std::vector<std::string> notes;
    // The root vouches for itself; every certificate below it is looked up.
    for (int i = 0; i + 1 < length; ++i) {
        X509* subject = sk_X509_value(chain.get(), i);
        X509* issuer = sk_X509_value(chain.get(), i + 1);
        const std::string who =
            i == 0 ? "the signer's certificate"
                   : "the chain's certificate " + name_of(X509_get_subject_name(subject));
        Evidence e = status_of(subject, issuer, all.get());
        if (e.revoked) {
            const std::string what = who + " was revoked at " + utc_text(e.revokedAt) + " (" +
                                     reason_text(e.reason) + ", says " + e.revokedBy + ")";
            if (e.revokedAt <= reference) return {"fail", what + ", before " + referenceName};
            if (is_compromise(e.reason)) {
                return {"fail", what + ": after " + referenceName +
                                    ", but a compromised key could have made the signature "
                                    "and its stamp later"};
            }
            notes.push_back(
                what + ", after " + referenceName +
                (stampTime > 0 ? ": the time stamp shows the signature came first" : ""));
            continue;
        }
        if (e.good || i > 0) continue;  // intermediates count only when a source speaks
        out.status = "unknown";
        std::string why;
        for (const std::string& n : e.notes) why += (why.empty() ? "" : "; ") + n;
        notes.push_back(who + ": " +
                        (why.empty() ? "no CRL of its issuer was given and it names no online "
                                       "source"
                                     : why));
    }
    for (const std::string& n : notes) out.reason += (out.reason.empty() ? "" : "; ") + n;
    if (out.status == "pass" && out.reason.empty()) out.reason = "not revoked";
    return out;
}

}  // namespace fontseal

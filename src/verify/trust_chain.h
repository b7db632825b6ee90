// SPDX-License-Identifier: Apache-2.0
// Whom a signature's signer is trusted as: the roots and intermediates a
// verifier is given or fetches, the signer's chain to those roots, whether
// a certificate of that chain was revoked (from CRL files, the CRLs and OCSP
// responders the certificates name), and the policy a pipeline sets.
#pragma once
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fontseal {

struct TrustOptions {
    std::string caFile;  // PEM roots (and intermediates)
    std::string caPath;  // an OpenSSL hashed directory of roots
    bool systemRoots = false;
    std::vector<std::string> untrustedFiles;  // intermediates, PEM or DER
    std::vector<std::string> crlFiles;        // CRLs, PEM (one or several) or DER
    // Fetch missing intermediates (AIA caIssuers), CRLs (distribution
    // points) and OCSP answers (AIA responder) over HTTP.
    bool online = false;
    bool requireTimestamp = false;
    bool requireChain = false;
    bool requireRevocationCheck = false;
    std::string minDigest;  // "" or a digest name digest_by_name knows
    int64_t atTime = 0;     // judge at this time (seconds since 1970); 0 now

    bool hasRoots() const { return !caFile.empty() || !caPath.empty() || systemRoots; }
    bool wantsRevocation() const { return !crlFiles.empty() || online; }
};

// Seconds since 1970 of an ASN.1 time; 0 for none or one that cannot be read.
int64_t time_of(const ASN1_TIME* t);
// A name as the reports show it (RFC 2253), "" when it cannot be printed.
std::string name_of(const X509_NAME* name);
// Seconds since 1970 as the messages show them: "2024-06-01 12:00:00 UTC".
std::string utc_text(int64_t seconds);

// Where the system's root list lives (Debian's bundle of TLS roots).
const char* system_roots_file();

// One check's outcome: "pass", "fail", "not checked" or "unknown".
struct TrustOutcome {
    std::string status;
    std::string reason;
};

// What one verify call has loaded and fetched. Not shared between threads.
class TrustSession {
public:
    explicit TrustSession(const TrustOptions& options);
    ~TrustSession();
    TrustSession(const TrustSession&) = delete;
    TrustSession& operator=(const TrustSession&) = delete;

    const TrustOptions& options() const { return options_; }
    // A file that could not be read, and the check it belongs to ("chain"
    // or "revocation"); empty when everything loaded.
    const std::string& loadFault() const { return loadFault_; }
    const char* loadFaultCheck() const { return loadFaultCheck_; }
    // The time judged at: --at's, else now.
    int64_t judgeTime() const;

    // Why `cert` does not chain to the roots through `certs` (the
    // signature's), the given intermediates and (online) fetched ones, at
    // `when` (0: the judging time); empty when it does.
    std::string chainFault(X509* cert, STACK_OF(X509) * certs, int64_t when);

    // Whether a certificate of `cert`'s chain (built as chainFault builds
    // it, at `chainTime`) was revoked, judged at `stampTime` (a valid time
    // stamp's time; 0 without one: the judging time).
    TrustOutcome revocation(X509* cert, STACK_OF(X509) * certs, int64_t chainTime,
                            int64_t stampTime);

private:
    struct Evidence;
    Evidence status_of(X509* subject, X509* issuer, STACK_OF(X509) * chain);
    void judge_crl(X509_CRL* crl, const std::string& source, X509* subject, X509* issuer,
                   Evidence& e);
    void ask_ocsp(const std::string& url, X509* subject, X509* issuer, STACK_OF(X509) * chain,
                  Evidence& e);
    bool fetch_issuer(X509* cert, int& fetches);

    TrustOptions options_;
    std::string loadFault_;
    const char* loadFaultCheck_ = "";
    struct Owned;
    std::unique_ptr<Owned> owned_;
};

}  // namespace fontseal

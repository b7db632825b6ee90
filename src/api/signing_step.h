// SPDX-License-Identifier: Apache-2.0
// The one step in which the two signing routes differ: turning the content
// bytes into a signature blob. The job is written against this interface so
// it can run with the file-key signer, the system-store signer, or a test
// signer with known bytes.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "der/digest_algorithm.h"
#include "timestamp/timestamp_signature.h"

namespace fontseal {

struct SignOptions {
    int32_t useSha1 = 1;  // non-zero SHA-1, zero MD5: the original selector
    // Set by a call that names the algorithm; it then overrides useSha1.
    std::optional<DigestAlgorithm> digest;
    int32_t statement = 0;  // 0 from the certificate, 2 commercial, else individual
    const char16_t* programName = nullptr;
    const char* moreInfoUrl = nullptr;
    // The original entry points' one server, asked for a counter-signature.
    const char* timestampUrl = nullptr;
    // The request-based entry point's servers, asked in order; they take the
    // place of timestampUrl.
    const TimestampServer* timestampServers = nullptr;
    int timestampServerCount = 0;
    DigestAlgorithm imprintHash = DigestAlgorithm::kSha256;
    // No time stamp then fails the job, before anything is written.
    bool requireTimestamp = false;
    // Receives which server gave the time stamp, when not null.
    TimestampOutcome* outcome = nullptr;
    // Font collections are signed too; the original entry points leave it
    // false and keep refusing them.
    bool collections = false;
    // Receives why verifying will refuse the signer's certificate (expired,
    // not for code signing, ...), when not null; empty when nothing does.
    std::string* certificateWarning = nullptr;

    SignOptions() = default;
    SignOptions(int32_t use_sha1, int32_t statement_type, const char16_t* program_name,
                const char* more_info_url, const char* timestamp_url)
        : useSha1(use_sha1),
          statement(statement_type),
          programName(program_name),
          moreInfoUrl(more_info_url),
          timestampUrl(timestamp_url) {}

    DigestAlgorithm digestAlgorithm() const {
        return digest ? *digest : digest_from_use_sha1(useSha1);
    }
};

class SigningStep {
public:
    virtual ~SigningStep() = default;
    // Signs `content` (the content SEQUENCE's body). On success returns the
    // blob's length and leaves a malloc'd blob in *out, which the caller owns.
    // A negative result is a failure; *out may still hold a block to free.
    virtual int sign(const uint8_t* content, int length, const SignOptions& options,
                     uint8_t** out) = 0;
};

}  // namespace fontseal

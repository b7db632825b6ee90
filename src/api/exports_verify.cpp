// SPDX-License-Identifier: Apache-2.0
// fontseal_verify: checks a signed font and reports what it found.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "api/messages.h"
#include "api/results.h"
#include "der/digest_algorithm.h"
#include "fontseal/fontseal.h"
#include "verify/font_verify.h"
#include "verify/trust_chain.h"

namespace fontseal {

namespace {

// Writes the fields of `report` that its size covers; a host built with an
// older header passes a smaller struct.
class VerifyReportWriter {
public:
    explicit VerifyReportWriter(fontseal_verify_report* report) : report_(report) {}

    bool covers(const void* field, size_t length) const {
        const size_t offset = static_cast<size_t>(static_cast<const char*>(field) -
                                                  reinterpret_cast<const char*>(report_));
        return struct_covers(report_->size, offset, length);
    }
    template <size_t N>
    void text(char (&field)[N], const std::string& value) {
        if (!covers(field, N)) return;
        size_t n = value.size() < N - 1 ? value.size() : N - 1;
        // Cut between characters, so a shortened field is still UTF-8.
        if (n < value.size()) {
            while (n > 0 && (static_cast<uint8_t>(value[n]) & 0xC0) == 0x80) --n;
        }
        std::memcpy(field, value.data(), n);
        field[n] = '\0';
    }
    template <class T>
    void number(T& field, T value) {
        if (covers(&field, sizeof field)) field = value;
    }

private:
    fontseal_verify_report* report_;
};

}  // namespace

}  // namespace fontseal

extern "C" FONTSEAL_API int32_t fontseal_verify(const fontseal_verify_request* request,
                                                fontseal_verify_report* report) {
    using namespace fontseal;
    fontseal_verify_report none{};  // size 0: nothing is written to it
    if (!report) report = &none;
    VerifyReportWriter out(report);
    // Everything starts cleared, so a failure leaves no stale details.
    if (report->size > sizeof report->size) {
        const uint32_t size = report->size;
        std::memset(reinterpret_cast<char*>(report) + sizeof report->size, 0,
                    (size < sizeof *report ? size : sizeof *report) - sizeof report->size);
    }
    out.number(report->dsig_flags, -1);
    if (!request || request->size < offsetof(fontseal_verify_request, ca_file) ||
        !request->font_path) {
        out.number(report->result, int32_t{FONTSEAL_E_REQUEST});
        out.text(report->message, describe_result(FONTSEAL_E_REQUEST, CallFiles{}));
        return FONTSEAL_E_REQUEST;
    }
    const char* caFile = struct_covers(request->size, offsetof(fontseal_verify_request, ca_file),
                                       sizeof request->ca_file)
                             ? request->ca_file
                             : nullptr;
    const int32_t signatureNumber =
        struct_covers(request->size, offsetof(fontseal_verify_request, signature_number),
                      sizeof request->signature_number)
            ? request->signature_number
            : 0;
    const CallFiles files{request->font_path, "", caFile ? caFile : "", ""};
    TrustOptions trust;
    if (caFile) trust.caFile = caFile;
    auto has = [request](const void* field, size_t length) {
        return struct_covers(request->size,
                             static_cast<size_t>(static_cast<const char*>(field) -
                                                 reinterpret_cast<const char*>(request)),
                             length);
    };
    if (has(&request->at_time, sizeof request->at_time)) {
        if (request->ca_path) trust.caPath = request->ca_path;
        trust.systemRoots = request->system_roots != 0;
        for (int32_t i = 0; request->untrusted_files && i < request->untrusted_count; ++i) {
            if (request->untrusted_files[i])
                trust.untrustedFiles.push_back(request->untrusted_files[i]);
        }
        for (int32_t i = 0; request->crl_files && i < request->crl_count; ++i) {
            if (request->crl_files[i]) trust.crlFiles.push_back(request->crl_files[i]);
        }
        trust.online = request->online != 0;
        trust.requireTimestamp = request->require_timestamp != 0;
        trust.requireChain = request->require_chain != 0;
        trust.requireRevocationCheck = request->require_revocation_check != 0;
        if (request->min_digest) {
            const DigestFacts* least = digest_by_name(request->min_digest);
            if (!least) {
                out.number(report->result, int32_t{FONTSEAL_E_REQUEST});
                out.text(report->message, describe_result(FONTSEAL_E_REQUEST, CallFiles{}));
                return FONTSEAL_E_REQUEST;
            }
            trust.minDigest = least->name;
        }
        trust.atTime = request->at_time;
    }
    FontVerification found;
    int32_t detail = 0;
    int32_t result = run_with_result(
        [&]() -> int32_t {
            found = verify_font(request->font_path, trust, signatureNumber);
            switch (found.verdict) {
                case FontVerdict::kValid:
                    return FONTSEAL_OK;
                case FontVerdict::kUnsigned:
                    return FONTSEAL_E_UNSIGNED;
                case FontVerdict::kNoSuchSignature:
                    return FONTSEAL_E_REQUEST;
                case FontVerdict::kRootsUnusable:
                    return FONTSEAL_E_CA_FILE;
                default:
                    return FONTSEAL_E_NOT_VERIFIED;
            }
        },
        &detail);
    out.number(report->result, result);
    if (found.verdict == FontVerdict::kNoSuchSignature) {
        // The table's fields tell the host how many there are.
        out.text(report->message, std::string(request->font_path) + ": " + found.reason);
        out.number(report->dsig_flags, found.flags);
        out.number(report->signature_count, found.signatureCount);
        out.number(report->member_count, found.memberCount);
        return result;
    }
    if (found.verdict == FontVerdict::kRootsUnusable) {
        out.text(report->message, "cannot use the roots file " + std::string(caFile) + ": " +
                                      found.reason + " (code " + std::to_string(result) + ")");
        return result;
    }
    if (result == FONTSEAL_E_UNSIGNED || result == FONTSEAL_E_NOT_VERIFIED) {
        out.text(report->message, std::string(request->font_path) + ": " + found.reason);
    } else if (result != FONTSEAL_OK) {
        out.text(report->message, describe_result(result, files, detail));
        return result;
    }
    out.text(report->check, found.check);
    out.number(report->dsig_flags, found.flags);
    out.number(report->signature_count, found.signatureCount);
    out.text(report->signer_subject, found.subject);
    out.text(report->signer_issuer, found.issuer);
    out.text(report->signer_serial, found.serial);
    out.text(report->digest, found.digest);
    out.text(report->statement, found.statement);
    out.text(report->program_name, found.programName);
    out.text(report->more_info_url, found.moreInfoUrl);
    out.text(report->layout, found.layout);
    out.text(report->timestamp_kind, found.timestampKind);
    out.number(report->timestamp_time, found.timestampTime);
    out.text(report->timestamp_signer, found.timestampSigner);
    out.number(report->chain_checked, found.chainChecked);
    out.number(report->signature_number, found.signatureNumber);
    out.number(report->member_count, found.memberCount);
    out.text(report->chain_status, found.chainStatus);
    out.text(report->chain_reason, found.chainNote);
    out.text(report->revocation_status, found.revocationStatus);
    out.text(report->revocation_reason, found.revocationNote);
    out.text(report->container, found.container);
    return result;
}

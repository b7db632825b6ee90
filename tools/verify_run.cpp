// SPDX-License-Identifier: Apache-2.0
// `fontseal verify` at work: each font judged whole and signature by
// signature, its verdict as text or JSON, the count, and the page.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "printable.h"
#include "verify_parts.h"

namespace fontseal_cli {
namespace verify_cmd {

bool revocation_asked(const VerifyArgs& args) {
    return !args.crlFiles.empty() || args.online || args.requireRevocationCheck;
}

std::string utc_text(int64_t seconds) {
    if (seconds == 0) return "";
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

const char* status_of(const fontseal_verify_report& r) {
    if (r.result == FONTSEAL_OK) return "valid";
    if (r.result == FONTSEAL_E_UNSIGNED) return "unsigned";
    return "invalid";
}

// Digests a collision can be made for: still checked, and valid when they
// match, but no longer a safe choice for a signature.
bool weak_digest(const fontseal_verify_report& r) {
    return std::strcmp(r.digest, "MD5") == 0 || std::strcmp(r.digest, "SHA-1") == 0;
}

// The table order the digest matched, in words.
const char* order_words(const fontseal_verify_report& r) {
    if (std::strcmp(r.layout, "writer") == 0) return "fontseal's";
    if (std::strcmp(r.layout, "file") == 0) return "the file's own";
    return r.layout;
}

// The report's message without the font's name, which every line or row
// showing it already carries.
std::string reason(const std::string& font, const fontseal_verify_report& r) {
    std::string why = r.message;
    if (why.compare(0, font.size() + 2, font + ": ") == 0) why.erase(0, font.size() + 2);
    return why;
}

// Revocation is shown where it was asked for, or where it failed.
bool show_revocation(const fontseal_verify_report& r, bool asked) {
    return r.revocation_status[0] &&
           ((asked && r.result == FONTSEAL_OK) || std::strcmp(r.check, "revocation") == 0);
}

namespace {

// Signatures shown one by one, at most.
constexpr int32_t kMaxShownSignatures = 16;

const char kWeakNote[] =
    "weak digest: collisions can be made for it; sign again with SHA-256 or stronger";

void print_why(const std::string& font, const fontseal_verify_report& r, const char* indent) {
    if (!r.message[0]) return;
    std::printf("%swhy: %s%s%s\n", indent, r.check, r.check[0] ? " check failed: " : "",
                printable(reason(font, r)).c_str());
}

void print_details(const fontseal_verify_report& r, const char* indent, bool asked) {
    if (r.signer_subject[0]) {
        std::printf("%ssigner: %s\n%sissuer: %s\n%sserial: %s\n", indent, r.signer_subject, indent,
                    r.signer_issuer, indent, r.signer_serial);
    }
    if (r.digest[0]) {
        std::printf("%sdigest: %s%s%s\n", indent, r.digest, r.layout[0] ? ", table order: " : "",
                    order_words(r));
        if (weak_digest(r)) std::printf("%snote: %s\n", indent, kWeakNote);
    }
    if (r.statement[0]) std::printf("%sstatement: %s\n", indent, r.statement);
    if (r.program_name[0]) std::printf("%sprogram: %s\n", indent, r.program_name);
    if (r.more_info_url[0]) std::printf("%smore info: %s\n", indent, r.more_info_url);
    if (r.timestamp_kind[0]) {
        std::printf("%stime stamp: %s (%s) by %s\n", indent,
                    r.timestamp_time ? utc_text(r.timestamp_time).c_str() : "time not given",
                    r.timestamp_kind, r.timestamp_signer);
    }
    if (r.result == FONTSEAL_OK) {
        std::printf("%schain: %s\n", indent,
                    r.chain_checked ? "checked against the given roots"
                                    : "not checked (no roots: --ca-file, --ca-path or "
                                      "--system-roots)");
    }
    if (show_revocation(r, asked) && std::strcmp(r.check, "revocation") != 0) {
        std::printf("%srevocation: %s%s%s\n", indent, r.revocation_status,
                    r.revocation_reason[0] ? ": " : "", r.revocation_reason);
    }
}

void print_text(const std::string& font, const fontseal_verify_report& r,
                const std::vector<fontseal_verify_report>& each, bool asked) {
    std::printf("%s: %s\n", printable(font).c_str(), status_of(r));
    if (r.member_count > 0) std::printf("  collection of %d fonts\n", r.member_count);
    if (std::strcmp(r.container, "woff") == 0) {
        std::printf("  WOFF 1.0: the font it decodes to was verified\n");
    }
    print_why(font, r, "  ");
    if (r.dsig_flags >= 0) {
        std::printf("  DSIG: %d signature(s), flags %d%s\n", r.signature_count, r.dsig_flags,
                    (r.dsig_flags & 1) ? " (cannot be resigned)" : "");
    }
    // One signature: its details are the font's. Several: each on its own.
    if (each.size() <= 1) {
        print_details(r, "  ", asked);
        return;
    }
    for (const fontseal_verify_report& s : each) {
        std::printf("  signature %d: %s\n", s.signature_number, status_of(s));
        print_why(font, s, "    ");
        print_details(s, "    ", asked);
    }
    if (r.signature_count > static_cast<int32_t>(each.size())) {
        std::printf("  (signatures %zu to %d not shown one by one)\n", each.size() + 1,
                    r.signature_count);
    }
}

// Verifies `font` as a whole (`signatureNumber` 0) or one of its signatures.
int32_t verify_one(const std::string& font, const VerifyArgs& args, int32_t signatureNumber,
                   fontseal_verify_report& report) {
    fontseal_verify_request request = FONTSEAL_VERIFY_REQUEST_INIT;
    request.font_path = font.c_str();
    request.ca_file = args.caFile.empty() ? nullptr : args.caFile.c_str();
    request.signature_number = signatureNumber;
    request.ca_path = args.caPath.empty() ? nullptr : args.caPath.c_str();
    request.system_roots = args.systemRoots;
    std::vector<const char*> untrusted, crls;
    for (const std::string& f : args.untrusted) untrusted.push_back(f.c_str());
    for (const std::string& f : args.crlFiles) crls.push_back(f.c_str());
    request.untrusted_files = untrusted.data();
    request.untrusted_count = static_cast<int32_t>(untrusted.size());
    request.crl_files = crls.data();
    request.crl_count = static_cast<int32_t>(crls.size());
    request.online = args.online;
    request.require_timestamp = args.requireTimestamp;
    request.require_chain = args.requireChain;
    request.require_revocation_check = args.requireRevocationCheck;
    request.min_digest = args.minDigest.empty() ? nullptr : args.minDigest.c_str();
    request.at_time = args.atTime;
    report = FONTSEAL_VERIFY_REPORT_INIT;
    return fontseal_verify(&request, &report);
}

}  // namespace

int run(const VerifyArgs& args) {
    nlohmann::json all = nlohmann::json::array();
    std::vector<Verified> verified;
    Counts counts;
    for (const std::string& font : args.fonts) {
        fontseal_verify_report report;
        const int32_t result = verify_one(font, args, 0, report);
        // The roots are read before any font: unusable ones are the
        // caller's mistake, the same for every font, and no verdict.
        if (result == FONTSEAL_E_CA_FILE) return usage_error("verify", printable(report.message));
        const bool failed =
            result != FONTSEAL_OK && !(result == FONTSEAL_E_UNSIGNED && args.allowUnsigned);
        counts.add(result, failed);
        if (!args.html.empty()) verified.push_back({font, report, failed});
        // The font's verdict needs every signature to hold; each one's own
        // verdict and details are shown beside it.
        std::vector<fontseal_verify_report> each;
        // (Not when the table itself failed: no signature was looked at.)
        // Each call reads the font again: a table of very many signatures
        // is judged whole, but only its first ones are shown.
        const int32_t shownCount = std::min(report.signature_count, kMaxShownSignatures);
        // One signature judged alone is the font judged: no second read.
        if (report.signature_count == 1 && report.signature_number == 1) each.push_back(report);
        for (int32_t n = 1;
             report.signature_number > 0 && n <= shownCount && report.signature_count > 1; ++n) {
            each.emplace_back();
            verify_one(font, args, n, each.back());
        }
        if (args.json) {
            all.push_back(as_json(font, report, each));
        } else {
            print_text(font, report, each, revocation_asked(args));
        }
    }
    // Text taken from a signature need not be valid UTF-8: replaced, never thrown.
    if (args.json) {
        std::printf("%s\n",
                    all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else if (counts.fonts > 1) {
        std::printf("%s\n", counts.text().c_str());
    }
    if (!args.html.empty()) {
        std::fflush(stdout);
        std::string error;
        // Checked again: the file may have appeared while the fonts were read.
        const std::string why = report_refusal(args.html, args.fonts);
        if (!why.empty())
            error = "--html " + printable(args.html) + ": " + why + "; nothing replaced";
        if (!why.empty() ||
            !write_atomically(args.html, html_page(verified, counts, args), error)) {
            std::fprintf(stderr, "fontseal verify: %s\n", error.c_str());
            return kExitFailed;
        }
    }
    return counts.failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace verify_cmd
}  // namespace fontseal_cli

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"

namespace fontseal_cli {

namespace {

const char kVerifyUsage[] =
    "Usage: fontseal verify [--ca-file FILE] [--json] [--allow-unsigned] FONT...\n"
    "\n"
    "Check each FONT's signature: the DSIG table, the PKCS#7 SignedData in it, the\n"
    "font digest it carries (the font laid out without DSIG, its data either in the\n"
    "recommended order or in the file's own order), the signer's signature and any\n"
    "time stamp on it.\n"
    "\n"
    "  --ca-file FILE     PEM root certificates: also check the signer's chain, at\n"
    "                     the time stamp's time when there is one, else now (a\n"
    "                     certificate that has expired since holds only when the\n"
    "                     time stamp's signer chains to these roots too);\n"
    "                     without it the chain is not checked\n"
    "  --json             print one JSON object per font, as a JSON array\n"
    "  --allow-unsigned   an unsigned font does not count as a failure\n"
    "\n"
    "A font with several signatures verifies only when every one of them does; each\n"
    "signature's verdict and details are shown on their own.\n"
    "\n"
    "Exit status: 0 every font verifies, 1 any does not (an unsigned font counts as\n"
    "not verified unless --allow-unsigned), 2 a usage error.\n";

// Signatures shown one by one, at most.
constexpr int32_t kMaxShownSignatures = 16;

struct VerifyArgs {
    std::string caFile;
    bool json = false;
    bool allowUnsigned = false;
    std::vector<std::string> fonts;
};

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

// What one signature says: its signer, digest, descriptions and time stamp.
void add_details(nlohmann::json& j, const fontseal_verify_report& r) {
    if (r.signer_subject[0]) {
        j["signer"] = {{"subject", r.signer_subject},
                       {"issuer", r.signer_issuer},
                       {"serial", r.signer_serial}};
    }
    if (r.digest[0]) j["digest"] = r.digest;
    if (r.statement[0]) j["statement"] = r.statement;
    if (r.program_name[0]) j["program_name"] = r.program_name;
    if (r.more_info_url[0]) j["more_info_url"] = r.more_info_url;
    if (r.layout[0]) j["layout"] = r.layout;
    if (r.timestamp_kind[0]) {
        j["timestamp"] = {{"kind", r.timestamp_kind},
                          {"time", r.timestamp_time},
                          {"utc", utc_text(r.timestamp_time)},
                          {"signer", r.timestamp_signer}};
    }
    j["chain_checked"] = r.chain_checked != 0;
}

// `each`: every signature judged on its own, in table order.
nlohmann::json as_json(const std::string& font, const fontseal_verify_report& r,
                       const std::vector<fontseal_verify_report>& each) {
    nlohmann::json j{{"font", font}, {"status", status_of(r)}, {"result", r.result}};
    if (r.message[0]) j["message"] = r.message;
    if (r.check[0]) j["failed_check"] = r.check;
    j["dsig_flags"] = r.dsig_flags;
    j["signatures"] = r.signature_count;
    if (r.signature_number > 0) j["signature_number"] = r.signature_number;
    add_details(j, r);
    if (!each.empty()) {
        nlohmann::json list = nlohmann::json::array();
        for (const fontseal_verify_report& s : each) {
            nlohmann::json one{
                {"number", s.signature_number}, {"status", status_of(s)}, {"result", s.result}};
            if (s.check[0]) one["failed_check"] = s.check;
            if (s.message[0]) one["message"] = s.message;
            add_details(one, s);
            list.push_back(std::move(one));
        }
        j["signature_details"] = std::move(list);
    }
    return j;
}

// `why` without the font's name, which the first line already gave.
void print_why(const std::string& font, const fontseal_verify_report& r, const char* indent) {
    if (!r.message[0]) return;
    std::string why = r.message;
    if (why.compare(0, font.size() + 2, font + ": ") == 0) why.erase(0, font.size() + 2);
    std::printf("%swhy: %s%s%s\n", indent, r.check, r.check[0] ? " check failed: " : "",
                why.c_str());
}

void print_details(const fontseal_verify_report& r, const char* indent) {
    if (r.signer_subject[0]) {
        std::printf("%ssigner: %s\n%sissuer: %s\n%sserial: %s\n", indent, r.signer_subject, indent,
                    r.signer_issuer, indent, r.signer_serial);
    }
    if (r.digest[0]) {
        std::printf("%sdigest: %s%s%s%s\n", indent, r.digest, r.layout[0] ? ", layout " : "",
                    r.layout, r.layout[0] && r.layout[0] == 'f' ? " (data in file order)" : "");
    }
    if (r.statement[0]) std::printf("%sstatement: %s\n", indent, r.statement);
    if (r.program_name[0] || r.more_info_url[0]) {
        std::printf("%sprogram: %s%s%s\n", indent, r.program_name,
                    r.program_name[0] && r.more_info_url[0] ? " " : "", r.more_info_url);
    }
    if (r.timestamp_kind[0]) {
        std::printf("%stime stamp: %s (%s) by %s\n", indent, utc_text(r.timestamp_time).c_str(),
                    r.timestamp_kind, r.timestamp_signer);
    }
    if (r.result == FONTSEAL_OK) {
        std::printf(
            "%schain: %s\n", indent,
            r.chain_checked ? "checked against the given roots" : "not checked (no --ca-file)");
    }
}

void print_text(const std::string& font, const fontseal_verify_report& r,
                const std::vector<fontseal_verify_report>& each) {
    std::printf("%s: %s\n", font.c_str(), status_of(r));
    print_why(font, r, "  ");
    if (r.dsig_flags >= 0) {
        std::printf("  DSIG: %d signature(s), flags %d%s\n", r.signature_count, r.dsig_flags,
                    (r.dsig_flags & 1) ? " (cannot be resigned)" : "");
    }
    // One signature: its details are the font's. Several: each on its own.
    if (each.size() <= 1) {
        print_details(r, "  ");
        return;
    }
    for (const fontseal_verify_report& s : each) {
        std::printf("  signature %d: %s\n", s.signature_number, status_of(s));
        print_why(font, s, "    ");
        print_details(s, "    ");
    }
    if (r.signature_count > static_cast<int32_t>(each.size())) {
        std::printf("  (signatures %zu to %d not shown one by one)\n", each.size() + 1,
                    r.signature_count);
    }
}

// Verifies `font` as a whole (`signatureNumber` 0) or one of its signatures.
int32_t verify_one(const std::string& font, const std::string& caFile, int32_t signatureNumber,
                   fontseal_verify_report& report) {
    fontseal_verify_request request{};
    request.size = sizeof request;
    request.font_path = font.c_str();
    request.ca_file = caFile.empty() ? nullptr : caFile.c_str();
    request.signature_number = signatureNumber;
    report = fontseal_verify_report{};
    report.size = sizeof report;
    return fontseal_verify(&request, &report);
}

int run(const VerifyArgs& args) {
    if (args.fonts.empty()) return usage_error("verify", "expected at least one FONT");
    if (!args.caFile.empty()) {
        std::FILE* roots = std::fopen(args.caFile.c_str(), "rb");
        if (!roots) return usage_error("verify", "cannot open --ca-file " + args.caFile);
        std::fclose(roots);
    }
    nlohmann::json all = nlohmann::json::array();
    bool allGood = true;
    for (const std::string& font : args.fonts) {
        fontseal_verify_report report;
        const int32_t result = verify_one(font, args.caFile, 0, report);
        if (result != FONTSEAL_OK && !(result == FONTSEAL_E_UNSIGNED && args.allowUnsigned)) {
            allGood = false;
        }
        // The font's verdict needs every signature to hold; each one's own
        // verdict and details are shown beside it.
        std::vector<fontseal_verify_report> each;
        // (Not when the table itself failed: no signature was looked at.)
        // Each call reads the font again: a table of very many signatures
        // is judged whole, but only its first ones are shown.
        const int32_t shown = std::min(report.signature_count, kMaxShownSignatures);
        for (int32_t n = 1; report.signature_number > 0 && n <= shown; ++n) {
            each.emplace_back();
            verify_one(font, args.caFile, n, each.back());
        }
        if (args.json) {
            all.push_back(as_json(font, report, each));
        } else {
            print_text(font, report, each);
        }
    }
    // Text taken from a signature need not be valid UTF-8: replaced, never thrown.
    if (args.json) {
        std::printf("%s\n",
                    all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    return allGood ? kExitOk : kExitFailed;
}

}  // namespace

Command verify_command() {
    return {"verify", "check the signatures of signed fonts", kVerifyUsage,
            [](CLI::App& app) -> std::function<int()> {
                auto args = std::make_shared<VerifyArgs>();
                app.add_option("--ca-file", args->caFile);
                app.add_flag("--json", args->json);
                app.add_flag("--allow-unsigned", args->allowUnsigned);
                app.add_option("fonts", args->fonts);
                return [args]() { return run(*args); };
            }};
}

}  // namespace fontseal_cli

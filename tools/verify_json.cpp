// SPDX-License-Identifier: Apache-2.0
// `fontseal verify --json`: one object per font, every key there for every
// font, null where there is no value.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "verify_parts.h"

namespace fontseal_cli {
namespace verify_cmd {

namespace {

nlohmann::json text_or_null(const char* text) {
    return text[0] ? nlohmann::json(text) : nlohmann::json(nullptr);
}

// Every check's outcome, in the order they run: "pass", "fail", "not
// checked" (not asked for, or not reached after an earlier failure) or
// "unknown", each with why.
nlohmann::json checks_of(const fontseal_verify_report& r) {
    static const char* const kOrder[] = {"table",     "signed-data", "digest",    "signature",
                                         "timestamp", "chain",       "revocation"};
    nlohmann::json checks = nlohmann::json::object();
    const bool judged =
        r.result == FONTSEAL_OK || (r.result == FONTSEAL_E_NOT_VERIFIED && r.check[0]);
    bool failedBefore = !judged;
    for (const char* name : kOrder) {
        nlohmann::json one;
        const std::string check = name;
        if (failedBefore) {
            one = {{"outcome", "not checked"},
                   {"reason", judged ? "an earlier check failed" : "no signature was checked"}};
        } else if (check == r.check) {
            one = {{"outcome", "fail"}, {"reason", text_or_null(r.message)}};
            failedBefore = true;
        } else if (check == "chain" && r.chain_status[0]) {
            one = {{"outcome", r.chain_status}, {"reason", text_or_null(r.chain_reason)}};
        } else if (check == "revocation" && r.revocation_status[0]) {
            one = {{"outcome", r.revocation_status}, {"reason", text_or_null(r.revocation_reason)}};
        } else if (check == "timestamp" && !r.timestamp_kind[0]) {
            one = {{"outcome", "not checked"}, {"reason", "the signature has no time stamp"}};
        } else {
            one = {{"outcome", "pass"}, {"reason", nullptr}};
        }
        checks[name] = std::move(one);
    }
    return checks;
}

// What one signature says: its signer, digest, descriptions and time stamp.
// Every key is there for every font; null where there is no value.
void add_details(nlohmann::json& j, const fontseal_verify_report& r) {
    j["signer"] = r.signer_subject[0] ? nlohmann::json{{"subject", r.signer_subject},
                                                       {"issuer", r.signer_issuer},
                                                       {"serial", r.signer_serial}}
                                      : nlohmann::json(nullptr);
    j["digest"] = text_or_null(r.digest);
    j["weak_digest"] = r.digest[0] ? nlohmann::json(weak_digest(r)) : nlohmann::json(nullptr);
    j["statement"] = text_or_null(r.statement);
    j["program_name"] = text_or_null(r.program_name);
    j["info_url"] = text_or_null(r.more_info_url);
    // The earlier name, kept for one release.
    j["more_info_url"] = j["info_url"];
    j["layout"] = text_or_null(r.layout);
    if (r.timestamp_kind[0]) {
        j["timestamp"] = {
            {"kind", r.timestamp_kind},
            {"time", r.timestamp_time ? nlohmann::json(r.timestamp_time) : nlohmann::json(nullptr)},
            {"utc", r.timestamp_time ? nlohmann::json(utc_text(r.timestamp_time))
                                     : nlohmann::json(nullptr)},
            {"signer", text_or_null(r.timestamp_signer)}};
    } else {
        j["timestamp"] = nullptr;
    }
    j["chain_checked"] = r.chain_checked != 0;
    j["checks"] = checks_of(r);
}

void add_verdict(nlohmann::json& j, const fontseal_verify_report& r) {
    j["status"] = status_of(r);
    j["valid"] = r.result == FONTSEAL_OK;
    j["result"] = r.result;
    j["message"] = text_or_null(r.message);
    j["failed_check"] = text_or_null(r.check);
}

}  // namespace

// `each`: every signature judged on its own, in table order.
nlohmann::json as_json(const std::string& font, const fontseal_verify_report& r,
                       const std::vector<fontseal_verify_report>& each) {
    nlohmann::json j{{"font", font}};
    add_verdict(j, r);
    j["dsig_flags"] = r.dsig_flags >= 0 ? nlohmann::json(r.dsig_flags) : nlohmann::json(nullptr);
    j["signatures"] = r.signature_count;
    j["members"] = r.member_count > 0 ? nlohmann::json(r.member_count) : nlohmann::json(nullptr);
    j["signature_number"] =
        r.signature_number > 0 ? nlohmann::json(r.signature_number) : nlohmann::json(nullptr);
    j["container"] = r.container[0] ? nlohmann::json(r.container) : nlohmann::json(nullptr);
    add_details(j, r);
    nlohmann::json list = nlohmann::json::array();
    for (const fontseal_verify_report& s : each) {
        nlohmann::json one{{"number", s.signature_number}};
        add_verdict(one, s);
        add_details(one, s);
        list.push_back(std::move(one));
    }
    j["signature_details"] = std::move(list);
    return j;
}

}  // namespace verify_cmd
}  // namespace fontseal_cli

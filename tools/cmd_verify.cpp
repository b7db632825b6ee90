// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "printable.h"

namespace fontseal_cli {

namespace {

const char kVerifyUsage[] =
    "Usage: fontseal verify [--ca-file FILE] [--ca-path DIR] [--system-roots]\n"
    "                       [--untrusted FILE]... [--crl-file FILE]... [--online]\n"
    "                       [--require-timestamp] [--require-chain]\n"
    "                       [--require-revocation-check] [--min-digest NAME] [--at TIME]\n"
    "                       [--json] [--html REPORT] [--allow-unsigned] FONT...\n"
    "\n"
    "Check each FONT's signature: the DSIG table, the PKCS#7 SignedData in it, the\n"
    "font digest it carries (the font laid out without DSIG, its data either in\n"
    "fontseal's table order or in the file's own order, its table directory as\n"
    "signed), the signer's signature and any time stamp on it. Several fonts end\n"
    "with a count, \"25 fonts: 22 valid, 3 failed\" (not with --json).\n"
    "\n"
    "  --ca-file FILE     PEM root certificates, and any intermediate CA\n"
    "                     certificates under them: also check the signer's chain,\n"
    "                     at the time stamp's time when there is one, else now (a\n"
    "                     certificate that has expired since holds only when the\n"
    "                     time stamp's signer chains to these roots too); without\n"
    "                     it the chain is not checked. A FILE that cannot be read\n"
    "                     or holds no certificate is a usage error\n"
    "  --ca-path DIR      roots in an OpenSSL hashed directory (c_rehash)\n"
    "  --system-roots     the system's root list (/etc/ssl/certs/ca-certificates.crt):\n"
    "                     roots trusted for TLS, not chosen for code signing\n"
    "  --untrusted FILE   intermediates the signature does not carry (PEM, DER or\n"
    "                     PKCS#7); may be repeated\n"
    "  --crl-file FILE    CRLs (PEM or DER) to look the chain's certificates up in;\n"
    "                     may be repeated\n"
    "  --online           fetch missing intermediates (the certificate's issuer URL),\n"
    "                     CRLs (its distribution points) and OCSP answers (its\n"
    "                     responder); each fetch at most 10 s to connect, 30 s in\n"
    "                     all, 1 MiB\n"
    "  --require-timestamp        a signature without a time stamp fails\n"
    "  --require-chain            fail unless the chain was checked and holds\n"
    "  --require-revocation-check fail unless revocation was checked (an\n"
    "                     unreachable responder then fails instead of \"unknown\")\n"
    "  --min-digest NAME  the weakest font digest accepted (sha256: MD5 and SHA-1 fail)\n"
    "  --at TIME          judge at TIME (YYYY-MM-DD[THH:MM[:SS]] UTC, or @SECONDS)\n"
    "                     instead of now\n"
    "  --json             print one JSON object per font, as a JSON array (null\n"
    "                     where there is no value)\n"
    "  --html REPORT      also write REPORT, a self-contained HTML page with a row\n"
    "                     per font, failed fonts first. REPORT must be a new file\n"
    "                     or a page fontseal wrote before: never a font, a\n"
    "                     directory, a device or a FIFO\n"
    "  --allow-unsigned   an unsigned font does not count as a failure\n"
    "\n"
    "A font with several signatures verifies only when every one of them does; each\n"
    "signature's verdict and details are shown on their own. An MD5 or SHA-1\n"
    "signature is valid, with a note that its digest is weak.\n"
    "\n"
    "Revocation: a certificate revoked before the time stamp's time (without a time\n"
    "stamp: before now) fails; one revoked after the time of a time stamp whose\n"
    "signer chains to the roots still verifies, unless for keyCompromise or\n"
    "cACompromise. A source that cannot answer leaves revocation \"unknown\" and\n"
    "the verdict as it is.\n"
    "\n"
    "A WOFF 1.0 font is verified as the font it decodes to; WOFF2 cannot carry a\n"
    "signature (its encoder rebuilds tables).\n"
    "\n"
    "Exit status: 0 every font verifies, 1 any does not (an unsigned font counts as\n"
    "not verified unless --allow-unsigned) or REPORT cannot be written, 2 a usage\n"
    "error (an unusable --ca-file or REPORT among them).\n";

// Signatures shown one by one, at most.
constexpr int32_t kMaxShownSignatures = 16;

// What every page we write carries, so that a later run knows the file at
// REPORT as one of ours and may replace it.
const char kGeneratorTag[] = "<meta name=\"generator\" content=\"fontseal verify\">";

struct VerifyArgs {
    std::string caFile;
    std::string caPath;
    bool systemRoots = false;
    std::vector<std::string> untrusted, crlFiles;
    bool online = false, requireTimestamp = false, requireChain = false,
         requireRevocationCheck = false;
    std::string minDigest, at;
    int64_t atTime = 0;
    bool json = false;
    std::string html;
    bool allowUnsigned = false;
    std::vector<std::string> fonts;
};

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

const char kWeakNote[] =
    "weak digest: collisions can be made for it; sign again with SHA-256 or stronger";

// The table order the digest matched, in words.
const char* order_words(const fontseal_verify_report& r) {
    if (std::strcmp(r.layout, "writer") == 0) return "fontseal's";
    if (std::strcmp(r.layout, "file") == 0) return "the file's own";
    return r.layout;
}

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
            one = {{"outcome", r.revocation_status},
                   {"reason", text_or_null(r.revocation_reason)}};
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

// The report's message without the font's name, which every line or row
// showing it already carries.
std::string reason(const std::string& font, const fontseal_verify_report& r) {
    std::string why = r.message;
    if (why.compare(0, font.size() + 2, font + ": ") == 0) why.erase(0, font.size() + 2);
    return why;
}

void print_why(const std::string& font, const fontseal_verify_report& r, const char* indent) {
    if (!r.message[0]) return;
    std::printf("%swhy: %s%s%s\n", indent, r.check, r.check[0] ? " check failed: " : "",
                printable(reason(font, r)).c_str());
}

// Revocation is shown where it was asked for, or where it failed.
bool show_revocation(const fontseal_verify_report& r, bool asked) {
    return r.revocation_status[0] &&
           ((asked && r.result == FONTSEAL_OK) || std::strcmp(r.check, "revocation") == 0);
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

struct Verified {
    std::string font;
    fontseal_verify_report report;
    bool failed;  // counts against the exit status
};

// The verdicts of a run, counted.
struct Counts {
    size_t fonts = 0, valid = 0, failed = 0, unsignedAllowed = 0;
    void add(int32_t result, bool failedFont) {
        ++fonts;
        if (result == FONTSEAL_OK) ++valid;
        if (failedFont) ++failed;
        if (result == FONTSEAL_E_UNSIGNED && !failedFont) ++unsignedAllowed;
    }
    std::string text() const {
        std::string line = std::to_string(fonts) + (fonts == 1 ? " font: " : " fonts: ") +
                           std::to_string(valid) + " valid, " + std::to_string(failed) + " failed";
        if (unsignedAllowed) line += ", " + std::to_string(unsignedAllowed) + " unsigned (allowed)";
        return line;
    }
};

// Text for an HTML page: invalid UTF-8 (a file name, or text taken from a
// signature) becomes U+FFFD, and every character that could end an element
// or an attribute is escaped, whatever the names and certificates hold.
std::string html_text(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80             ? 1
                        : (c & 0xE0) == 0xC0 ? 2
                        : (c & 0xF0) == 0xE0 ? 3
                        : (c & 0xF8) == 0xF0 ? 4
                                             : 0;
        // Overlong forms and surrogates are no text either.
        if ((length == 2 && c < 0xC2) || (length == 4 && c > 0xF4)) length = 0;
        for (size_t k = 1; k < length; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                length = 0;
        }
        if (length == 3) {
            const unsigned char d = static_cast<unsigned char>(text[i + 1]);
            if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0)) length = 0;
        } else if (length == 4) {
            const unsigned char d = static_cast<unsigned char>(text[i + 1]);
            if ((c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90)) length = 0;
        }
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

// A file name that wraps only after a '/', never inside a name.
std::string html_path(const std::string& path) {
    std::string out;
    size_t from = 0;
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', from)) {
        out += html_text(path.substr(from, slash + 1 - from)) + "<wbr>";
        from = slash + 1;
    }
    return out + html_text(path.substr(from));
}

// The values of `type` (such as "CN") in an RFC 2253 name as the library
// writes it, unescaped; empty when it has none.
std::string dn_value(const std::string& dn, const std::string& type) {
    std::vector<std::pair<std::string, std::string>> parts;
    std::string key, value;
    bool inValue = false;
    auto hex = [](char c) {
        return c >= '0' && c <= '9'                     ? c - '0'
               : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                        : -1;
    };
    for (size_t i = 0; i <= dn.size(); ++i) {
        const char c = i < dn.size() ? dn[i] : ',';
        if (c == '\\' && i + 1 < dn.size()) {
            const int hi = hex(dn[i + 1]), lo = i + 2 < dn.size() ? hex(dn[i + 2]) : -1;
            if (hi >= 0 && lo >= 0) {
                value += static_cast<char>(hi * 16 + lo);
                i += 2;
            } else {
                value += dn[++i];
            }
        } else if ((c == ',' || c == '+') && inValue) {
            parts.emplace_back(key, value);
            key.clear();
            value.clear();
            inValue = false;
        } else if (c == '=' && !inValue) {
            inValue = true;
        } else if (inValue) {
            value += c;
        } else {
            key += c;
        }
    }
    for (const auto& part : parts) {
        if (part.first == type) return part.second;
    }
    return "";
}

// The signer as a person reads it, its common name and organisation, with
// the whole distinguished name on hover.
std::string html_signer(const std::string& dn) {
    const std::string cn = dn_value(dn, "CN"), o = dn_value(dn, "O");
    std::string name = cn.empty() ? o : o.empty() || o == cn ? cn : cn + ", " + o;
    if (name.empty()) name = dn;
    return "<span class=\"dn\" title=\"" + html_text(dn) + "\">" + html_text(name) + "</span>";
}

// The checks a font can fail, in words.
const char* check_words(const std::string& check) {
    if (check == "table") return "DSIG table";
    if (check == "signed-data") return "signature data";
    if (check == "digest") return "font digest";
    if (check == "signature") return "signer's signature";
    if (check == "timestamp") return "time stamp";
    if (check == "chain") return "certificate chain";
    return nullptr;
}

const char kHtmlStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#111;background:#fff}"
    "h1{font-size:1.3em}"
    "p.banner{font-size:1.15em;padding:.5em .7em;border:1px solid #ccc;background:#f6f6f6}"
    "p.banner.failed{border-color:#b00;background:#fff2f2}"
    ".count{font-weight:bold;margin-right:1em}"
    ".count.failed{color:#b00}.count.valid{color:#070}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{border:1px solid #ccc;padding:.3em .5em;text-align:left;vertical-align:top}"
    "th{background:#eee}"
    "td.font{font-family:monospace;word-break:normal;overflow-wrap:normal;hyphens:none}"
    "small{color:#555}"
    ".dn{border-bottom:1px dotted #777}"
    "tr.valid td.verdict{color:#070;font-weight:bold}"
    "tr.failed{background:#fff2f2}"
    "tr.failed td.verdict,tr.failed td.why,.check{color:#b00;font-weight:bold}";

std::string html_row(const Verified& v, bool asked) {
    const fontseal_verify_report& r = v.report;
    std::string row = "<tr class=\"" + std::string(status_of(r)) + (v.failed ? " failed" : "") +
                      "\"><td class=\"font\">" + html_path(v.font) + "</td><td class=\"verdict\">" +
                      status_of(r);
    if (r.member_count > 0)
        row += "<br><small>collection of " + std::to_string(r.member_count) + " fonts</small>";
    if (std::strcmp(r.container, "woff") == 0) row += "<br><small>WOFF 1.0, decoded</small>";
    if (r.result == FONTSEAL_OK)
        row += r.chain_checked ? "<br><small>chain checked</small>"
                               : "<br><small>chain not checked</small>";
    if (show_revocation(r, asked) && std::strcmp(r.check, "revocation") != 0) {
        row += "<br><small class=\"revocation\">revocation " + html_text(r.revocation_status) +
               (r.revocation_reason[0] ? ": " + html_text(r.revocation_reason) : "") + "</small>";
    }
    row += "</td><td class=\"signer\">";
    if (r.signer_subject[0]) {
        row += html_signer(r.signer_subject) + "<br><small>issued by " +
               html_signer(r.signer_issuer) + "<br>serial: " + html_text(r.signer_serial) +
               "</small>";
    }
    row += "</td><td class=\"digest\">" + html_text(r.digest);
    if (r.digest[0] && weak_digest(r)) row += "<br><small>weak digest</small>";
    if (r.statement[0]) row += "<br><small>" + html_text(r.statement) + "</small>";
    row += "</td><td class=\"timestamp\">";
    if (r.timestamp_kind[0]) {
        row += (r.timestamp_time ? html_text(utc_text(r.timestamp_time)) : "time not given") +
               "<br><small>" + html_text(r.timestamp_kind) + ", by " +
               html_signer(r.timestamp_signer) + "</small>";
    } else {
        row += "none";
    }
    row += "</td><td class=\"order\">" + html_text(order_words(r)) + "</td><td class=\"why\">";
    if (r.check[0]) {
        const char* words = check_words(r.check);
        row += "<span class=\"check\">" + html_text(words ? words : r.check) +
               "</span> check failed: ";
    }
    row += html_text(reason(v.font, r)) + "</td></tr>\n";
    return row;
}

std::string roots_text(const VerifyArgs& args) {
    std::string text = args.caFile;
    if (!args.caPath.empty()) text += (text.empty() ? "" : ", ") + args.caPath;
    if (args.systemRoots)
        text += (text.empty() ? "" : ", ") + std::string("the system's TLS roots");
    return text;
}

// One page holding everything it shows: no scripts, no style sheets or fonts
// from elsewhere, and a policy that would refuse them were any to appear.
// Failed fonts come first, each group in the order the fonts were given.
std::string html_page(const std::vector<Verified>& all, const Counts& counts,
                      const VerifyArgs& args) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">\n";
    page += kGeneratorTag;
    page += "\n<title>fontseal verify report</title>\n<style>";
    page += kHtmlStyle;
    page += "</style></head>\n<body>\n<h1>fontseal verify report</h1>\n<p class=\"banner";
    page += counts.failed ? " failed" : " valid";
    page += "\">" + std::to_string(counts.fonts) + (counts.fonts == 1 ? " font: " : " fonts: ") +
            "<span class=\"count failed\">" + std::to_string(counts.failed) +
            " failed</span>, <span class=\"count valid\">" + std::to_string(counts.valid) +
            " valid</span>";
    if (counts.unsignedAllowed) {
        page += ", <span class=\"count unsigned\">" + std::to_string(counts.unsignedAllowed) +
                " unsigned (allowed)</span>";
    }
    page += "</p>\n<p class=\"summary\">Made " +
            html_text(utc_text(static_cast<int64_t>(std::time(nullptr)))) + "; chains " +
            (args.caFile.empty() && args.caPath.empty() && !args.systemRoots
                 ? std::string("not checked (no roots given)")
                 : "checked against " + html_text(roots_text(args))) +
            ".</p>\n<table>\n<thead><tr><th>Font</th><th>Verdict</th><th>Signer</th>"
            "<th>Digest</th><th>Time stamp</th><th>Table order</th><th>Failed check</th></tr>"
            "</thead>\n<tbody>\n";
    for (const bool failedGroup : {true, false}) {
        for (const Verified& v : all) {
            if (v.failed == failedGroup) page += html_row(v, revocation_asked(args));
        }
    }
    page += "</tbody>\n</table>\n</body></html>\n";
    return page;
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Why `path` may not take the report, or empty when it may: it must not
// be one of the fonts, and it must not exist unless it is a regular file
// holding a page an earlier run wrote. A glob such as `--html *.ttf` would
// otherwise name a font as the report and lose it; a device or a FIFO would
// be replaced by a regular file.
std::string report_refusal(const std::string& path, const std::vector<std::string>& fonts) {
    struct stat report;
    if (::lstat(path.c_str(), &report) != 0) {
        if (errno == ENOENT) {
            for (const std::string& font : fonts) {
                if (font == path) return "it is one of the fonts to verify";
            }
            return "";
        }
        return std::strerror(errno);
    }
    if (S_ISDIR(report.st_mode)) return "it is a directory";
    if (S_ISLNK(report.st_mode)) return "it is a symbolic link";
    if (!S_ISREG(report.st_mode)) return "it is not a regular file (a device, FIFO or socket)";
    for (const std::string& font : fonts) {
        struct stat st;
        if (font == path || (::stat(font.c_str(), &st) == 0 && st.st_dev == report.st_dev &&
                             st.st_ino == report.st_ino))
            return "it is one of the fonts to verify";
    }
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    char head[2048];
    ssize_t n = file.fd < 0 ? -1 : ::read(file.fd, head, sizeof head);
    if (n < 0) return std::strerror(errno);
    if (std::string(head, static_cast<size_t>(n)).find(kGeneratorTag) == std::string::npos)
        return "it exists and is not a report fontseal wrote";
    return "";
}

// Writes `content` to `path` through a temporary file beside it, renamed into
// place only once complete: a reader never sees half a page, and a failed
// run leaves the previous page as it was.
bool write_atomically(const std::string& path, const std::string& content, std::string& error) {
    const auto slash = path.find_last_of('/');
    std::string temporary =
        (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
        ".fontseal-report-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    FileDescriptor file{::mkstemp(name.data())};
    if (file.fd < 0) {
        error = "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    temporary = name.data();
    struct Remover {
        const std::string& path;
        bool keep = false;
        ~Remover() {
            if (!keep) ::unlink(path.c_str());
        }
    } remover{temporary};
    // The page gets the mode a new file would (mkstemp's is 0600), or keeps
    // the one of the page it replaces.
    struct stat old;
    mode_t mode;
    if (::stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(file.fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    if (::fchmod(file.fd, mode) != 0 || ::fsync(file.fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const int closed = ::close(file.fd);
    file.fd = -1;
    if (closed != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    remover.keep = true;
    return true;
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

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS][Z]" (UTC) or "@SECONDS"; 0 when not a time.
int64_t parse_time(const std::string& text) {
    if (!text.empty() && text[0] == '@') {
        char* end = nullptr;
        const long long n = std::strtoll(text.c_str() + 1, &end, 10);
        return end && *end == '\0' && n > 0 ? static_cast<int64_t>(n) : 0;
    }
    std::tm parts{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, used = 0;
    const int got = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used);
    if (got != 3) return 0;
    size_t at = static_cast<size_t>(used);
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        int more = 0;
        if (std::sscanf(text.c_str() + at + 1, "%2d:%2d%n", &h, &mi, &more) != 2) return 0;
        at += 1 + static_cast<size_t>(more);
        if (at < text.size() && text[at] == ':') {
            if (std::sscanf(text.c_str() + at + 1, "%2d%n", &sec, &more) != 1) return 0;
            at += 1 + static_cast<size_t>(more);
        }
    }
    if (at < text.size() && text[at] == 'Z') ++at;
    if (at != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        sec > 60) {
        return 0;
    }
    parts.tm_year = y - 1900;
    parts.tm_mon = mo - 1;
    parts.tm_mday = d;
    parts.tm_hour = h;
    parts.tm_min = mi;
    parts.tm_sec = sec;
    const int64_t t = static_cast<int64_t>(timegm(&parts));
    return t > 0 ? t : 0;
}

// Whether `path` is a regular file this user may read; asked without
// opening it, so that a FIFO named by mistake cannot hold the command.
bool readable(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), R_OK) == 0;
}

int run(VerifyArgs& args) {
    if (args.fonts.empty()) return usage_error("verify", "expected at least one FONT");
    if (!args.html.empty()) {
        const std::string why = report_refusal(args.html, args.fonts);
        if (!why.empty()) {
            return usage_error("verify", "--html " + printable(args.html) + ": " + why +
                                             "; nothing replaced (name a new file, e.g. "
                                             "--html report.html, before the fonts)");
        }
    }
    struct stat dir;
    if (!args.caPath.empty() && (::stat(args.caPath.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode))) {
        return usage_error("verify", "--ca-path " + args.caPath + " is not a directory");
    }
    for (const std::string& f : args.untrusted) {
        if (!readable(f)) return usage_error("verify", "cannot open --untrusted " + f);
    }
    for (const std::string& f : args.crlFiles) {
        if (!readable(f)) return usage_error("verify", "cannot open --crl-file " + f);
    }
    if (!args.minDigest.empty()) {
        static const char* const kNames[] = {"md5", "sha1", "sha256", "sha384", "sha512"};
        std::string key;
        for (char c : args.minDigest) {
            if (c != '-') key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (std::find(std::begin(kNames), std::end(kNames), key) == std::end(kNames)) {
            return usage_error("verify", "--min-digest " + args.minDigest +
                                             ": expected md5, sha1, sha256, sha384 or sha512");
        }
    }
    if (!args.at.empty()) {
        args.atTime = parse_time(args.at);
        if (args.atTime == 0) {
            return usage_error(
                "verify",
                "--at " + args.at + ": expected YYYY-MM-DD[THH:MM[:SS]] (UTC) or @SECONDS");
        }
    }
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
        for (int32_t n = 1; report.signature_number > 0 && n <= shownCount && report.signature_count > 1;
             ++n) {
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
        if (!why.empty()) error = "--html " + printable(args.html) + ": " + why + "; nothing replaced";
        if (!why.empty() ||
            !write_atomically(args.html, html_page(verified, counts, args), error)) {
            std::fprintf(stderr, "fontseal verify: %s\n", error.c_str());
            return kExitFailed;
        }
    }
    return counts.failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace

Command verify_command() {
    return {"verify", "check the signatures of signed fonts", kVerifyUsage,
            [](CLI::App& app) -> std::function<int()> {
                auto args = std::make_shared<VerifyArgs>();
                CLI::Option* caFile = app.add_option("--ca-file", args->caFile);
                app.add_option("--ca-path", args->caPath);
                app.add_flag("--system-roots", args->systemRoots);
                app.add_option("--untrusted", args->untrusted)->allow_extra_args(false);
                app.add_option("--crl-file", args->crlFiles)->allow_extra_args(false);
                app.add_flag("--online", args->online);
                app.add_flag("--require-timestamp", args->requireTimestamp);
                app.add_flag("--require-chain", args->requireChain);
                app.add_flag("--require-revocation-check", args->requireRevocationCheck);
                app.add_option("--min-digest", args->minDigest);
                app.add_option("--at", args->at);
                app.add_flag("--json", args->json);
                CLI::Option* html = app.add_option("--html", args->html);
                app.add_flag("--allow-unsigned", args->allowUnsigned);
                app.add_option("fonts", args->fonts);
                return [args, caFile, html]() {
                    // An empty name (an unset variable in a script) would
                    // otherwise quietly skip the chain or the page.
                    for (const CLI::Option* named : {caFile, html}) {
                        if (named->count() > 0 && named->as<std::string>().empty())
                            return usage_error("verify", named->get_name() + " needs a file name");
                    }
                    return run(*args);
                };
            }};
}

}  // namespace fontseal_cli

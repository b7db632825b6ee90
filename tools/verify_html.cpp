// SPDX-License-Identifier: Apache-2.0
// `fontseal verify --html`: the page of a run, a row per font, everything it
// shows escaped and held in the page itself.
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "verify_parts.h"

namespace fontseal_cli {
namespace verify_cmd {

namespace {

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

}  // namespace

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

}  // namespace verify_cmd
}  // namespace fontseal_cli

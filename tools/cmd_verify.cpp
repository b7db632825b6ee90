#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
    "Usage: fontseal verify [--ca-file FILE] [--json] [--html REPORT] [--allow-unsigned]\n"
    "                       FONT...\n"
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
    "  --html REPORT      also write REPORT, a self-contained HTML page with a row\n"
    "                     per font: verdict, signer, digest, time stamp, layout\n"
    "  --allow-unsigned   an unsigned font does not count as a failure\n"
    "\n"
    "A font with several signatures verifies only when every one of them does; each\n"
    "signature's verdict and details are shown on their own.\n"
    "\n"
    "Exit status: 0 every font verifies, 1 any does not (an unsigned font counts as\n"
    "not verified unless --allow-unsigned) or REPORT cannot be written, 2 a usage\n"
    "error.\n";

// Signatures shown one by one, at most.
constexpr int32_t kMaxShownSignatures = 16;

struct VerifyArgs {
    std::string caFile;
    bool json = false;
    std::string html;
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
                reason(font, r).c_str());
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

struct Verified {
    std::string font;
    fontseal_verify_report report;
    bool failed;  // counts against the exit status
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

const char kHtmlStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#111;background:#fff}"
    "h1{font-size:1.3em}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{border:1px solid #ccc;padding:.3em .5em;text-align:left;vertical-align:top}"
    "th{background:#eee}"
    "td.font{font-family:monospace;word-break:break-all}"
    "small{color:#555}"
    "tr.valid td.verdict{color:#070;font-weight:bold}"
    "tr.failed{background:#fff2f2}"
    "tr.failed td.verdict,tr.failed td.why,.check{color:#b00;font-weight:bold}";

std::string html_row(const Verified& v) {
    const fontseal_verify_report& r = v.report;
    std::string row = "<tr class=\"" + std::string(status_of(r)) + (v.failed ? " failed" : "") +
                      "\"><td class=\"font\">" + html_text(v.font) + "</td><td class=\"verdict\">" +
                      status_of(r);
    if (r.result == FONTSEAL_OK)
        row += r.chain_checked ? "<br><small>chain checked</small>"
                               : "<br><small>chain not checked</small>";
    row += "</td><td class=\"signer\">";
    if (r.signer_subject[0]) {
        row += html_text(r.signer_subject) + "<br><small>issuer: " + html_text(r.signer_issuer) +
               "<br>serial: " + html_text(r.signer_serial) + "</small>";
    }
    row += "</td><td class=\"digest\">" + html_text(r.digest);
    if (r.statement[0]) row += "<br><small>" + html_text(r.statement) + "</small>";
    row += "</td><td class=\"timestamp\">";
    if (r.timestamp_kind[0]) {
        row += html_text(utc_text(r.timestamp_time)) + "<br><small>" + html_text(r.timestamp_kind) +
               ", by " + html_text(r.timestamp_signer) + "</small>";
    }
    row += "</td><td class=\"layout\">" + html_text(r.layout) + "</td><td class=\"why\">";
    if (r.check[0]) row += "<span class=\"check\">" + html_text(r.check) + "</span> check failed: ";
    row += html_text(reason(v.font, r)) + "</td></tr>\n";
    return row;
}

// One page holding everything it shows: no scripts, no style sheets or fonts
// from elsewhere, and a policy that would refuse them were any to appear.
std::string html_page(const std::vector<Verified>& all, const VerifyArgs& args) {
    size_t valid = 0, failed = 0;
    for (const Verified& v : all) {
        if (v.report.result == FONTSEAL_OK) ++valid;
        if (v.failed) ++failed;
    }
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">\n"
        "<title>fontseal verify report</title>\n<style>";
    page += kHtmlStyle;
    page += "</style></head>\n<body>\n<h1>fontseal verify report</h1>\n<p class=\"summary\">";
    page += std::to_string(all.size()) + " font(s): " + std::to_string(valid) + " valid, " +
            std::to_string(failed) + " failed. Made " +
            html_text(utc_text(static_cast<int64_t>(std::time(nullptr)))) + "; chains " +
            (args.caFile.empty() ? std::string("not checked (no --ca-file)")
                                 : "checked against " + html_text(args.caFile)) +
            ".</p>\n<table>\n<thead><tr><th>Font</th><th>Verdict</th><th>Signer</th>"
            "<th>Digest</th><th>Time stamp</th><th>Layout</th><th>Failed check</th></tr></thead>\n"
            "<tbody>\n";
    for (const Verified& v : all) page += html_row(v);
    page += "</tbody>\n</table>\n</body></html>\n";
    return page;
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

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
        // Opened without waiting, as the library reads it: a FIFO given as
        // the roots must not stall the run.
        const int roots = ::open(args.caFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        const bool regular = roots >= 0 && ::fstat(roots, &st) == 0 && S_ISREG(st.st_mode);
        const int reason = roots < 0 ? errno : 0;
        if (roots >= 0) ::close(roots);
        if (!regular)
            return usage_error("verify",
                               "cannot open --ca-file " + args.caFile + ": " +
                                   (reason ? std::strerror(reason) : "it is not a regular file"));
    }
    nlohmann::json all = nlohmann::json::array();
    std::vector<Verified> verified;
    bool allGood = true;
    for (const std::string& font : args.fonts) {
        fontseal_verify_report report;
        const int32_t result = verify_one(font, args.caFile, 0, report);
        const bool failed =
            result != FONTSEAL_OK && !(result == FONTSEAL_E_UNSIGNED && args.allowUnsigned);
        if (failed) allGood = false;
        if (!args.html.empty()) verified.push_back({font, report, failed});
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
    if (!args.html.empty()) {
        std::fflush(stdout);
        std::string error;
        if (!write_atomically(args.html, html_page(verified, args), error)) {
            std::fprintf(stderr, "fontseal verify: %s\n", error.c_str());
            return kExitFailed;
        }
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
                app.add_option("--html", args->html);
                app.add_flag("--allow-unsigned", args->allowUnsigned);
                app.add_option("fonts", args->fonts);
                return [args]() { return run(*args); };
            }};
}

}  // namespace fontseal_cli

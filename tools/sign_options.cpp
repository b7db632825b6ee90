// SPDX-License-Identifier: Apache-2.0
// `fontseal sign`'s option values: names, time-stamp servers and texts
// checked with messages of ours before anything is read.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "commands.h"
#include "sign_parts.h"

namespace fontseal_cli {
namespace sign_cmd {

// The time-stamp servers in the order the options came on the command line:
// the parser keeps each option's values apart, but records the order in
// which it met them.
void collect_timestamp_servers(const CLI::App& app, SignArgs& args) {
    const CLI::Option* counter = app.get_option("--timestamp");
    const CLI::Option* rfc3161 = app.get_option("--timestamp-rfc3161");
    size_t nextCounter = 0, nextRfc3161 = 0;
    args.timestampServers.clear();
    for (const CLI::Option* option : app.parse_order()) {
        if (option == counter && nextCounter < args.counterSignatureUrls.size())
            args.timestampServers.push_back({args.counterSignatureUrls[nextCounter++].c_str(),
                                             FONTSEAL_TIMESTAMP_COUNTER_SIGNATURE});
        else if (option == rfc3161 && nextRfc3161 < args.rfc3161Urls.size())
            args.timestampServers.push_back(
                {args.rfc3161Urls[nextRfc3161++].c_str(), FONTSEAL_TIMESTAMP_RFC3161});
    }
}

std::string server_list(const SignArgs& args) {
    std::string text;
    for (const fontseal_timestamp_server& server : args.timestampServers) {
        if (!text.empty()) text += ", ";
        text += server.url;
    }
    return text;
}

namespace {

struct Named {
    const char* name;
    int32_t value;
};

const Named kDigests[] = {{"sha256", FONTSEAL_HASH_SHA256},
                          {"sha384", FONTSEAL_HASH_SHA384},
                          {"sha512", FONTSEAL_HASH_SHA512},
                          {"sha1", FONTSEAL_HASH_SHA1},
                          {"md5", FONTSEAL_HASH_MD5}};
const Named kStatements[] = {{"auto", FONTSEAL_STATEMENT_AUTO},
                             {"individual", FONTSEAL_STATEMENT_INDIVIDUAL},
                             {"commercial", FONTSEAL_STATEMENT_COMMERCIAL}};

// The value named `text` (in any case); only names count, not the numbers
// they stand for.
template <size_t N>
bool look_up(const Named (&table)[N], const std::string& text, int32_t& value) {
    for (const Named& entry : table) {
        if (strcasecmp(entry.name, text.c_str()) == 0) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

template <size_t N>
std::string names_of(const Named (&table)[N]) {
    std::string text;
    for (const Named& entry : table) text += (text.empty() ? "" : ", ") + std::string(entry.name);
    return text;
}

template <size_t N>
const char* name_of(const Named (&table)[N], int32_t value) {
    for (const Named& entry : table)
        if (entry.value == value) return entry.name;
    return "?";
}

bool valid_utf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80             ? 0
                    : (c & 0xE0) == 0xC0 ? 1
                    : (c & 0xF0) == 0xE0 ? 2
                    : (c & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= text.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

// Why a time-stamp URL cannot be asked, in the library's words (which
// refuses the same URLs for every caller); empty when it can.
std::string timestamp_url_fault(const std::string& url) {
    static const char kWrite[] = ": write http://HOST/PATH or https://HOST/PATH";
    const size_t colon = url.find(':');
    std::string scheme = colon == std::string::npos ? "" : url.substr(0, colon);
    const bool named =
        !scheme.empty() && std::isalpha(static_cast<unsigned char>(scheme[0])) &&
        std::all_of(scheme.begin(), scheme.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        });
    // "host:8080/ts" names a host and port, not a scheme.
    const size_t digitsEnd = url.find_first_not_of("0123456789", colon + 1);
    const bool portAfterHost =
        named && digitsEnd != colon + 1 &&
        (digitsEnd == std::string::npos || std::strchr("/\\?", url[digitsEnd]) != nullptr);
    if (!named || portAfterHost) return std::string("it has no scheme") + kWrite;
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https")
        return "its scheme " + url.substr(0, colon) + ": is not http: or https:";
    const std::string rest = url.substr(colon + 1);
    const size_t hostEnd = rest.find_first_of("/\\?#", 2);
    const std::string host =
        rest.size() > 2 && (rest[0] == '/' || rest[0] == '\\') && rest[1] == rest[0]
            ? rest.substr(2, hostEnd == std::string::npos ? std::string::npos : hostEnd - 2)
            : "";
    if (host.empty() || host[0] == ':') return std::string("it names no host") + kWrite;
    return "";
}

}  // namespace

const char* digest_name(int32_t digest) { return name_of(kDigests, digest); }

int usage(const std::string& message) { return usage_error("sign", message); }

// Checks what the parser cannot; returns -1 to go on, or an exit code.
int validate(const CLI::App& app, SignArgs& args) {
    if (!look_up(kDigests, args.digestName, args.digest))
        return usage("--digest must be one of " + names_of(kDigests));
    if (!look_up(kStatements, args.statementName, args.statement))
        return usage("--statement must be one of " + names_of(kStatements));
    if (!app.count("--key") && !app.count("--store") && !args.signerCommand.used())
        return usage(
            "a key is required: --key FILE, --store THUMBPRINT, or --signer-command 'CMD ARGS'");
    if (args.signerCommand.used() && args.cert.empty())
        return usage("--signer-command needs the signer's certificate: --cert FILE");
    if (!valid_utf8(args.programName)) return usage("--program-name is not valid UTF-8");
    for (const fontseal_timestamp_server& server : args.timestampServers) {
        const std::string fault = timestamp_url_fault(server.url);
        if (!fault.empty())
            return usage("time-stamp server " + std::string(server.url) +
                         " cannot be used: " + fault);
    }
    if (args.requireTimestamp && args.timestampServers.empty())
        return usage(
            "--require-timestamp needs a server: --timestamp URL or --timestamp-rfc3161 URL");
    return check_outputs(app, args);
}

}  // namespace sign_cmd
}  // namespace fontseal_cli

// SPDX-License-Identifier: Apache-2.0
// `fontseal verify`: its help, its options and what the parser cannot check.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <memory>
#include <string>

#include "commands.h"
#include "printable.h"
#include "verify_parts.h"

namespace fontseal_cli {
namespace verify_cmd {

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

}  // namespace

// The roots, the files and the values are checked before any font is read:
// a mistake in them is the same for every font, and no verdict.
int validate(VerifyArgs& args) {
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
    return -1;
}

}  // namespace verify_cmd

Command verify_command() {
    using namespace verify_cmd;
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
                    const int invalid = validate(*args);
                    return invalid >= 0 ? invalid : run(*args);
                };
            }};
}

}  // namespace fontseal_cli

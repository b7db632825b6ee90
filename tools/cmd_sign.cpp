// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "password.h"
#include "printable.h"
#include "signer_command.h"

namespace fontseal_cli {

namespace {

const char kSignUsage[] =
    "Usage: fontseal sign --key FILE [--cert FILE] [OPTIONS] INPUT OUTPUT\n"
    "       fontseal sign --key FILE [--cert FILE] [OPTIONS] --out-dir DIR INPUT...\n"
    "       fontseal sign --key FILE [--cert FILE] [OPTIONS] --in-place INPUT...\n"
    "       fontseal sign --store THUMBPRINT [OPTIONS] INPUT OUTPUT\n"
    "       fontseal sign --cert FILE --signer-command 'CMD ARGS' [OPTIONS] INPUT OUTPUT\n"
    "\n"
    "Sign a TrueType or OpenType font: the font is laid out without any DSIG table,\n"
    "digested, and written again with a new DSIG table holding a PKCS#7 signature\n"
    "made with the key and carrying the certificates. INPUT is never changed;\n"
    "OUTPUT may be INPUT itself and is replaced only by a completely written font.\n"
    "A font collection (.ttc, .otc) gets one DSIG for the whole file; its members\n"
    "keep their tables byte for byte.\n"
    "An OUTPUT that exists and is another font than INPUT (signed or not) is left\n"
    "alone unless --force is given: 'sign *.ttf' in a folder of two fonts must not\n"
    "overwrite the second with the first.\n"
    "\n"
    "Key and certificates:\n"
    "  --key FILE             private key: PVK, PEM (PKCS#1 or PKCS#8, encrypted or\n"
    "                         not), DER PKCS#8, or PKCS#12 (.pfx/.p12); RSA only\n"
    "  --cert FILE            certificates: DER, PEM (every certificate in the file),\n"
    "                         base64, or a PKCS#7 bundle (.p7b, DER or PEM); may be\n"
    "                         left out when the key file is PKCS#12 with certificates\n"
    "  --store THUMBPRINT     sign with the certificate of the user's store whose\n"
    "                         thumbprint is or starts with THUMBPRINT (at least 8\n"
    "                         hex digits) and the key stored with it, instead of\n"
    "                         --key and --cert (see 'fontseal store --help')\n"
    "\n"
    "External signer (the key stays elsewhere: a key service, an HSM):\n"
    "  --signer-command 'CMD ARGS'\n"
    "                         for each font run CMD (no shell: words split at\n"
    "                         blanks, '...' and \"...\" quote, \\ escapes), write the\n"
    "                         bytes to sign to its standard input and read the\n"
    "                         RSA PKCS#1 v1.5 signature (raw, hex or base64) from\n"
    "                         its standard output; FONTSEAL_DIGEST (sha256...),\n"
    "                         FONTSEAL_SIGN_INPUT and FONTSEAL_FONT (the font's\n"
    "                         path) are in its environment. Needs --cert, whose\n"
    "                         first certificate is the signer's; the signature\n"
    "                         must verify under it before anything is written\n"
    "  --signer-input digest|digestinfo\n"
    "                         what CMD signs: the bare digest (default; what key\n"
    "                         services' sign-digest calls take) or the DER\n"
    "                         DigestInfo (what a raw RSA operation takes)\n"
    "  --signer-timeout SECONDS\n"
    "                         stop CMD and its process group after this long\n"
    "                         (default 120); --jobs N runs N commands at once\n"
    "\n"
    "Password (never taken as an argument):\n"
    "  --password-file FILE   read the key password from the first line of FILE\n"
    "                         (- for standard input; at most 4096 bytes)\n"
    "  --password-env NAME    read the key password from environment variable NAME\n"
    "                         Without either, an encrypted key's password is asked\n"
    "                         for on the terminal; an unencrypted key needs none.\n"
    "\n"
    "Token keys (--key 'pkcs11:token=NAME;object=LABEL' or ...;id=%01, or a\n"
    "--store entry on a token):\n"
    "  --pin-file FILE        read the token PIN from the first line of FILE\n"
    "                         (- for standard input; at most 4096 bytes)\n"
    "  --pin-env NAME         read the token PIN from environment variable NAME\n"
    "                         Without either, FONTSEAL_PIN_SOURCE (file:PATH or\n"
    "                         env:NAME), else the PIN is asked for on the terminal.\n"
    "                         The module is FONTSEAL_PKCS11_MODULE (default the\n"
    "                         p11-kit proxy); without --cert the certificate is the\n"
    "                         token's own. The PIN is tried once, never again.\n"
    "\n"
    "Signature:\n"
    "  --digest sha256|sha384|sha512|sha1|md5\n"
    "                         digest algorithm (default sha256)\n"
    "  --statement auto|individual|commercial\n"
    "                         publisher statement; auto follows the certificate's\n"
    "                         code-signing purpose (default auto)\n"
    "  --program-name TEXT    program name stored in the signed publisher information\n"
    "  --info-url URL         more-information link stored with it\n"
    "\n"
    "Time stamps:\n"
    "  --timestamp URL        ask the server at URL to counter-sign the signature\n"
    "  --timestamp-rfc3161 URL\n"
    "                         ask the RFC 3161 server at URL for a time stamp\n"
    "                         Both may be repeated: the servers are asked in the\n"
    "                         order given until one returns a valid time stamp.\n"
    "                         A font none of them stamps is signed without a time\n"
    "                         stamp, with a warning on standard error...\n"
    "  --require-timestamp    ...or, with this, not written at all (a failure)\n"
    "\n"
    "Families:\n"
    "  --out-dir DIR          sign every INPUT into DIR under its own file name,\n"
    "                         going on when one fails; prints a line per font, in\n"
    "                         the order of the inputs, then a summary line\n"
    "  --in-place             sign every INPUT where it lies: each is replaced by\n"
    "                         its signed self only once that is completely written,\n"
    "                         so a failure or an interruption loses nothing\n"
    "  --jobs N               sign up to N fonts at once (default: the number of\n"
    "                         processors), so that time-stamp servers' answers are\n"
    "                         awaited side by side\n"
    "                         A family run prints a line when it starts (fonts, jobs,\n"
    "                         digest, time-stamp servers) and a summary at the end,\n"
    "                         counting fonts signed without a time stamp; when it\n"
    "                         is interrupted, how many were signed.\n"
    "  --force                replace an OUTPUT that is a different font\n"
    "\n"
    "  -h, --help             show this help\n"
    "\n"
    "Exit status: 0 every font signed, 1 a font could not be signed, 2 usage error.\n";

struct SignArgs {
    std::string cert;
    std::string key;
    std::string store;
    std::string passwordFile;
    std::string passwordEnv;
    std::string pinFile;
    std::string pinEnv;
    // As given; checked and turned into the request's numbers by validate().
    std::string digestName = "sha256";
    std::string statementName = "auto";
    int32_t digest = FONTSEAL_HASH_SHA256;
    int32_t statement = FONTSEAL_STATEMENT_AUTO;
    std::string programName;
    std::string infoUrl;
    std::string outDir;
    bool inPlace = false;
    bool force = false;
    std::vector<std::string> paths;
    // The two time-stamp options' values, and all of them in command-line
    // order with their protocols.
    std::vector<std::string> counterSignatureUrls;
    std::vector<std::string> rfc3161Urls;
    std::vector<fontseal_timestamp_server> timestampServers;
    bool requireTimestamp = false;
    int jobs = 0;
    SignerCommandOptions signerCommand;
};

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

std::string base_name(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A path with every run of slashes made one: "signed/" and a name give
// "signed/x.ttf", never "signed//x.ttf".
std::string tidy_path(const std::string& path) {
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    return out;
}

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

int usage(const std::string& message) { return usage_error("sign", message); }

bool valid_utf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2
                                   : (c & 0xF8) == 0xF0 ? 3 : -1;
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
    if (args.inPlace) {
        if (args.paths.empty()) return usage("no input fonts given");
        return -1;
    }
    if (!app.count("--out-dir")) {
        if (args.paths.size() != 2)
            return usage(
                "expected INPUT and OUTPUT (or --out-dir DIR INPUT..., or --in-place INPUT...)");
        return -1;
    }
    if (args.paths.empty()) return usage("no input fonts given");
    std::set<std::string> names;
    for (const std::string& path : args.paths) {
        if (!names.insert(base_name(path)).second)
            return usage("two inputs are named " + base_name(path) +
                         "; their signed fonts would overwrite each other in " +
                         tidy_path(args.outDir));
    }
    struct stat st;
    if (::stat(args.outDir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return usage("--out-dir " + args.outDir + " is not a directory");
        return -1;
    }
    // A folder that is not there yet is made, with its parents, as mkdir -p
    // would (0777 less the umask).
    std::string made;
    for (size_t at = 0; at != std::string::npos;) {
        at = args.outDir.find('/', at + 1);
        made = args.outDir.substr(0, at);
        if (::mkdir(made.c_str(), 0777) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "fontseal sign: cannot create --out-dir %s: %s\n",
                         args.outDir.c_str(), std::strerror(errno));
            return kExitFailed;
        }
    }
    if (::stat(args.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage("--out-dir " + args.outDir + " is not a directory");
    return -1;
}

bool is_token_key(const std::string& key) { return strncasecmp(key.c_str(), "pkcs11:", 7) == 0; }

// A private directory for the comparison below, removed with what it holds.
class ScratchDir {
public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fontseal-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data())) path_ = name.data();
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        for (const char* file : {"/a", "/b"}) ::unlink((path_ + file).c_str());
        ::rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool same_bytes(const std::string& a, const std::string& b) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> fa(std::fopen(a.c_str(), "rb"), std::fclose);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> fb(std::fopen(b.c_str(), "rb"), std::fclose);
    if (!fa || !fb) return false;
    std::vector<char> x(1 << 16), y(1 << 16);
    for (;;) {
        const size_t n = std::fread(x.data(), 1, x.size(), fa.get());
        const size_t m = std::fread(y.data(), 1, y.size(), fb.get());
        if (n != m || std::memcmp(x.data(), y.data(), n) != 0) return false;
        if (n < x.size()) return std::feof(fa.get()) && std::feof(fb.get());
    }
}

enum class Replace { kYes, kDifferentFont, kCannotTell };

// Whether writing `input`'s signed font to `output` loses nothing: there is
// no such file, or it is `input` itself, or no font at all, or `input`'s own
// signed font from an earlier run (the same font once both lose their
// signatures). An existing, different font is somebody's work: `sign *.ttf`
// in a folder of two fonts names one as the other's output.
Replace output_is_replaceable(const std::string& input, const std::string& output) {
    struct stat in, out;
    if (::stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return Replace::kYes;
    if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        return Replace::kYes;
    ScratchDir scratch;
    if (scratch.path().empty()) return Replace::kCannotTell;
    const std::string a = scratch.path() + "/a", b = scratch.path() + "/b";
    fontseal_report report{};
    report.size = sizeof report;
    if (fontseal_strip(output.c_str(), b.c_str(), &report) != FONTSEAL_OK) return Replace::kYes;
    // An input that is no font fails when it is signed, with its reason.
    if (fontseal_strip(input.c_str(), a.c_str(), &report) != FONTSEAL_OK) return Replace::kYes;
    return same_bytes(a, b) ? Replace::kYes : Replace::kDifferentFont;
}

class Signer {
public:
    Signer(const CLI::App& app, const SignArgs& args, const std::string& password, bool havePassword)
        : args_(args), password_(password) {
        request_.size = sizeof request_;
        request_.cert_path = args.cert.empty() ? nullptr : args.cert.c_str();
        request_.key_path = args.key.empty() ? nullptr : args.key.c_str();
        request_.store_thumbprint = args.store.empty() ? nullptr : args.store.c_str();
        request_.password = havePassword ? password_.data() : nullptr;
        request_.password_length = havePassword ? password_.size() : 0;
        request_.digest = args.digest;
        request_.statement = args.statement;
        request_.program_name = app.count("--program-name") ? args.programName.c_str() : nullptr;
        request_.more_info_url = app.count("--info-url") ? args.infoUrl.c_str() : nullptr;
        request_.timestamp_servers = args.timestampServers.data();
        request_.timestamp_server_count = args.timestampServers.size();
        request_.require_timestamp = args.requireTimestamp ? 1 : 0;
        // A token key's secret is its PIN; it goes nowhere else. A store
        // entry may be on a token too.
        if (is_token_key(args.key) || !args.store.empty()) {
            request_.password = nullptr;
            request_.password_length = 0;
            request_.pin = havePassword ? password_.data() : nullptr;
            request_.pin_length = havePassword ? password_.size() : 0;
        }
    }

    // Safe to call from several threads at once: each call has its own copy
    // of the request.
    int32_t sign(const std::string& input, const std::string& output,
                 fontseal_report& report) const {
        fontseal_sign_request request = request_;
        request.input_path = input.c_str();
        request.output_path = output.c_str();
        report = fontseal_report();
        report.size = sizeof report;
        if (args_.signerCommand.used())
            return sign_with_signer_command(args_.signerCommand, request, report);
        return fontseal_sign(&request, &report);
    }

private:
    const SignArgs& args_;
    const std::string& password_;
    fontseal_sign_request request_{};
};

// The line printed for a failure. A key that turned out to need a password
// nobody could be asked for gets the hint of how to give one.
std::string failure_line(int32_t result, const fontseal_report& report, const SignArgs& args,
                         bool unasked) {
    // The library names the certificate file, which the command line left out.
    if (result == FONTSEAL_E_NO_CERTIFICATE && args.cert.empty() && !args.key.empty())
        return "a certificate is needed: give --cert (" + printable(args.key) +
               " holds only a key)";
    if (result == FONTSEAL_E_TOKEN_PIN && unasked)
        return (args.key.empty() ? "the key of store entry " + printable(args.store)
                                 : "the token key " + printable(args.key)) +
               " needs a PIN and there is no terminal to ask for it; use "
               "--pin-file FILE or --pin-env NAME (code " +
               std::to_string(result) + ")";
    if (result == FONTSEAL_E_KEY_PASSWORD && unasked)
        return "the key file " + printable(args.key) +
               " needs a password and there is no terminal to ask for it; use "
               "--password-file FILE or --password-env NAME (code " +
               std::to_string(result) + ")";
    return printable(report.message);
}

// A font signed without the time stamp it was meant to get is worth a word:
// nobody should ship one unknowingly.
bool unstamped(const SignArgs& args, const fontseal_report& report) {
    return !args.timestampServers.empty() && report.timestamp_server < 0;
}

void warn_if_unstamped(const SignArgs& args, const std::string& input,
                       const fontseal_report& report) {
    if (!unstamped(args, report)) return;
    std::fprintf(stderr,
                 "fontseal sign: warning: %s was signed without a time stamp: no valid time "
                 "stamp from %s\n",
                 printable(input).c_str(),
                 printable(report.timestamp_warning[0] ? report.timestamp_warning
                                                       : server_list(args))
                     .c_str());
    std::fflush(stderr);
}

// A certificate that verifying will refuse is worth a word too; a family
// signed with it hears it once.
void warn_about_certificate(const fontseal_report& report, std::string* said = nullptr) {
    if (!report.certificate_warning[0]) return;
    const std::string line = printable(report.certificate_warning);
    if (said) {
        if (*said == line) return;
        *said = line;
    }
    std::fprintf(stderr, "fontseal sign: warning: %s\n", line.c_str());
    std::fflush(stderr);
}

// "m:ss" (or "h:mm:ss") of a whole number of seconds.
std::string clock_text(long long seconds) {
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

// The time the rest of a family should take, at the pace of the fonts done
// so far (whichever finished, not only those already printed).
std::string eta_text(std::chrono::steady_clock::duration elapsed, size_t done, size_t total) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const double rest =
        done ? seconds / static_cast<double>(done) * static_cast<double>(total - done) : 0.0;
    // Rounded up: while a font is left, the estimate is never 0:00.
    return clock_text(static_cast<long long>(std::ceil(rest)));
}

struct FamilyMember {
    std::string input;
    std::string output;
    int32_t result = 0;
    fontseal_report report{};
    bool done = false;
};

// The line a family run starts with: what is about to happen, and with what.
std::string start_line(const SignArgs& args, size_t fonts, size_t jobs) {
    std::string line = "signing " + std::to_string(fonts) + (fonts == 1 ? " font" : " fonts") +
                       (args.inPlace ? " in place" : " into " + tidy_path(args.outDir)) + ": " +
                       std::to_string(jobs) + (jobs == 1 ? " job" : " jobs") + ", digest " +
                       name_of(kDigests, args.digest) + ", ";
    line +=
        args.timestampServers.empty() ? "no time stamps" : "time stamps from " + server_list(args);
    return printable(line);
}

// Signs the family on up to args.jobs threads. The lines are printed by this
// thread alone, in the order of the inputs, each as soon as its font and all
// before it are done: whole lines, never interleaved. Someone watching at a
// terminal also sees how far the run is and how long the rest should take;
// the lines stay as they were wherever both streams do not end on a terminal,
// so logs and scripts that read them see no difference.
int sign_family(const Signer& signer, const SignArgs& args, bool unasked) {
    const bool progress = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    std::vector<FamilyMember> members(args.paths.size());
    for (size_t i = 0; i < members.size(); ++i) {
        members[i].input = args.paths[i];
        members[i].output =
            args.inPlace ? args.paths[i] : tidy_path(args.outDir + "/" + base_name(args.paths[i]));
    }
    size_t jobs = args.jobs > 0 ? static_cast<size_t>(args.jobs) : 1;
    if (jobs > members.size()) jobs = members.size();
    std::printf("%s\n", start_line(args, members.size(), jobs).c_str());
    std::fflush(stdout);

    std::mutex lock;
    std::condition_variable finished;
    std::atomic<size_t> next{0};
    std::atomic<size_t> signedSoFar{0};  // fonts whose signed file is in place
    size_t doneCount = 0;                // under `lock`
    // Stopped by a signal: the temporaries are gone by then, so every font
    // is either signed whole or as it was.
    const size_t total = members.size();
    set_interrupt_summary([&signedSoFar, total] {
        return "interrupted: " + std::to_string(signedSoFar.load()) + " of " +
               std::to_string(total) + " signed, no partial files";
    });
    struct ClearSummary {
        ~ClearSummary() { set_interrupt_summary(nullptr); }
    } clear_summary;
    auto work = [&] {
        for (size_t i = next++; i < members.size(); i = next++) {
            FamilyMember& m = members[i];
            fontseal_report report;
            const int32_t result = signer.sign(m.input, m.output, report);
            if (result == FONTSEAL_OK) ++signedSoFar;
            {
                std::lock_guard<std::mutex> hold(lock);
                m.result = result;
                m.report = report;
                m.done = true;
                ++doneCount;
            }
            finished.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (size_t i = 0; i < jobs; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error& e) {
            // No font is begun any more; those begun are finished whole.
            next = members.size();
            for (std::thread& worker : workers) worker.join();
            size_t done = 0;
            for (const FamilyMember& m : members) done += m.done && m.result == FONTSEAL_OK;
            std::fprintf(stderr,
                         "fontseal sign: cannot start worker thread %zu of %zu: %s; %zu of %zu "
                         "fonts signed, no partial files (try a smaller --jobs)\n",
                         i + 1, jobs, e.code().message().c_str(), done, members.size());
            return kExitFailed;
        }
    }

    int signed_count = 0, failed = 0, without_stamp = 0;
    std::string certificateSaid;
    for (size_t i = 0; i < members.size(); ++i) {
        FamilyMember& m = members[i];
        std::string before, after;
        {
            std::unique_lock<std::mutex> hold(lock);
            finished.wait(hold, [&] { return m.done; });
            if (progress) {
                before = "[" + std::to_string(i + 1) + "/" + std::to_string(members.size()) + "] ";
                // Fonts further down may have finished already: no estimate
                // once nothing is left.
                if (i + 1 < members.size() && doneCount < members.size())
                    after = "  ETA " + eta_text(std::chrono::steady_clock::now() - started,
                                                doneCount, members.size());
            }
        }
        if (m.result == FONTSEAL_OK) {
            ++signed_count;
            if (unstamped(args, m.report)) ++without_stamp;
            std::printf("%ssigned %s -> %s%s\n", before.c_str(), printable(m.input).c_str(),
                        printable(m.output).c_str(), after.c_str());
            std::fflush(stdout);
            warn_about_certificate(m.report, &certificateSaid);
            warn_if_unstamped(args, m.input, m.report);
        } else {
            ++failed;
            std::printf("%sFAILED %s: %s%s\n", before.c_str(), printable(m.input).c_str(),
                        failure_line(m.result, m.report, args, unasked).c_str(), after.c_str());
        }
        std::fflush(stdout);
    }
    for (std::thread& worker : workers) worker.join();
    if (without_stamp > 0)
        std::printf("%d signed (%d without a time stamp), %d failed\n", signed_count, without_stamp,
                    failed);
    else
        std::printf("%d signed, %d failed\n", signed_count, failed);
    std::fflush(stdout);
    return failed ? kExitFailed : kExitOk;
}

int run(const CLI::App& app, SignArgs& args) {
    collect_timestamp_servers(app, args);
    int invalid = validate(app, args);
    if (invalid >= 0) return invalid;
    if (!app.count("--out-dir") && !args.inPlace && !args.force) {
        switch (output_is_replaceable(args.paths[0], args.paths[1])) {
            case Replace::kYes:
                break;
            case Replace::kDifferentFont:
                return usage(args.paths[1] +
                             " exists and is a different font: use --force to replace it, or "
                             "--out-dir / --in-place for a family");
            case Replace::kCannotTell:
                return usage(args.paths[1] +
                             " exists, and without a temporary directory (TMPDIR) it cannot "
                             "be told apart from another font: use --force to replace it");
        }
    }
    const std::string signerProblem = check_signer_command(args.signerCommand);
    if (!signerProblem.empty()) return usage(signerProblem);

    PasswordSource source;
    if (!args.passwordFile.empty()) source = {PasswordSource::kFile, args.passwordFile};
    if (!args.passwordEnv.empty()) source = {PasswordSource::kEnv, args.passwordEnv};
    bool unasked = false;
    const bool tokenKey = is_token_key(args.key);
    const bool pinOption = !args.pinFile.empty() || !args.pinEnv.empty();
    if (tokenKey && source.kind != PasswordSource::kNone)
        return usage("a token key takes a PIN: use --pin-file FILE or --pin-env NAME");
    if (pinOption && !tokenKey && args.store.empty())
        return usage(
            "--pin-file and --pin-env are for keys on tokens (--key pkcs11:... or --store)");
    if (tokenKey || !args.store.empty()) {
        source.pin = true;
        if (!args.pinFile.empty()) {
            source.kind = PasswordSource::kFile;
            source.name = args.pinFile;
        } else if (!args.pinEnv.empty()) {
            source.kind = PasswordSource::kEnv;
            source.name = args.pinEnv;
        } else if (!std::getenv("FONTSEAL_PIN_SOURCE") && !terminal_available()) {
            // The library asks on the terminal itself, and only when the
            // token wants a PIN; without one the token's answer is explained.
            unasked = true;
        }
    }
    std::string password, error;
    if (!tokenKey && source.kind == PasswordSource::kNone && args.store.empty() &&
        !args.signerCommand.used() && !choose_password_source(args.key, source, unasked, error)) {
        std::fprintf(stderr, "fontseal sign: %s\n", printable(error).c_str());
        return kExitFailed;
    }
    if (!read_password(source, args.key, password, error)) {
        std::fprintf(stderr, "fontseal sign: %s\n", printable(error).c_str());
        return kExitFailed;
    }
    struct Wipe {
        std::string& secret;
        ~Wipe() { wipe(secret); }
    } wipe_password{password};

    const Signer signer(app, args, password, source.kind != PasswordSource::kNone);
    if (!app.count("--out-dir") && !args.inPlace) {
        fontseal_report report;
        int32_t result = signer.sign(args.paths[0], args.paths[1], report);
        if (result == FONTSEAL_OK) {
            warn_about_certificate(report);
            warn_if_unstamped(args, args.paths[0], report);
            return kExitOk;
        }
        std::fprintf(stderr, "fontseal sign: %s\n",
                     failure_line(result, report, args, unasked).c_str());
        return kExitFailed;
    }
    return sign_family(signer, args, unasked);
}

}  // namespace

Command sign_command() {
    return {"sign", "sign a font, or a family of fonts, with a key and its certificates",
            kSignUsage, [](CLI::App& app) -> std::function<int()> {
                auto args = std::make_shared<SignArgs>();
                auto* cert = app.add_option("--cert", args->cert);
                auto* key = app.add_option("--key", args->key);
                auto* file = app.add_option("--password-file", args->passwordFile);
                auto* env = app.add_option("--password-env", args->passwordEnv);
                file->excludes(env);
                auto* pinFile = app.add_option("--pin-file", args->pinFile);
                auto* pinEnv = app.add_option("--pin-env", args->pinEnv);
                pinFile->excludes(pinEnv);
                // A PIN on the command line is refused for the same reason.
                app.add_option("--pin")->check(CLI::Validator(
                    [](std::string&) {
                        return std::string(
                            "a PIN is never taken on the command line; use --pin-file FILE "
                            "or --pin-env NAME");
                    },
                    "", "pin"));
                // A store entry brings its certificate and its key, which is
                // stored unencrypted.
                app.add_option("--store", args->store)
                    ->excludes(cert)
                    ->excludes(key)
                    ->excludes(file)
                    ->excludes(env);
                // Recognised only to be refused with a reason: a password on the
                // command line is visible to other users and kept in histories.
                app.add_option("--password")
                    ->check(CLI::Validator(
                        [](std::string&) {
                            return std::string(
                                "a password is never taken on the command line; use "
                                "--password-file FILE or --password-env NAME");
                        },
                        "", "password"));
                // Names only, checked by validate() with a message of ours.
                app.add_option("--digest", args->digestName);
                app.add_option("--statement", args->statementName);
                app.add_option("--program-name", args->programName);
                app.add_option("--info-url", args->infoUrl);
                auto* outDir = app.add_option("--out-dir", args->outDir);
                app.add_flag("--in-place", args->inPlace)->excludes(outDir);
                app.add_flag("--force", args->force);
                app.add_option("--timestamp", args->counterSignatureUrls)->allow_extra_args(false);
                app.add_option("--timestamp-rfc3161", args->rfc3161Urls)->allow_extra_args(false);
                app.add_flag("--require-timestamp", args->requireTimestamp);
                const unsigned processors = std::thread::hardware_concurrency();
                args->jobs = processors > 0 ? static_cast<int>(processors) : 1;
                app.add_option("--jobs", args->jobs)->check(CLI::Range(1, 256));
                add_signer_command_options(app, args->signerCommand);
                app.get_option("--signer-command")
                    ->excludes(key)
                    ->excludes(file)
                    ->excludes(env)
                    ->excludes(pinFile)
                    ->excludes(pinEnv)
                    ->excludes("--store");
                app.add_option("paths", args->paths);
                return [&app, args]() { return run(app, *args); };
            }};
}

}  // namespace fontseal_cli

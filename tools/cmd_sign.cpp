#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "password.h"

namespace fontseal_cli {

namespace {

const char kSignUsage[] =
    "Usage: fontseal sign --key FILE [--cert FILE] [OPTIONS] INPUT OUTPUT\n"
    "       fontseal sign --key FILE [--cert FILE] [OPTIONS] --out-dir DIR INPUT...\n"
    "\n"
    "Sign a TrueType or OpenType font: the font is laid out without any DSIG table,\n"
    "digested, and written again with a new DSIG table holding a PKCS#7 signature\n"
    "made with the key and carrying the certificates. INPUT is never changed;\n"
    "OUTPUT may be INPUT itself and is replaced only by a completely written font.\n"
    "\n"
    "Key and certificates:\n"
    "  --key FILE             private key: PVK, PEM (PKCS#1 or PKCS#8, encrypted or\n"
    "                         not), DER PKCS#8, or PKCS#12 (.pfx/.p12); RSA only\n"
    "  --cert FILE            certificates: DER, PEM (every certificate in the file),\n"
    "                         base64, or a PKCS#7 bundle (.p7b, DER or PEM); may be\n"
    "                         left out when the key file is PKCS#12 with certificates\n"
    "\n"
    "Password (never taken as an argument):\n"
    "  --password-file FILE   read the key password from the first line of FILE\n"
    "  --password-env NAME    read the key password from environment variable NAME\n"
    "                         Without either, an encrypted key's password is asked\n"
    "                         for on the terminal; an unencrypted key needs none.\n"
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
    "Families:\n"
    "  --out-dir DIR          sign every INPUT into DIR under its own file name,\n"
    "                         going on when one fails; prints a line per font\n"
    "\n"
    "  -h, --help             show this help\n"
    "\n"
    "Exit status: 0 every font signed, 1 a font could not be signed, 2 usage error.\n";

struct SignArgs {
    std::string cert;
    std::string key;
    std::string passwordFile;
    std::string passwordEnv;
    int32_t digest = FONTSEAL_HASH_SHA256;
    int32_t statement = FONTSEAL_STATEMENT_AUTO;
    std::string programName;
    std::string infoUrl;
    std::string outDir;
    std::vector<std::string> paths;
};

std::string base_name(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Checks what the parser cannot; returns -1 to go on, or an exit code.
int validate(const CLI::App& app, const SignArgs& args) {
    if (!valid_utf8(args.programName)) return usage("--program-name is not valid UTF-8");
    if (!app.count("--out-dir")) {
        if (args.paths.size() != 2)
            return usage("expected INPUT and OUTPUT (or --out-dir DIR INPUT...)");
        return -1;
    }
    if (args.paths.empty()) return usage("no input fonts given");
    std::set<std::string> names;
    for (const std::string& path : args.paths) {
        if (!names.insert(base_name(path)).second)
            return usage("two inputs are named " + base_name(path) +
                         "; their signed fonts would overwrite each other in " + args.outDir);
    }
    struct stat st;
    if (::stat(args.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage("--out-dir " + args.outDir + " is not a directory");
    return -1;
}

class Signer {
public:
    Signer(const CLI::App& app, const SignArgs& args, const std::string& password, bool havePassword)
        : args_(args), password_(password) {
        request_.size = sizeof request_;
        request_.cert_path = args.cert.empty() ? nullptr : args.cert.c_str();
        request_.key_path = args.key.c_str();
        request_.password = havePassword ? password_.data() : nullptr;
        request_.password_length = havePassword ? password_.size() : 0;
        request_.digest = args.digest;
        request_.statement = args.statement;
        request_.program_name = app.count("--program-name") ? args.programName.c_str() : nullptr;
        request_.more_info_url = app.count("--info-url") ? args.infoUrl.c_str() : nullptr;
    }

    int32_t sign(const std::string& input, const std::string& output, fontseal_report& report) {
        request_.input_path = input.c_str();
        request_.output_path = output.c_str();
        report = fontseal_report{sizeof report, 0, {}};
        return fontseal_sign(&request_, &report);
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
    if (result == FONTSEAL_E_KEY_PASSWORD && unasked)
        return "the key file " + args.key +
               " needs a password and there is no terminal to ask for it; use "
               "--password-file FILE or --password-env NAME (code " +
               std::to_string(result) + ")";
    return report.message;
}

int run(const CLI::App& app, const SignArgs& args) {
    int invalid = validate(app, args);
    if (invalid >= 0) return invalid;

    PasswordSource source;
    if (!args.passwordFile.empty()) source = {PasswordSource::kFile, args.passwordFile};
    if (!args.passwordEnv.empty()) source = {PasswordSource::kEnv, args.passwordEnv};
    bool unasked = false;
    if (source.kind == PasswordSource::kNone) {
        fontseal_report probe{sizeof probe, 0, {}};
        int32_t needs = fontseal_key_needs_password(args.key.c_str(), &probe);
        if (needs < 0) {
            std::fprintf(stderr, "fontseal sign: %s\n", probe.message);
            return kExitFailed;
        }
        if (needs > 0) {
            if (terminal_available())
                source.kind = PasswordSource::kTerminal;
            else
                unasked = true;
        }
    }
    std::string password, error;
    if (!read_password(source, args.key, password, error)) {
        std::fprintf(stderr, "fontseal sign: %s\n", error.c_str());
        return kExitFailed;
    }
    struct Wipe {
        std::string& secret;
        ~Wipe() { wipe(secret); }
    } wipe_password{password};

    Signer signer(app, args, password, source.kind != PasswordSource::kNone);
    fontseal_report report;
    if (!app.count("--out-dir")) {
        int32_t result = signer.sign(args.paths[0], args.paths[1], report);
        if (result == FONTSEAL_OK) return kExitOk;
        std::fprintf(stderr, "fontseal sign: %s\n",
                     failure_line(result, report, args, unasked).c_str());
        return kExitFailed;
    }

    int signed_count = 0, failed = 0;
    for (const std::string& input : args.paths) {
        const std::string output = args.outDir + "/" + base_name(input);
        int32_t result = signer.sign(input, output, report);
        if (result == FONTSEAL_OK) {
            ++signed_count;
            std::printf("signed %s -> %s\n", input.c_str(), output.c_str());
        } else {
            ++failed;
            std::printf("FAILED %s: %s\n", input.c_str(),
                        failure_line(result, report, args, unasked).c_str());
        }
        std::fflush(stdout);
    }
    std::printf("%d signed, %d failed\n", signed_count, failed);
    return failed ? kExitFailed : kExitOk;
}

}  // namespace

Command sign_command() {
    return {
        "sign", "sign a font, or a family of fonts, with a key and its certificates", kSignUsage,
        [](CLI::App& app) -> std::function<int()> {
            auto args = std::make_shared<SignArgs>();
            app.add_option("--cert", args->cert);
            app.add_option("--key", args->key)->required();
            auto* file = app.add_option("--password-file", args->passwordFile);
            auto* env = app.add_option("--password-env", args->passwordEnv);
            file->excludes(env);
            // Recognised only to be refused with a reason: a password on the
            // command line is visible to other users and kept in histories.
            app.add_option("--password")->check(CLI::Validator(
                [](std::string&) {
                    return std::string(
                        "a password is never taken on the command line; use "
                        "--password-file FILE or --password-env NAME");
                },
                "", "password"));
            static const std::map<std::string, int32_t> kDigests = {
                {"sha256", FONTSEAL_HASH_SHA256}, {"sha384", FONTSEAL_HASH_SHA384},
                {"sha512", FONTSEAL_HASH_SHA512}, {"sha1", FONTSEAL_HASH_SHA1},
                {"md5", FONTSEAL_HASH_MD5}};
            app.add_option("--digest", args->digest)
                ->transform(CLI::CheckedTransformer(kDigests, CLI::ignore_case));
            static const std::map<std::string, int32_t> kStatements = {
                {"auto", FONTSEAL_STATEMENT_AUTO},
                {"individual", FONTSEAL_STATEMENT_INDIVIDUAL},
                {"commercial", FONTSEAL_STATEMENT_COMMERCIAL}};
            app.add_option("--statement", args->statement)
                ->transform(CLI::CheckedTransformer(kStatements, CLI::ignore_case));
            app.add_option("--program-name", args->programName);
            app.add_option("--info-url", args->infoUrl);
            app.add_option("--out-dir", args->outDir);
            app.add_option("paths", args->paths);
            return [&app, args]() { return run(app, *args); };
        }};
}

}  // namespace fontseal_cli

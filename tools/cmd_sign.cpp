// SPDX-License-Identifier: Apache-2.0
// `fontseal sign`: its help, its options, and the secret and signing of one
// font or of a family.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "password.h"
#include "printable.h"
#include "sign_parts.h"
#include "signer_command.h"

namespace fontseal_cli {
namespace sign_cmd {

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

int run(const CLI::App& app, SignArgs& args) {
    collect_timestamp_servers(app, args);
    int invalid = validate(app, args);
    if (invalid >= 0) return invalid;
    invalid = check_overwrite(app, args);
    if (invalid >= 0) return invalid;
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

}  // namespace sign_cmd

Command sign_command() {
    using namespace sign_cmd;
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

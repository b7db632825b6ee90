// SPDX-License-Identifier: Apache-2.0
// fontseal prepare: the first of the two steps of signing out of band.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "two_step.h"

namespace fontseal_cli {

namespace {

const char kPrepareUsage[] =
    "Usage: fontseal prepare --cert FILE [OPTIONS] --out-dir DIR FONT...\n"
    "\n"
    "First of two steps for a key that signs out of band (an approval queue, an\n"
    "air-gapped HSM): for each FONT write DIR/FONT.json, a signing request holding\n"
    "the font's path and SHA-256, the certificate's SHA-1 thumbprint, the digest\n"
    "algorithm, the options below, and in hex the digest and DigestInfo to be\n"
    "signed with RSA PKCS#1 v1.5. Nothing in it is secret. Have the signature\n"
    "made (raw, hex or base64) as FONT.sig, then run 'fontseal attach'.\n"
    "\n"
    "  --cert FILE            certificates (as for 'fontseal sign'); the first is\n"
    "                         the signer's\n"
    "  --digest sha256|sha384|sha512|sha1|md5\n"
    "                         digest algorithm (default sha256)\n"
    "  --statement auto|individual|commercial\n"
    "                         publisher statement (default auto)\n"
    "  --program-name TEXT    program name stored in the signed publisher information\n"
    "  --info-url URL         more-information link stored with it\n"
    "  --out-dir DIR          where the requests go\n"
    "  -h, --help             show this help\n"
    "\n"
    "Exit status: 0 every request written, 1 a font failed, 2 usage error.\n";

struct PrepareArgs {
    std::string cert;
    int32_t digest = FONTSEAL_HASH_SHA256;
    int32_t statement = FONTSEAL_STATEMENT_AUTO;
    std::string programName;
    std::string infoUrl;
    std::string outDir;
    std::vector<std::string> paths;
};

// The library is asked to sign and handed this signer, which keeps what it
// was given and declines: the call then ends before anything is written.
struct Capture {
    bool called = false;
    int32_t hash = 0;
    std::string digest, digestInfo;
};

int capture(void* context, int32_t hash, const uint8_t* digest, size_t digestLength,
            const uint8_t* digestInfo, size_t digestInfoLength, uint8_t*, size_t*) {
    Capture& c = *static_cast<Capture*>(context);
    c.called = true;
    c.hash = hash;
    c.digest = to_hex(digest, digestLength);
    c.digestInfo = to_hex(digestInfo, digestInfoLength);
    return 1;
}

bool prepare_one(const CLI::App& app, const PrepareArgs& args, const std::string& thumbprint,
                 const std::string& font, std::string& written, std::string& error) {
    char resolved[PATH_MAX];
    if (!::realpath(font.c_str(), resolved)) {
        error = "cannot open input font " + font;
        return false;
    }
    SigningRequest r;
    r.version = fontseal_version();
    r.fontPath = resolved;
    char certResolved[PATH_MAX];
    r.certPath = ::realpath(args.cert.c_str(), certResolved) ? certResolved : args.cert;
    r.certThumbprint = thumbprint;
    r.digest = args.digest;
    r.statement = args.statement;
    r.hasProgramName = app.count("--program-name") > 0;
    r.programName = args.programName;
    r.hasInfoUrl = app.count("--info-url") > 0;
    r.infoUrl = args.infoUrl;
    if (!file_sha256(r.fontPath, r.fontSha256, error)) return false;

    written = args.outDir + "/" + file_name_of(font) + ".json";
    Capture captured;
    fontseal_sign_request request{};
    request.size = sizeof request;
    request.input_path = r.fontPath.c_str();
    // Never created: the signer declines before the output is opened.
    request.output_path = written.c_str();
    request.cert_path = args.cert.c_str();
    request.digest = args.digest;
    request.statement = args.statement;
    request.program_name = r.hasProgramName ? r.programName.c_str() : nullptr;
    request.more_info_url = r.hasInfoUrl ? r.infoUrl.c_str() : nullptr;
    request.signer = capture;
    request.signer_context = &captured;
    fontseal_report report{};
    report.size = sizeof report;
    const int32_t result = fontseal_sign(&request, &report);
    if (!captured.called || result != FONTSEAL_E_SIGNER) {
        error = report.message;
        return false;
    }
    r.digestHex = captured.digest;
    r.digestInfoHex = captured.digestInfo;
    return write_file_atomically(written, request_to_json(r), error);
}

int run(const CLI::App& app, const PrepareArgs& args) {
    if (args.paths.empty()) return usage_error("prepare", "no input fonts given");
    struct stat st;
    if (::stat(args.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage_error("prepare", "--out-dir " + args.outDir + " is not a directory");
    std::set<std::string> names;
    for (const std::string& path : args.paths)
        if (!names.insert(file_name_of(path)).second)
            return usage_error("prepare", "two inputs are named " + file_name_of(path) +
                                              "; their requests would overwrite each other");
    std::string thumbprint, error;
    if (!first_certificate_thumbprint(args.cert, thumbprint, error)) {
        std::fprintf(stderr, "fontseal prepare: %s\n", error.c_str());
        return kExitFailed;
    }
    int failed = 0;
    for (const std::string& font : args.paths) {
        std::string written;
        if (prepare_one(app, args, thumbprint, font, written, error)) {
            std::printf("prepared %s -> %s\n", font.c_str(), written.c_str());
        } else {
            ++failed;
            std::printf("FAILED %s: %s\n", font.c_str(), error.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("%zu prepared, %d failed\n", args.paths.size() - failed, failed);
    return failed ? kExitFailed : kExitOk;
}

}  // namespace

Command prepare_command() {
    return {"prepare", "write signing requests for a key that signs out of band", kPrepareUsage,
            [](CLI::App& app) -> std::function<int()> {
                auto args = std::make_shared<PrepareArgs>();
                app.add_option("--cert", args->cert)->required();
                static const std::map<std::string, int32_t> kDigests = {
                    {"sha256", FONTSEAL_HASH_SHA256},
                    {"sha384", FONTSEAL_HASH_SHA384},
                    {"sha512", FONTSEAL_HASH_SHA512},
                    {"sha1", FONTSEAL_HASH_SHA1},
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
                app.add_option("--out-dir", args->outDir)->required();
                app.add_option("paths", args->paths);
                return [&app, args]() { return run(app, *args); };
            }};
}

}  // namespace fontseal_cli

// SPDX-License-Identifier: Apache-2.0
// fontseal attach: the second of the two steps of signing out of band.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "signer_command.h"
#include "two_step.h"

namespace fontseal_cli {

namespace {

const char kAttachUsage[] =
    "Usage: fontseal attach [--cert FILE] --signature FILE [OPTIONS] REQUEST OUTPUT\n"
    "       fontseal attach [--cert FILE] --signature-dir DIR [OPTIONS] --out-dir DIR\n"
    "                       REQUEST...\n"
    "\n"
    "Second of two steps (see 'fontseal prepare'): for each REQUEST (FONT.json)\n"
    "check that it was prepared by this version of fontseal for this certificate,\n"
    "that the font is unchanged and that the signature verifies under the\n"
    "certificate, then time-stamp if asked and write the signed font. The result\n"
    "is the same font, byte for byte, as 'fontseal sign' with the key would give.\n"
    "A request that fails writes nothing.\n"
    "\n"
    "  --cert FILE            the certificates (default: the file named in the\n"
    "                         request); the first must be the one prepared for\n"
    "  --signature FILE       the signature of the one REQUEST: raw, hex or base64\n"
    "  --signature-dir DIR    the signatures of every REQUEST, each named after its\n"
    "                         font: DIR/FONT.sig\n"
    "  --out-dir DIR          write each signed font to DIR under its own name\n"
    "  --timestamp URL        ask the server at URL to counter-sign the signature\n"
    "  --timestamp-rfc3161 URL\n"
    "                         ask the RFC 3161 server at URL for a time stamp;\n"
    "                         both may be repeated, and are asked in order\n"
    "  --require-timestamp    fail a font no server time-stamps\n"
    "  -h, --help             show this help\n"
    "\n"
    "Exit status: 0 every font signed, 1 a font failed, 2 usage error.\n";

struct AttachArgs {
    std::string cert;
    std::string signature;
    std::string signatureDir;
    std::string outDir;
    std::vector<std::string> counterSignatureUrls;
    std::vector<std::string> rfc3161Urls;
    std::vector<fontseal_timestamp_server> servers;
    bool requireTimestamp = false;
    std::vector<std::string> paths;
};

// Hands the library the signature made elsewhere, once it has checked that
// the library is about to sign what the request said would be signed.
struct Attached {
    std::vector<uint8_t> signature;
    std::string digestInfoHex;
    bool differs = false;
};

int hand_over(void* context, int32_t, const uint8_t*, size_t, const uint8_t* digestInfo,
              size_t digestInfoLength, uint8_t* signature, size_t* signatureLength) {
    Attached& a = *static_cast<Attached*>(context);
    if (to_hex(digestInfo, digestInfoLength) != a.digestInfoHex) {
        a.differs = true;
        return 1;
    }
    if (a.signature.size() > *signatureLength) {
        *signatureLength = a.signature.size();
        return 0;
    }
    std::memcpy(signature, a.signature.data(), a.signature.size());
    *signatureLength = a.signature.size();
    return 0;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool attach_one(const AttachArgs& args, const std::string& requestPath, const std::string& output,
                std::string& error, bool& unstamped) {
    std::string text;
    if (!read_file(requestPath, text)) {
        error = "cannot read the request " + requestPath;
        return false;
    }
    SigningRequest r;
    if (!request_from_json(text, r, error)) {
        error = requestPath + " is not a usable signing request: " + error;
        return false;
    }
    if (r.version != fontseal_version()) {
        error = requestPath + " was prepared by fontseal " + r.version + ", this is fontseal " +
                fontseal_version() + ": prepare it again with this version";
        return false;
    }
    const std::string cert = args.cert.empty() ? r.certPath : args.cert;
    std::string thumbprint;
    if (!first_certificate_thumbprint(cert, thumbprint, error)) return false;
    if (lower(thumbprint) != lower(r.certThumbprint)) {
        error = requestPath + " was prepared for another certificate: SHA-1 " + r.certThumbprint +
                " (" + r.certPath + "), but the first certificate of " + cert + " is " + thumbprint;
        return false;
    }
    std::string fontSha256;
    if (!file_sha256(r.fontPath, fontSha256, error)) {
        error = "the font " + r.fontPath + " of " + requestPath + " cannot be read";
        return false;
    }
    if (lower(fontSha256) != lower(r.fontSha256)) {
        error = "the font " + r.fontPath + " has changed since " + requestPath +
                " was prepared (SHA-256 " + r.fontSha256 + ", now " + fontSha256 +
                "): prepare it again";
        return false;
    }
    const std::string signaturePath =
        args.signature.empty() ? args.signatureDir + "/" + file_name_of(r.fontPath) + ".sig"
                               : args.signature;
    std::string signatureText;
    struct stat st;
    if (::stat(signaturePath.c_str(), &st) != 0) {
        error = "no signature for " + r.fontPath + ": " + signaturePath + " does not exist";
        return false;
    }
    if (!read_file(signaturePath, signatureText)) {
        error = "cannot read the signature " + signaturePath;
        return false;
    }
    Attached attached{decode_signature(signatureText), r.digestInfoHex, false};
    if (attached.signature.empty()) {
        error = "the signature file " + signaturePath + " is empty";
        return false;
    }
    fontseal_sign_request request{};
    request.size = sizeof request;
    request.input_path = r.fontPath.c_str();
    request.output_path = output.c_str();
    request.cert_path = cert.c_str();
    request.digest = r.digest;
    request.statement = r.statement;
    request.program_name = r.hasProgramName ? r.programName.c_str() : nullptr;
    request.more_info_url = r.hasInfoUrl ? r.infoUrl.c_str() : nullptr;
    request.timestamp_servers = args.servers.data();
    request.timestamp_server_count = args.servers.size();
    request.require_timestamp = args.requireTimestamp ? 1 : 0;
    request.signer = hand_over;
    request.signer_context = &attached;
    fontseal_report report{};
    report.size = sizeof report;
    const int32_t result = fontseal_sign(&request, &report);
    if (result == FONTSEAL_OK) {
        unstamped = !args.servers.empty() && report.timestamp_server < 0;
        return true;
    }
    if (attached.differs)
        error = "what " + r.fontPath + " signs now differs from " + requestPath +
                " (the font and its options are unchanged, so the certificate's purpose "
                "must be): prepare it again";
    else if (result == FONTSEAL_E_SIGNER_SIGNATURE)
        error = "the signature in " + signaturePath + " does not verify: " + report.message;
    else
        error = report.message;
    return false;
}

int run(const CLI::App& app, AttachArgs& args) {
    // The servers in command-line order, as 'fontseal sign' takes them.
    const CLI::Option* counter = app.get_option("--timestamp");
    const CLI::Option* rfc3161 = app.get_option("--timestamp-rfc3161");
    size_t nextCounter = 0, nextRfc3161 = 0;
    for (const CLI::Option* option : app.parse_order()) {
        if (option == counter && nextCounter < args.counterSignatureUrls.size())
            args.servers.push_back({args.counterSignatureUrls[nextCounter++].c_str(),
                                    FONTSEAL_TIMESTAMP_COUNTER_SIGNATURE});
        else if (option == rfc3161 && nextRfc3161 < args.rfc3161Urls.size())
            args.servers.push_back(
                {args.rfc3161Urls[nextRfc3161++].c_str(), FONTSEAL_TIMESTAMP_RFC3161});
    }
    if (args.requireTimestamp && args.servers.empty())
        return usage_error("attach",
                           "--require-timestamp needs --timestamp URL or "
                           "--timestamp-rfc3161 URL");
    if (args.signature.empty() == args.signatureDir.empty())
        return usage_error("attach", "give --signature FILE (one request) or --signature-dir DIR");
    std::vector<std::pair<std::string, std::string>> jobs;  // request, output
    if (!args.signature.empty()) {
        if (!args.outDir.empty() || args.paths.size() != 2)
            return usage_error("attach", "--signature FILE takes one REQUEST and its OUTPUT");
        jobs.emplace_back(args.paths[0], args.paths[1]);
    } else {
        if (args.outDir.empty())
            return usage_error("attach", "--signature-dir needs --out-dir DIR");
        if (args.paths.empty()) return usage_error("attach", "no requests given");
        struct stat st;
        if (::stat(args.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return usage_error("attach", "--out-dir " + args.outDir + " is not a directory");
        std::set<std::string> names;
        for (const std::string& request : args.paths) {
            std::string name = file_name_of(request);
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
                name.resize(name.size() - 5);
            if (!names.insert(name).second)
                return usage_error("attach", "two requests are for fonts named " + name);
            jobs.emplace_back(request, args.outDir + "/" + name);
        }
    }
    int failed = 0;
    for (const auto& job : jobs) {
        std::string error;
        bool unstamped = false;
        if (attach_one(args, job.first, job.second, error, unstamped)) {
            std::printf("signed %s -> %s\n", job.first.c_str(), job.second.c_str());
            if (unstamped)
                std::fprintf(stderr,
                             "fontseal attach: warning: %s was signed without a time stamp\n",
                             job.second.c_str());
        } else {
            ++failed;
            std::printf("FAILED %s: %s\n", job.first.c_str(), error.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("%zu signed, %d failed\n", jobs.size() - failed, failed);
    return failed ? kExitFailed : kExitOk;
}

}  // namespace

Command attach_command() {
    return {"attach", "put signatures made out of band into prepared fonts", kAttachUsage,
            [](CLI::App& app) -> std::function<int()> {
                auto args = std::make_shared<AttachArgs>();
                app.add_option("--cert", args->cert);
                auto* one = app.add_option("--signature", args->signature);
                auto* dir = app.add_option("--signature-dir", args->signatureDir);
                one->excludes(dir);
                app.add_option("--out-dir", args->outDir);
                app.add_option("--timestamp", args->counterSignatureUrls)->allow_extra_args(false);
                app.add_option("--timestamp-rfc3161", args->rfc3161Urls)->allow_extra_args(false);
                app.add_flag("--require-timestamp", args->requireTimestamp);
                app.add_option("paths", args->paths);
                return [&app, args]() { return run(app, *args); };
            }};
}

}  // namespace fontseal_cli

// SPDX-License-Identifier: Apache-2.0
// What the files of `fontseal sign` share: its arguments, the request every
// font is signed with, and the steps the command takes once its options are
// parsed.
#pragma once
#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "fontseal/fontseal.h"
#include "signer_command.h"

namespace fontseal_cli {
namespace sign_cmd {

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

// Prints "fontseal sign: MESSAGE" and the hint to --help; returns kExitUsage.
int usage(const std::string& message);

// Fills `args.timestampServers` in command-line order (sign_options.cpp).
void collect_timestamp_servers(const CLI::App& app, SignArgs& args);

// Checks what the parser cannot, the outputs last; returns -1 to go on, or an
// exit code.
int validate(const CLI::App& app, SignArgs& args);

// The time-stamp servers' URLs, comma-separated.
std::string server_list(const SignArgs& args);

// The name --digest gives for the request's digest number.
const char* digest_name(int32_t digest);

// Checks INPUT OUTPUT, --in-place or --out-dir (making DIR when missing);
// returns -1 to go on, or an exit code (sign_outputs.cpp).
int check_outputs(const CLI::App& app, const SignArgs& args);

// Refuses an OUTPUT that is a different font unless --force; returns -1 to
// go on, or an exit code.
int check_overwrite(const CLI::App& app, const SignArgs& args);

// The last part of `path`, after its last '/'.
std::string base_name(const std::string& path);

// `path` with every run of slashes made one.
std::string tidy_path(const std::string& path);

// Whether --key names a key on a token (a pkcs11: URI).
bool is_token_key(const std::string& key);

// The request every font of a run is signed with (sign_signer.cpp).
class Signer {
public:
    Signer(const CLI::App& app, const SignArgs& args, const std::string& password,
           bool havePassword);

    // Safe to call from several threads at once: each call has its own copy
    // of the request.
    int32_t sign(const std::string& input, const std::string& output,
                 fontseal_report& report) const;

private:
    const SignArgs& args_;
    const std::string& password_;
    fontseal_sign_request request_{};
};

// The line printed for a failure; `unasked`: no terminal could be asked for
// a password or PIN (sign_messages.cpp).
std::string failure_line(int32_t result, const fontseal_report& report, const SignArgs& args,
                         bool unasked);

// Whether a font meant to be time-stamped was signed without a time stamp.
bool unstamped(const SignArgs& args, const fontseal_report& report);

// Warns on standard error when `input` was signed without its time stamp.
void warn_if_unstamped(const SignArgs& args, const std::string& input,
                       const fontseal_report& report);

// Warns of the signer's certificate; with `said`, not again for the same words.
void warn_about_certificate(const fontseal_report& report, std::string* said = nullptr);

// Signs every INPUT of --out-dir or --in-place and prints a line per font and
// a summary; returns the exit code (sign_family.cpp).
int sign_family(const Signer& signer, const SignArgs& args, bool unasked);

}  // namespace sign_cmd
}  // namespace fontseal_cli

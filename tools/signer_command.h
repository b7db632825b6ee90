// SPDX-License-Identifier: Apache-2.0
// `fontseal sign --signer-command`: a key that never comes to this machine,
// reached through a program the user names (a cloud key service's CLI, a
// script around an HSM). For each font the program gets the bytes to sign on
// its standard input and answers with the signature on its standard output.
#pragma once
#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "fontseal/fontseal.h"

namespace fontseal_cli {

struct SignerCommandOptions {
    std::string command;             // as the user wrote it
    std::vector<std::string> words;  // split by split_command_words
    std::string input = "digest";    // or "digestinfo"
    double timeoutSeconds = 120;
    bool given = false;  // --signer-command was on the command line, even empty

    bool used() const { return given; }
};

// Declares --signer-command, --signer-input and --signer-timeout.
void add_signer_command_options(CLI::App& app, SignerCommandOptions& options);

// Splits a command line into words without a shell: blanks separate words;
// 'single quotes' keep everything up to the next single quote; "double
// quotes" keep everything, a backslash there escaping only " \ $ and ` (as
// in a POSIX shell, so a command copied from one keeps its meaning); outside
// quotes a backslash keeps the next character as it is. Nothing is expanded.
// False, with `error` set, for an unclosed quote or a trailing backslash.
bool split_command_words(const std::string& line, std::vector<std::string>& words,
                         std::string& error);

// Checks the options once parsed (and splits the command); returns an empty
// string, or the usage error.
std::string check_signer_command(SignerCommandOptions& options);

// A signature as a program or a file gives it: hexadecimal, else base64
// (standard or URL-safe; blanks and line breaks ignored), else the bytes as
// they are. A raw RSA signature is never all hex digits or base64
// characters but by a chance too small to count.
std::vector<uint8_t> decode_signature(const std::string& text);

// Signs request->input_path through the command: fills the request's signer
// fields and calls fontseal_sign. On a failure the report's message says
// what the command did, with the last line it wrote to standard error.
int32_t sign_with_signer_command(const SignerCommandOptions& options,
                                 fontseal_sign_request& request, fontseal_report& report);

// "sha256" for FONTSEAL_HASH_SHA256, and so on.
const char* hash_name(int32_t hash);

}  // namespace fontseal_cli

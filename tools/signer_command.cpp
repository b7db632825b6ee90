// SPDX-License-Identifier: Apache-2.0
#include "signer_command.h"

#include <cctype>
#include <cstring>

#include "process_runner.h"

extern char** environ;

namespace fontseal_cli {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

bool from_hex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.empty() || text.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_value(text[i]), low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

bool from_base64(std::string text, std::vector<uint8_t>& out) {
    while (!text.empty() && text.back() == '=') text.pop_back();
    if (text.empty() || text.size() % 4 == 1) return false;
    out.clear();
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const int v = base64_value(c);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return true;
}

// What the command is called by in messages: its first word.
std::string command_name(const SignerCommandOptions& options) {
    return options.words.empty() ? options.command : options.words[0];
}

struct CommandCall {
    const SignerCommandOptions* options;
    const char* font;
    std::string failure;  // why it did not sign, for the message
    std::string said;     // the last line of its standard error
};

int sign_through_command(void* context, int32_t hash, const uint8_t* digest, size_t digestLength,
                         const uint8_t* digestInfo, size_t digestInfoLength, uint8_t* signature,
                         size_t* signatureLength) {
    CommandCall& call = *static_cast<CommandCall*>(context);
    const SignerCommandOptions& options = *call.options;
    const bool wholeInfo = options.input == "digestinfo";
    std::vector<std::string> environment;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "FONTSEAL_DIGEST=", 16) != 0 &&
            std::strncmp(*e, "FONTSEAL_SIGN_INPUT=", 20) != 0 &&
            std::strncmp(*e, "FONTSEAL_FONT=", 14) != 0)
            environment.push_back(*e);
    }
    environment.push_back(std::string("FONTSEAL_DIGEST=") + hash_name(hash));
    environment.push_back("FONTSEAL_SIGN_INPUT=" + options.input);
    environment.push_back(std::string("FONTSEAL_FONT=") + call.font);
    const std::string input = wholeInfo ? std::string(digestInfo, digestInfo + digestInfoLength)
                                        : std::string(digest, digest + digestLength);
    const ProcessResult run =
        run_process(options.words, environment, input, options.timeoutSeconds);
    call.said = last_line(run.err);
    const std::string name = command_name(options);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", options.timeoutSeconds);
    if (!run.started)
        call.failure = "the signer command " + name + " could not be run for " + call.font + ": " +
                       run.startError;
    else if (run.timedOut)
        call.failure = "the signer command " + name + " did not finish within " + seconds +
                       " s for " + call.font + " and was stopped";
    else if (!run.exited)
        call.failure = "the signer command " + name + " was killed by signal " +
                       std::to_string(run.signal) + " while signing " + call.font;
    else if (run.exitStatus != 0)
        call.failure = "the signer command " + name + " failed for " + call.font +
                       " (exit status " + std::to_string(run.exitStatus) + ")";
    else if (run.out.find_first_not_of(" \t\r\n") == std::string::npos)
        call.failure = "the signer command " + name + " printed no signature for " + call.font;
    if (!call.failure.empty()) return 1;
    // The library checks the signature's length and value.
    const std::vector<uint8_t> decoded = decode_signature(run.out);
    if (decoded.size() > *signatureLength) {
        *signatureLength = decoded.size();
        return 0;
    }
    std::memcpy(signature, decoded.data(), decoded.size());
    *signatureLength = decoded.size();
    return 0;
}

}  // namespace

const char* hash_name(int32_t hash) {
    switch (hash) {
        case FONTSEAL_HASH_SHA384:
            return "sha384";
        case FONTSEAL_HASH_SHA512:
            return "sha512";
        case FONTSEAL_HASH_SHA1:
            return "sha1";
        case FONTSEAL_HASH_MD5:
            return "md5";
        default:
            return "sha256";
    }
}

bool split_command_words(const std::string& line, std::vector<std::string>& words,
                         std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '\'') {
            const size_t close = line.find('\'', i + 1);
            if (close == std::string::npos) {
                error = "unclosed ' in the signer command";
                return false;
            }
            word += line.substr(i + 1, close - i - 1);
            inWord = true;
            i = close;
        } else if (c == '"') {
            inWord = true;
            for (++i;; ++i) {
                if (i >= line.size()) {
                    error = "unclosed \" in the signer command";
                    return false;
                }
                if (line[i] == '"') break;
                if (line[i] == '\\' && i + 1 < line.size() &&
                    std::strchr("\"\\$`", line[i + 1]))
                    ++i;
                word += line[i];
            }
        } else if (c == '\\') {
            if (i + 1 >= line.size()) {
                error = "the signer command ends with a lone backslash";
                return false;
            }
            word += line[++i];
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return true;
}

std::vector<uint8_t> decode_signature(const std::string& text) {
    std::string compact;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) compact += c;
    }
    std::vector<uint8_t> out;
    if (from_hex(compact, out) || from_base64(compact, out)) return out;
    return std::vector<uint8_t>(text.begin(), text.end());
}

void add_signer_command_options(CLI::App& app, SignerCommandOptions& options) {
    app.add_option("--signer-command", options.command)->each([&options](const std::string&) {
        options.given = true;
    });
    app.add_option("--signer-input", options.input)
        ->check(CLI::IsMember({"digest", "digestinfo"}, CLI::ignore_case));
    app.add_option("--signer-timeout", options.timeoutSeconds)->check(CLI::Range(0.001, 86400.0));
}

std::string check_signer_command(SignerCommandOptions& options) {
    for (char& c : options.input)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!options.used()) return std::string();
    std::string error;
    if (!split_command_words(options.command, options.words, error)) return error;
    if (options.words.empty()) return "--signer-command names no program";
    return std::string();
}

int32_t sign_with_signer_command(const SignerCommandOptions& options,
                                 fontseal_sign_request& request, fontseal_report& report) {
    CommandCall call{&options, request.input_path, std::string(), std::string()};
    request.signer = sign_through_command;
    request.signer_context = &call;
    const int32_t result = fontseal_sign(&request, &report);
    std::string line;
    if (result == FONTSEAL_E_SIGNER && !call.failure.empty())
        line = call.failure;
    else if (result == FONTSEAL_E_SIGNER_SIGNATURE)
        line = report.message;
    else
        return result;
    // The command's own words go before the end of the library's line.
    const size_t tail = line.find("; nothing was written");
    if (tail != std::string::npos) line.erase(tail);
    if (!call.said.empty()) line += ": " + call.said;
    line += "; nothing was written (code " + std::to_string(result) + ")";
    std::snprintf(report.message, sizeof report.message, "%s", line.c_str());
    return result;
}

}  // namespace fontseal_cli

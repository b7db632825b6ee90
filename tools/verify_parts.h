// SPDX-License-Identifier: Apache-2.0
// What the files of `fontseal verify` share: its arguments, the verdicts of a
// run, the words both the text and the page use for a report, and the steps
// the command takes once its options are parsed.
#pragma once
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "fontseal/fontseal.h"

namespace fontseal_cli {
namespace verify_cmd {

struct VerifyArgs {
    std::string caFile;
    std::string caPath;
    bool systemRoots = false;
    std::vector<std::string> untrusted, crlFiles;
    bool online = false, requireTimestamp = false, requireChain = false,
         requireRevocationCheck = false;
    std::string minDigest, at;
    int64_t atTime = 0;
    bool json = false;
    std::string html;
    bool allowUnsigned = false;
    std::vector<std::string> fonts;
};

struct Verified {
    std::string font;
    fontseal_verify_report report;
    bool failed;  // counts against the exit status
};

// The verdicts of a run, counted.
struct Counts {
    size_t fonts = 0, valid = 0, failed = 0, unsignedAllowed = 0;
    void add(int32_t result, bool failedFont) {
        ++fonts;
        if (result == FONTSEAL_OK) ++valid;
        if (failedFont) ++failed;
        if (result == FONTSEAL_E_UNSIGNED && !failedFont) ++unsignedAllowed;
    }
    std::string text() const {
        std::string line = std::to_string(fonts) + (fonts == 1 ? " font: " : " fonts: ") +
                           std::to_string(valid) + " valid, " + std::to_string(failed) + " failed";
        if (unsignedAllowed) line += ", " + std::to_string(unsignedAllowed) + " unsigned (allowed)";
        return line;
    }
};

// Checks what the parser cannot (cmd_verify.cpp); returns -1 to go on, or an
// exit code. Sets `args.atTime` from --at.
int validate(VerifyArgs& args);

// Verifies every font, prints the text or JSON verdicts and writes the page;
// returns the exit code (verify_run.cpp).
int run(const VerifyArgs& args);

// Whether revocation was asked for, so that its outcome is shown.
bool revocation_asked(const VerifyArgs& args);

// "YYYY-MM-DD HH:MM:SS UTC" of `seconds`; empty for 0.
std::string utc_text(int64_t seconds);

// "valid", "unsigned" or "invalid".
const char* status_of(const fontseal_verify_report& r);

// Whether the signature's digest is one a collision can be made for.
bool weak_digest(const fontseal_verify_report& r);

// The table order the digest matched, in words.
const char* order_words(const fontseal_verify_report& r);

// The report's message without the font's name in front of it.
std::string reason(const std::string& font, const fontseal_verify_report& r);

// Whether the revocation outcome is shown: where asked for, or where it failed.
bool show_revocation(const fontseal_verify_report& r, bool asked);

// One font's JSON object; `each` holds its signatures judged one by one
// (verify_json.cpp).
nlohmann::json as_json(const std::string& font, const fontseal_verify_report& r,
                       const std::vector<fontseal_verify_report>& each);

// The self-contained HTML page of a run (verify_html.cpp).
std::string html_page(const std::vector<Verified>& all, const Counts& counts,
                      const VerifyArgs& args);

// What every page we write carries, so that a later run knows it as ours.
extern const char kGeneratorTag[];

// Why `path` may not take the report, or empty when it may (report_file.cpp).
std::string report_refusal(const std::string& path, const std::vector<std::string>& fonts);

// Replaces `path` by `content` whole or not at all; false with `error` set.
bool write_atomically(const std::string& path, const std::string& content, std::string& error);

}  // namespace verify_cmd
}  // namespace fontseal_cli

// SPDX-License-Identifier: Apache-2.0
#include "api/messages.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "font/ot_errors.h"
#include "platform/regular_file.h"

namespace fontseal {

namespace {

// The file a message names.
enum class Subject { kInput, kOutput, kCert, kKey, kCertAndKey, kTimestamp, kPinSource };

struct Explanation {
    int32_t first;  // the public codes this line explains, first..last
    int32_t last;
    Subject subject;
    const char* before;  // text before the file name
    const char* after;   // text after it
};

// One line per public result code; the internal fault codes, which the
// library passes through, by their documented ranges.
const Explanation kExplanations[] = {
    {FONTSEAL_E_INTERNAL, FONTSEAL_E_INTERNAL, Subject::kInput, "internal failure while signing ",
     " (out of memory or a malformed structure)"},
    {FONTSEAL_E_FONT_OBJECT, FONTSEAL_E_FONT_OBJECT, Subject::kInput,
     "internal font-layer fault while processing ", ""},
    {FONTSEAL_E_INPUT_OPEN, FONTSEAL_E_INPUT_OPEN, Subject::kInput, "cannot open input font ", ""},
    {FONTSEAL_E_OUTPUT_CREATE, FONTSEAL_E_OUTPUT_CREATE, Subject::kOutput,
     "cannot create output font ", ""},
    {FONTSEAL_E_FONT_DIRECTORY, FONTSEAL_E_FONT_DIRECTORY, Subject::kInput, "",
     " is not a usable font: its table directory is damaged"},
    {FONTSEAL_E_CERT_OPEN, FONTSEAL_E_CERT_OPEN, Subject::kCert, "cannot open certificate file ",
     ""},
    {FONTSEAL_E_NO_CERTIFICATE, FONTSEAL_E_NO_CERTIFICATE, Subject::kCert,
     "no certificate could be read from ",
     " (expected DER, PEM or base64, a single certificate or a PKCS#7 bundle)"},
    {FONTSEAL_E_KEY_OPEN, FONTSEAL_E_KEY_OPEN, Subject::kKey, "cannot open private-key file ", ""},
    {FONTSEAL_E_KEY_READ, FONTSEAL_E_KEY_READ, Subject::kKey, "cannot read private-key file ",
     " (it is damaged or truncated)"},
    {FONTSEAL_E_KEY_TYPE, FONTSEAL_E_KEY_TYPE, Subject::kKey, "the key in ",
     " cannot sign fonts: only RSA keys can"},
    {FONTSEAL_E_KEY_FORMAT, FONTSEAL_E_KEY_FORMAT, Subject::kKey, "",
     " is not a private-key file in any known form (PVK, PEM, PKCS#8 or PKCS#12)"},
    {FONTSEAL_E_REQUEST, FONTSEAL_E_REQUEST, Subject::kInput, "malformed request for ",
     " (a required field is missing or a field has no allowed value)"},
    {FONTSEAL_E_KEY_ITERATIONS, FONTSEAL_E_KEY_ITERATIONS, Subject::kKey, "the key file ",
     " asks for more than 10000000 key-derivation iterations and is refused (export it "
     "again with a usual count)"},
    {FONTSEAL_E_KEY_PASSWORD, FONTSEAL_E_KEY_PASSWORD, Subject::kKey,
     "the password does not open the private-key file ", ""},
    {FONTSEAL_E_NO_MATCHING_CERT, FONTSEAL_E_NO_MATCHING_CERT, Subject::kCertAndKey, "", ""},
    {FONTSEAL_E_TIMESTAMP, FONTSEAL_E_TIMESTAMP, Subject::kTimestamp, "", ""},
    {FONTSEAL_E_TOKEN_MODULE, FONTSEAL_E_TOKEN_MODULE, Subject::kKey,
     "cannot load the PKCS#11 module for ",
     " (set FONTSEAL_PKCS11_MODULE or the URI's module-path to the module's file)"},
    {FONTSEAL_E_TOKEN, FONTSEAL_E_TOKEN, Subject::kKey, "cannot use the token key ",
     " (no initialised token, private key or certificate matches it, or the token failed)"},
    {FONTSEAL_E_TOKEN_PIN, FONTSEAL_E_TOKEN_PIN, Subject::kKey,
     "the token refused the PIN, or none was given, for ",
     " (it was tried once and not again: tokens lock after a few wrong PINs)"},
    {FONTSEAL_E_TOKEN_PIN_LOCKED, FONTSEAL_E_TOKEN_PIN_LOCKED, Subject::kKey,
     "the token's PIN is locked for ", ""},
    {FONTSEAL_E_SIGNER, FONTSEAL_E_SIGNER, Subject::kInput, "the external signer could not sign ",
     "; nothing was written"},
    {FONTSEAL_E_SIGNER_SIGNATURE, FONTSEAL_E_SIGNER_SIGNATURE, Subject::kCert,
     "the external signer's signature does not verify under the key of the first "
     "certificate in ",
     "; nothing was written"},
    {FONTSEAL_E_TOKEN_PIN_SOURCE, FONTSEAL_E_TOKEN_PIN_SOURCE, Subject::kPinSource, "", ""},
    {FONTSEAL_E_UNSIGNED, FONTSEAL_E_UNSIGNED, Subject::kInput, "", " carries no signature"},
    {FONTSEAL_E_NOT_VERIFIED, FONTSEAL_E_NOT_VERIFIED, Subject::kInput, "",
     " does not verify: a check of its signature failed"},
    {FONTSEAL_E_CA_FILE, FONTSEAL_E_CA_FILE, Subject::kCert, "cannot use the roots file ",
     " (it cannot be read, is not a regular file, or holds no certificate)"},
    {FONTSEAL_E_CONTENT, FONTSEAL_E_CONTENT, Subject::kInput,
     "cannot build the content to be signed for ", ""},
    {FONTSEAL_E_SIGN, FONTSEAL_E_SIGN, Subject::kInput, "signing failed for ", ""},
    {FONTSEAL_E_STREAM_FIRST, FONTSEAL_E_STREAM_LAST, Subject::kOutput, "cannot write output font ",
     " completely (a file could not be read or written in full: disk full?)"},
    {FONTSEAL_E_DATA_FIRST, FONTSEAL_E_DATA_LAST, Subject::kInput,
     "malformed data while building the signature for ", ""},
};

// What an input that is not a usable font is, when the font layer could tell.
const char* font_kind(int32_t detail) {
    switch (detail) {
        case kOtWoff:
            return " is a WOFF web font: decompress it first";
        case kOtWoff2:
            return " is a WOFF2 web font: decompress it first";
        case kOtCollection:
            return " is a font collection: this entry point signs single fonts only";
        case kOtWoffMember:
            return " is a font collection with a member wrapped as WOFF or WOFF2: not supported "
                   "(a collection holds uncompressed fonts)";
        case kOtTooManyMembers:
            return " is a font collection of more than 1024 fonts: not supported";
        case kOtCollectionDirectory:
            return " is not a usable font collection: its header or a member's directory is "
                   "damaged (tables that overlap one another or a directory, or lie outside the "
                   "file)";
        case kOtNotSfnt:
            return " is not a TrueType or OpenType font";
        case kOtTooLarge:
            return " is too large: a font's tables must lie within 2 GiB";
        case kOtFaultEmpty:
            return " is an empty file, not a font";
        case kOtFaultShortDirectory:
            return " is not a usable font: the file ends inside its table directory";
        case kOtFaultNoTables:
            return " is not a usable font: its table directory lists no tables";
        case kOtFaultTooManyTables:
            return " is not a usable font, its table directory is damaged: it lists more than 256 "
                   "tables";
        case kOtFaultDuplicateTable:
            return " is not a usable font, its table directory is damaged: it lists a table tag "
                   "twice";
        case kOtFaultPastEnd:
            return " is not a usable font, its table directory is damaged: a table reaches past "
                   "the end of the file";
        case kOtFaultOverlap:
            return " is not a usable font, its table directory is damaged: two of its tables "
                   "overlap, or a table overlaps the table directory";
        case kOtFaultShortHead:
            return " is not a usable font, its table directory is damaged: its head table is too "
                   "short";
        case kOtFaultTooManyToWrite:
            return " cannot be signed: with its DSIG table it would have more than 256 tables, "
                   "more than fontseal reads";
        default:
            return nullptr;
    }
}

// Why a file could not be opened or created, after the file's name.
std::string file_reason(int32_t detail) {
    return detail != 0 ? ": " + file_fault_text(detail) : std::string();
}

// Why the certificate or key file at `path` cannot be opened, asked again
// for the message (the open neither waits nor reads).
std::string open_reason(const std::string& path) {
    int reason = 0;
    const int handle = open_regular_file(path.c_str(), &reason);
    if (handle >= 0) ::close(handle);
    return file_reason(reason);
}

std::string explain(int32_t code, const CallFiles& f, int32_t detail) {
    if (code == FONTSEAL_E_FONT_DIRECTORY && font_kind(detail)) return f.input + font_kind(detail);
    // No certificate file was named: the key file was to carry them.
    if (code == FONTSEAL_E_NO_CERTIFICATE && f.cert.empty() && !f.key.empty())
        return "no certificate to sign with: " + f.key +
               " holds only a key (name a certificate file, or use a PKCS#12 file that "
               "carries its certificates)";
    if (code == FONTSEAL_E_INPUT_OPEN && detail != 0)
        return "cannot open input font " + f.input + file_reason(detail);
    if (code == FONTSEAL_E_OUTPUT_CREATE && detail != 0)
        return "cannot create output font " + f.output + file_reason(detail);
    if (code == FONTSEAL_E_CERT_OPEN && !f.cert.empty())
        return "cannot open certificate file " + f.cert + open_reason(f.cert);
    if (code == FONTSEAL_E_KEY_OPEN && !f.key.empty())
        return "cannot open private-key file " + f.key + open_reason(f.key);
    for (const Explanation& e : kExplanations) {
        if (code < e.first || code > e.last) continue;
        switch (e.subject) {
            case Subject::kInput:
                return e.before + f.input + e.after;
            case Subject::kOutput:
                return e.before + f.output + e.after;
            case Subject::kCert:
                return e.before + f.cert + e.after;
            case Subject::kKey:
                return e.before + f.key + e.after;
            case Subject::kCertAndKey:
                return "none of the certificates in " + f.cert + " belongs to the key in " + f.key;
            case Subject::kPinSource: {
                // The source's name only, never what it holds.
                const char* source = std::getenv("FONTSEAL_PIN_SOURCE");
                return "cannot read the PIN for " + f.key + " from FONTSEAL_PIN_SOURCE" +
                       (source ? std::string("=") + source : std::string()) +
                       " (no such file or variable, a directory, nothing in it, a first line "
                       "longer than 4096 bytes, or not file:PATH or env:NAME); the token was "
                       "not asked";
            }
            case Subject::kTimestamp:
                return "no valid time stamp for " + f.input + " from " + f.timestampServers +
                       "; nothing was written";
        }
    }
    return "signing " + f.input + " failed";
}

}  // namespace

std::string explain_result(int32_t code, const CallFiles& files, int32_t detail) {
    return explain(code, files, detail);
}

std::string describe_result(int32_t code, const CallFiles& files, int32_t detail) {
    return explain(code, files, detail) + " (code " + std::to_string(code) + ")";
}

int32_t fill_report(fontseal_report* report, int32_t code, const CallFiles& files,
                    int32_t detail) {
    if (!report ||
        !struct_covers(report->size, offsetof(fontseal_report, result), sizeof report->result))
        return code;
    report->result = code;
    report_timestamp(report, -1, 0);
    report_timestamp_warning(report, "");
    if (!struct_covers(report->size, offsetof(fontseal_report, message), sizeof report->message))
        return code;
    std::string text = code == FONTSEAL_OK ? std::string() : describe_result(code, files, detail);
    size_t n = std::min(text.size(), sizeof report->message - 1);
    std::memcpy(report->message, text.data(), n);
    report->message[n] = '\0';
    return code;
}

void report_timestamp(fontseal_report* report, int32_t server, int64_t time) {
    if (!report) return;
    if (struct_covers(report->size, offsetof(fontseal_report, timestamp_server),
                      sizeof report->timestamp_server))
        report->timestamp_server = server;
    if (struct_covers(report->size, offsetof(fontseal_report, timestamp_time),
                      sizeof report->timestamp_time))
        report->timestamp_time = time;
}

void report_timestamp_warning(fontseal_report* report, const std::string& text) {
    if (!report || !struct_covers(report->size, offsetof(fontseal_report, timestamp_warning),
                                  sizeof report->timestamp_warning))
        return;
    const size_t n = std::min(text.size(), sizeof report->timestamp_warning - 1);
    std::memcpy(report->timestamp_warning, text.data(), n);
    report->timestamp_warning[n] = '\0';
}

}  // namespace fontseal

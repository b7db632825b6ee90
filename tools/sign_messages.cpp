// SPDX-License-Identifier: Apache-2.0
// What `fontseal sign` says beside its verdicts: why a font failed, and the
// warnings for a missing time stamp or a certificate verifying will refuse.
#include <cstdio>
#include <string>

#include "printable.h"
#include "sign_parts.h"

namespace fontseal_cli {
namespace sign_cmd {

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
    std::fprintf(
        stderr,
        "fontseal sign: warning: %s was signed without a time stamp: no valid time "
        "stamp from %s\n",
        printable(input).c_str(),
        printable(report.timestamp_warning[0] ? report.timestamp_warning : server_list(args))
            .c_str());
    std::fflush(stderr);
}

// A certificate that verifying will refuse is worth a word too; a family
// signed with it hears it once.
void warn_about_certificate(const fontseal_report& report, std::string* said) {
    if (!report.certificate_warning[0]) return;
    const std::string line = printable(report.certificate_warning);
    if (said) {
        if (*said == line) return;
        *said = line;
    }
    std::fprintf(stderr, "fontseal sign: warning: %s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace sign_cmd
}  // namespace fontseal_cli

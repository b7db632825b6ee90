// SPDX-License-Identifier: Apache-2.0
// The request `fontseal sign` makes of every font, and where its secret goes.
#include <strings.h>

#include <string>

#include "sign_parts.h"
#include "signer_command.h"

namespace fontseal_cli {
namespace sign_cmd {

bool is_token_key(const std::string& key) { return strncasecmp(key.c_str(), "pkcs11:", 7) == 0; }

Signer::Signer(const CLI::App& app, const SignArgs& args, const std::string& password,
               bool havePassword)
    : args_(args), password_(password) {
    request_.size = sizeof request_;
    request_.cert_path = args.cert.empty() ? nullptr : args.cert.c_str();
    request_.key_path = args.key.empty() ? nullptr : args.key.c_str();
    request_.store_thumbprint = args.store.empty() ? nullptr : args.store.c_str();
    request_.password = havePassword ? password_.data() : nullptr;
    request_.password_length = havePassword ? password_.size() : 0;
    request_.digest = args.digest;
    request_.statement = args.statement;
    request_.program_name = app.count("--program-name") ? args.programName.c_str() : nullptr;
    request_.more_info_url = app.count("--info-url") ? args.infoUrl.c_str() : nullptr;
    request_.timestamp_servers = args.timestampServers.data();
    request_.timestamp_server_count = args.timestampServers.size();
    request_.require_timestamp = args.requireTimestamp ? 1 : 0;
    // A token key's secret is its PIN; it goes nowhere else. A store
    // entry may be on a token too.
    if (is_token_key(args.key) || !args.store.empty()) {
        request_.password = nullptr;
        request_.password_length = 0;
        request_.pin = havePassword ? password_.data() : nullptr;
        request_.pin_length = havePassword ? password_.size() : 0;
    }
}

int32_t Signer::sign(const std::string& input, const std::string& output,
                     fontseal_report& report) const {
    fontseal_sign_request request = request_;
    request.input_path = input.c_str();
    request.output_path = output.c_str();
    report = fontseal_report();
    report.size = sizeof report;
    if (args_.signerCommand.used())
        return sign_with_signer_command(args_.signerCommand, request, report);
    return fontseal_sign(&request, &report);
}

}  // namespace sign_cmd
}  // namespace fontseal_cli

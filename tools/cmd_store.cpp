// SPDX-License-Identifier: Apache-2.0
#include <cstddef>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "fontseal/store.h"
#include "password.h"
#include "printable.h"

namespace fontseal_cli {

namespace {

const char kStoreUsage[] =
    "Usage: fontseal store list [--json]\n"
    "       fontseal store import [--cert FILE] [--key FILE] [--password-file FILE |\n"
    "                             --password-env NAME] [--name TEXT]\n"
    "       fontseal store remove THUMBPRINT\n"
    "\n"
    "Look after the current user's certificate store, the one 'fontseal sign --store'\n"
    "signs from: $XDG_DATA_HOME/fontseal/certstore/MY (by default\n"
    "~/.local/share/fontseal/certstore/MY). An entry is named by its thumbprint, the\n"
    "SHA-1 of its certificate in 40 hex digits; a prefix of at least 8 digits that\n"
    "only one entry starts with will do.\n"
    "\n"
    "The store also shows the certificates on every initialised token of the PKCS#11\n"
    "module FONTSEAL_PKCS11_MODULE names (by default p11-kit's proxy, which gathers\n"
    "the system's modules). Their keys stay on the token, which signs; its PIN is\n"
    "asked for when signing ('fontseal sign --help'). Token entries are managed with\n"
    "the token's own tools.\n"
    "\n"
    "list:\n"
    "  Print every entry: its index, subject, issuer, friendly name, validity,\n"
    "  thumbprint, the token it is on, and whether a private key is stored for it\n"
    "  (a token that hides its keys until login makes that unknown).\n"
    "  --json                 print one JSON array of objects instead\n"
    "\n"
    "import:\n"
    "  Add certificates and print the thumbprint of the (first) entry. With a key,\n"
    "  only the certificate the key belongs to is added, and the key is stored\n"
    "  beside it unencrypted, readable by the user alone.\n"
    "  --cert FILE            certificates: DER, PEM, base64, or a PKCS#7 bundle\n"
    "                         (.p7b, DER or PEM); may be left out when the key file\n"
    "                         is PKCS#12 with certificates\n"
    "  --key FILE             private key: PVK, PEM (PKCS#1 or PKCS#8, encrypted or\n"
    "                         not), DER PKCS#8, or PKCS#12 (.pfx/.p12); RSA only\n"
    "  --password-file FILE   read the key password from the first line of FILE\n"
    "                         (- for standard input; at most 4096 bytes)\n"
    "  --password-env NAME    read the key password from environment variable NAME\n"
    "                         Without either, an encrypted key's password is asked\n"
    "                         for on the terminal.\n"
    "  --name TEXT            friendly name of the entry (an empty one removes it)\n"
    "\n"
    "remove:\n"
    "  Remove the entry named by THUMBPRINT, with its key and name (not a token's).\n"
    "\n"
    "  -h, --help             show this help\n"
    "\n"
    "Exit status: 0 success, 1 the store could not be read or changed, 2 usage error.\n";

struct StoreArgs {
    bool json = false;
    std::string cert;
    std::string key;
    std::string passwordFile;
    std::string passwordEnv;
    std::string name;
    bool nameGiven = false;  // without --name, an entry keeps the name it has
    std::string thumbprint;
};

fontseal_store_report new_report() {
    fontseal_store_report report{};
    report.size = sizeof report;
    return report;
}

int failed(const fontseal_store_report& report) {
    std::fprintf(stderr, "fontseal store: %s\n", printable(report.message).c_str());
    return kExitFailed;
}

// ---- list ------------------------------------------------------------------

// The chain count of an entry listed by a library that knows it.
int32_t chain_count(const fontseal_store_entry* e) {
    return e->size >= offsetof(fontseal_store_entry, chain_count) + sizeof e->chain_count
               ? e->chain_count
               : 0;
}

// Every text of an entry comes from a certificate, a token or the user's
// files: printed only once made harmless to the terminal.
int32_t add_json(const fontseal_store_entry* e, void* context) {
    static_cast<nlohmann::ordered_json*>(context)->push_back({
        {"index", e->index},
        {"subject", printable(e->subject)},
        {"issuer", printable(e->issuer)},
        {"friendly_name", printable(e->friendly_name)},
        {"valid_from", printable(e->valid_from)},
        {"valid_to", printable(e->valid_to)},
        {"thumbprint", printable(e->thumbprint)},
    });
    nlohmann::ordered_json& entry = static_cast<nlohmann::ordered_json*>(context)->back();
    // Unknown until the token's user logs in: neither true nor false.
    entry["has_private_key"] =
        e->has_private_key < 0 ? nlohmann::ordered_json(nullptr)
                               : nlohmann::ordered_json(e->has_private_key != 0);
    entry["token"] = e->token_label[0] || e->token_serial[0]
                         ? nlohmann::ordered_json{{"label", printable(e->token_label)},
                                                  {"serial", printable(e->token_serial)}}
                         : nlohmann::ordered_json(nullptr);
    entry["key"] = printable(e->key_locator);
    entry["chain_certificates"] = chain_count(e);
    return 0;
}

int32_t print_entry(const fontseal_store_entry* e, void*) {
    std::printf(
        "[%d] %s\n"
        "    issuer:        %s\n"
        "    friendly name: %s\n"
        "    valid:         %s to %s\n"
        "    thumbprint:    %s\n",
        e->index, printable(e->subject).c_str(), printable(e->issuer).c_str(),
        printable(e->friendly_name).c_str(), printable(e->valid_from).c_str(),
        printable(e->valid_to).c_str(), printable(e->thumbprint).c_str());
    const bool token = e->token_label[0] || e->token_serial[0];
    if (token)
        std::printf("    on token:      %s (serial %s)\n", printable(e->token_label).c_str(),
                    printable(e->token_serial).c_str());
    const int32_t chain = chain_count(e);
    if (chain > 0)
        std::printf("    chain:         %d issuing certificate%s kept with it\n", chain,
                    chain == 1 ? "" : "s");
    else
        std::printf("    chain:         none kept (signatures carry only this certificate)\n");
    std::printf("    private key:   %s\n",
                e->has_private_key < 0 ? "unknown until login (the token hides its keys)"
                : e->has_private_key   ? (token ? "yes, on the token" : "yes")
                                       : "no");
    return 0;
}

int list(const StoreArgs& args) {
    fontseal_store_report report = new_report();
    if (args.json) {
        nlohmann::ordered_json entries = nlohmann::ordered_json::array();
        if (fontseal_store_list(add_json, &entries, &report) < 0) return failed(report);
        // Names come from certificates: replace what is not UTF-8 rather than fail.
        std::puts(
            entries.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return kExitOk;
    }
    const int32_t count = fontseal_store_list(print_entry, nullptr, &report);
    if (count < 0) return failed(report);
    if (count == 0) std::puts("no certificates in the store");
    return kExitOk;
}

// ---- import ----------------------------------------------------------------

int import(const StoreArgs& args) {
    const bool haveKey = !args.key.empty();
    if (args.cert.empty() && !haveKey)
        return usage_error("store", "import needs --cert FILE, --key FILE or both");
    PasswordSource source;
    if (!args.passwordFile.empty()) source = {PasswordSource::kFile, args.passwordFile};
    if (!args.passwordEnv.empty()) source = {PasswordSource::kEnv, args.passwordEnv};
    if (!haveKey && source.kind != PasswordSource::kNone)
        return usage_error("store", "a password is only used with --key FILE");
    bool unasked = false;
    std::string password, error;
    if (haveKey && source.kind == PasswordSource::kNone &&
        !choose_password_source(args.key, source, unasked, error)) {
        std::fprintf(stderr, "fontseal store: %s\n", printable(error).c_str());
        return kExitFailed;
    }
    if (!read_password(source, args.key, password, error)) {
        std::fprintf(stderr, "fontseal store: %s\n", printable(error).c_str());
        return kExitFailed;
    }
    struct Wipe {
        std::string& secret;
        ~Wipe() { wipe(secret); }
    } wipe_password{password};

    fontseal_store_import_request request{};
    request.size = sizeof request;
    request.cert_path = args.cert.empty() ? nullptr : args.cert.c_str();
    request.key_path = haveKey ? args.key.c_str() : nullptr;
    const bool havePassword = source.kind != PasswordSource::kNone;
    request.password = havePassword ? password.data() : nullptr;
    request.password_length = havePassword ? password.size() : 0;
    request.friendly_name = args.nameGiven ? args.name.c_str() : nullptr;
    fontseal_store_report report = new_report();
    const int32_t result = fontseal_store_import(&request, &report);
    if (result == FONTSEAL_E_KEY_PASSWORD && unasked) {
        std::fprintf(stderr,
                     "fontseal store: the key file %s needs a password and there is no "
                     "terminal to ask for it; use --password-file FILE or --password-env NAME "
                     "(code %d)\n",
                     printable(args.key).c_str(), result);
        return kExitFailed;
    }
    if (result != FONTSEAL_OK) return failed(report);
    std::puts(report.thumbprint);
    return kExitOk;
}

// ---- remove ----------------------------------------------------------------

int remove(const StoreArgs& args) {
    fontseal_store_report report = new_report();
    if (fontseal_store_remove(args.thumbprint.c_str(), &report) != FONTSEAL_OK)
        return failed(report);
    std::printf("removed %s\n", report.thumbprint);
    return kExitOk;
}

// The actions' options are their own; -h and --help fall through to the
// command's, which prints the one usage text.
CLI::App* action(CLI::App& app, const char* name) {
    CLI::App* sub = app.add_subcommand(name);
    sub->set_help_flag();
    sub->fallthrough();
    return sub;
}

}  // namespace

Command store_command() {
    return {"store", "list, import and remove the certificates of the user's store", kStoreUsage,
            [](CLI::App& app) -> std::function<int()> {
                auto args = std::make_shared<StoreArgs>();
                CLI::App* listing = action(app, "list");
                listing->add_flag("--json", args->json);
                CLI::App* importing = action(app, "import");
                importing->add_option("--cert", args->cert);
                importing->add_option("--key", args->key);
                auto* file = importing->add_option("--password-file", args->passwordFile);
                auto* env = importing->add_option("--password-env", args->passwordEnv);
                file->excludes(env);
                importing->add_option("--name", args->name);
                CLI::App* removing = action(app, "remove");
                removing->add_option("thumbprint", args->thumbprint)->required();
                app.require_subcommand(0, 1);
                return [listing, importing, removing, args]() {
                    if (listing->parsed()) return list(*args);
                    args->nameGiven = importing->count("--name") > 0;
                    if (importing->parsed()) return import(*args);
                    if (removing->parsed()) return remove(*args);
                    return usage_error("store", "expected list, import or remove");
                };
            }};
}

}  // namespace fontseal_cli

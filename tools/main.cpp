// fontseal: sign TrueType and OpenType fonts.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"

namespace {

const char kUsage[] =
    "Usage: fontseal COMMAND [OPTIONS] ...\n"
    "\n"
    "Digitally sign TrueType and OpenType fonts (a PKCS#7 signature in a DSIG table).\n"
    "\n"
    "Commands:\n"
    "  sign     sign a font, or a family of fonts, with a certificate and a PVK key\n"
    "  strip    write a font without its DSIG table, laid out as the signer lays it out\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help, or a command's help with COMMAND --help\n"
    "  --version      show the version\n"
    "\n"
    "Run 'fontseal COMMAND --help' for a command's options.\n"
    "Exit status: 0 success, 1 a font could not be signed or written, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return fontseal_cli::kExitUsage;
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return fontseal_cli::kExitOk;
    }
    if (command == "--version") {
        std::puts("fontseal " FONTSEAL_VERSION);
        return fontseal_cli::kExitOk;
    }
    if (command == "sign") return fontseal_cli::run_sign(argc - 1, argv + 1);
    if (command == "strip") return fontseal_cli::run_strip(argc - 1, argv + 1);
    std::fprintf(stderr, "fontseal: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return fontseal_cli::kExitUsage;
}

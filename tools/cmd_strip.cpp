#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "result_messages.h"

namespace fontseal_cli {

namespace {

const char kStripUsage[] =
    "Usage: fontseal strip INPUT OUTPUT\n"
    "\n"
    "Write INPUT without its DSIG table to OUTPUT. The font is laid out exactly as\n"
    "'fontseal sign' lays out the bytes it signs: table directory in tag order,\n"
    "table data in the recommended order, 4-byte padding and a recomputed head\n"
    "checkSumAdjustment. OUTPUT may be INPUT itself; it is replaced only when\n"
    "the new font has been written completely.\n";

}  // namespace

int run_strip(int argc, char** argv) {
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kStripUsage, stdout);
            return kExitOk;
        }
        if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            std::fprintf(stderr, "fontseal strip: unknown option '%s'\n\n%s", arg.c_str(),
                         kStripUsage);
            return kExitUsage;
        }
        if (arg == "--") {
            for (++i; i < argc; ++i) paths.push_back(argv[i]);
            break;
        }
        paths.push_back(arg);
    }
    if (paths.size() != 2) {
        std::fprintf(stderr, "fontseal strip: expected INPUT and OUTPUT\n\n%s", kStripUsage);
        return kExitUsage;
    }
    int32_t result = fontseal_strip(paths[0].c_str(), paths[1].c_str());
    if (result != 0) {
        SignFiles files{paths[0], paths[1], "", ""};
        std::fprintf(stderr, "fontseal strip: %s\n", describe_result(result, files).c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace fontseal_cli

// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "printable.h"

namespace fontseal_cli {

namespace {

const char kStripUsage[] =
    "Usage: fontseal strip INPUT OUTPUT\n"
    "\n"
    "Write INPUT without its DSIG table to OUTPUT. The font is laid out exactly as\n"
    "'fontseal sign' lays out the bytes it signs: table directory in tag order,\n"
    "table data in the recommended order, 4-byte padding and a recomputed head\n"
    "checkSumAdjustment. OUTPUT may be INPUT itself; it is replaced only when\n"
    "the new font has been written completely. A font collection loses its DSIG\n"
    "and its members' own; its header stays at version 2 with the DSIG fields 0.\n";

}  // namespace

Command strip_command() {
    return {"strip", "write a font without its DSIG table, laid out as the signer lays it out",
            kStripUsage, [](CLI::App& app) -> std::function<int()> {
                auto paths = std::make_shared<std::vector<std::string>>();
                app.add_option("paths", *paths)->expected(2);
                return [paths]() {
                    if (paths->size() != 2)
                        return usage_error("strip", "expected INPUT and OUTPUT");
                    fontseal_report report{};
                    report.size = sizeof report;
                    if (fontseal_strip((*paths)[0].c_str(), (*paths)[1].c_str(), &report) != 0) {
                        std::fprintf(stderr, "fontseal strip: %s\n",
                                     printable(report.message).c_str());
                        return kExitFailed;
                    }
                    return kExitOk;
                };
            }};
}

}  // namespace fontseal_cli

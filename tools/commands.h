// The subcommands of the fontseal tool. Each returns the process exit code:
// 0 everything done, 1 a signing or stripping failed, 2 a usage error.
#pragma once

namespace fontseal_cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int run_sign(int argc, char** argv);
int run_strip(int argc, char** argv);

}  // namespace fontseal_cli

// SPDX-License-Identifier: Apache-2.0
// The subcommands of the fontseal tool. Each returns the process exit code:
// 0 everything done, 1 a signing, stripping or verifying failed, 2 a usage
// error.
#pragma once
#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace fontseal_cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A subcommand: its options are declared on `app` by `setup`, and `run`
// carries it out once they are parsed.
struct Command {
    const char* name;
    const char* summary;
    const char* usage;  // the text --help prints
    std::function<std::function<int()>(CLI::App& app)> setup;
};

Command sign_command();
Command strip_command();
Command store_command();
Command verify_command();
Command prepare_command();
Command attach_command();

// Prints "fontseal NAME: MESSAGE" and the hint to --help; returns kExitUsage.
// MESSAGE may quote what the user typed: it is printed made harmless.
int usage_error(const std::string& name, const std::string& message);

// The line printed on standard output when SIGINT, SIGTERM or SIGHUP ends
// the process, once the library's temporaries are gone: set by a command
// for as long as it has something to say then (how far a family got), and
// reset with nullptr. The function is called on the signal thread.
void set_interrupt_summary(std::function<std::string()> summary);

}  // namespace fontseal_cli

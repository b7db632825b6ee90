// SPDX-License-Identifier: Apache-2.0
// fontseal: sign TrueType and OpenType fonts.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "fontseal/fontseal.h"
#include "printable.h"
#include "process_runner.h"

namespace fontseal_cli {

int usage_error(const std::string& name, const std::string& message) {
    std::fprintf(stderr, "fontseal %s: %s\nTry 'fontseal %s --help'.\n", name.c_str(),
                 printable(message).c_str(), name.c_str());
    return kExitUsage;
}

namespace {
std::mutex summary_lock;
std::function<std::string()> interrupt_summary;  // under summary_lock
}  // namespace

void set_interrupt_summary(std::function<std::string()> summary) {
    std::lock_guard<std::mutex> hold(summary_lock);
    interrupt_summary = std::move(summary);
}

}  // namespace fontseal_cli

namespace {

using namespace fontseal_cli;

constexpr size_t kSignalThreadStack = 256 * 1024;

std::string top_usage(const std::vector<Command>& commands) {
    std::string text =
        "Usage: fontseal COMMAND [OPTIONS] ...\n"
        "\n"
        "Digitally sign TrueType and OpenType fonts (a PKCS#7 signature in a DSIG table).\n"
        "\n"
        "Commands:\n";
    for (const Command& c : commands) {
        std::string name = c.name;
        text += "  " + name + std::string(9 - name.size(), ' ') + c.summary + "\n";
    }
    text +=
        "\n"
        "Options:\n"
        "  -h, --help     show this help, or a command's help with COMMAND --help\n"
        "  --version      show the version\n"
        "\n"
        "Run 'fontseal COMMAND --help' for a command's options.\n"
        "Exit status: 0 success, 1 a font could not be signed or written, 2 usage error.\n";
    return text;
}

// SIGINT, SIGTERM and SIGHUP are taken by one thread that waits for them:
// it removes the library's temporary outputs and ends the process with
// 128 + the signal's number, as a shell reports a process the signal killed.
// The thread gets a small stack of its own rather than the default one
// (as large as the stack limit), so a tight address-space limit still lets
// it start. False, with errno's reason in `error`, when it cannot start.
sigset_t g_stopSignals;

void* wait_for_stop(void*) {
    int received = 0;
    if (sigwait(&g_stopSignals, &received) != 0) return nullptr;
    fontseal_remove_temporaries();
    stop_running_processes();
    {
        std::lock_guard<std::mutex> hold(summary_lock);
        if (interrupt_summary) {
            const std::string line = interrupt_summary() + "\n";
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
        }
    }
    _exit(128 + received);
}

bool stop_cleanly_on_signals(std::string& error) {
    sigemptyset(&g_stopSignals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&g_stopSignals, s);
    if (pthread_sigmask(SIG_BLOCK, &g_stopSignals, nullptr) != 0) return true;
    pthread_attr_t attributes;
    pthread_t thread;
    int failed = pthread_attr_init(&attributes);
    if (failed == 0) {
        pthread_attr_setstacksize(&attributes, kSignalThreadStack);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        failed = pthread_create(&thread, &attributes, wait_for_stop, nullptr);
        pthread_attr_destroy(&attributes);
    }
    if (failed == 0) return true;
    pthread_sigmask(SIG_UNBLOCK, &g_stopSignals, nullptr);
    error = std::strerror(failed);
    return false;
}

// Commands that may hold a password, a PIN or a decrypted key keep them out
// of core files: no core is written, and no other process of the user may
// read the process's memory.
void keep_secrets_out_of_core_files() {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

int run_command(const Command& command, int argc, char** argv) {
    CLI::App app{command.summary, std::string("fontseal ") + command.name};
    // Our own help texts, not the parser's generated ones.
    app.set_help_flag();
    bool help = false;
    app.add_flag("-h,--help", help);
    std::function<int()> run = command.setup(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (help) {
            std::fputs(command.usage, stdout);
            return kExitOk;
        }
        return usage_error(command.name, e.what());
    }
    if (help) {
        std::fputs(command.usage, stdout);
        return kExitOk;
    }
    const int status = run();
    // Logins to tokens last for the process; end them while the modules
    // are still there rather than leave them to exit.
    fontseal_release_tokens();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Command> commands = {sign_command(),  strip_command(),   verify_command(),
                                           store_command(), prepare_command(), attach_command()};
    const std::string usage = top_usage(commands);
    if (argc < 2) {
        std::fputs(usage.c_str(), stderr);
        return kExitUsage;
    }
    std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        std::fputs(usage.c_str(), stdout);
        return kExitOk;
    }
    if (name == "--version") {
        std::printf("fontseal %s\n", fontseal_version());
        return kExitOk;
    }
    for (const Command& command : commands) {
        if (name != command.name) continue;
        if (name == "sign" || name == "store") keep_secrets_out_of_core_files();
        std::string error;
        if (!stop_cleanly_on_signals(error)) {
            std::fprintf(stderr, "fontseal %s: cannot start a thread: %s\n", name.c_str(),
                         error.c_str());
            return kExitFailed;
        }
        return run_command(command, argc - 1, argv + 1);
    }
    std::fprintf(stderr, "fontseal: unknown command '%s'\n\n%s", printable(name).c_str(),
                 usage.c_str());
    return kExitUsage;
}

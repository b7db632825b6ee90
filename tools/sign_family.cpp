// SPDX-License-Identifier: Apache-2.0
// `fontseal sign --out-dir` and `--in-place`: a family signed side by side,
// its lines in the order of the inputs, progress and an estimate at a
// terminal, a summary, and a word when it is interrupted.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.h"
#include "printable.h"
#include "sign_parts.h"

namespace fontseal_cli {
namespace sign_cmd {

namespace {

// "m:ss" (or "h:mm:ss") of a whole number of seconds.
std::string clock_text(long long seconds) {
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

// The time the rest of a family should take, at the pace of the fonts done
// so far (whichever finished, not only those already printed).
std::string eta_text(std::chrono::steady_clock::duration elapsed, size_t done, size_t total) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    const double rest =
        done ? seconds / static_cast<double>(done) * static_cast<double>(total - done) : 0.0;
    // Rounded up: while a font is left, the estimate is never 0:00.
    return clock_text(static_cast<long long>(std::ceil(rest)));
}

struct FamilyMember {
    std::string input;
    std::string output;
    int32_t result = 0;
    fontseal_report report{};
    bool done = false;
};

// The line a family run starts with: what is about to happen, and with what.
std::string start_line(const SignArgs& args, size_t fonts, size_t jobs) {
    std::string line = "signing " + std::to_string(fonts) + (fonts == 1 ? " font" : " fonts") +
                       (args.inPlace ? " in place" : " into " + tidy_path(args.outDir)) + ": " +
                       std::to_string(jobs) + (jobs == 1 ? " job" : " jobs") + ", digest " +
                       digest_name(args.digest) + ", ";
    line +=
        args.timestampServers.empty() ? "no time stamps" : "time stamps from " + server_list(args);
    return printable(line);
}

}  // namespace

// Signs the family on up to args.jobs threads. The lines are printed by this
// thread alone, in the order of the inputs, each as soon as its font and all
// before it are done: whole lines, never interleaved. Someone watching at a
// terminal also sees how far the run is and how long the rest should take;
// the lines stay as they were wherever both streams do not end on a terminal,
// so logs and scripts that read them see no difference.
int sign_family(const Signer& signer, const SignArgs& args, bool unasked) {
    const bool progress = isatty(STDOUT_FILENO) && isatty(STDERR_FILENO);
    const auto started = std::chrono::steady_clock::now();
    std::vector<FamilyMember> members(args.paths.size());
    for (size_t i = 0; i < members.size(); ++i) {
        members[i].input = args.paths[i];
        members[i].output =
            args.inPlace ? args.paths[i] : tidy_path(args.outDir + "/" + base_name(args.paths[i]));
    }
    size_t jobs = args.jobs > 0 ? static_cast<size_t>(args.jobs) : 1;
    if (jobs > members.size()) jobs = members.size();
    std::printf("%s\n", start_line(args, members.size(), jobs).c_str());
    std::fflush(stdout);

    std::mutex lock;
    std::condition_variable finished;
    std::atomic<size_t> next{0};
    std::atomic<size_t> signedSoFar{0};  // fonts whose signed file is in place
    size_t doneCount = 0;                // under `lock`
    // Stopped by a signal: the temporaries are gone by then, so every font
    // is either signed whole or as it was.
    const size_t total = members.size();
    set_interrupt_summary([&signedSoFar, total] {
        return "interrupted: " + std::to_string(signedSoFar.load()) + " of " +
               std::to_string(total) + " signed, no partial files";
    });
    struct ClearSummary {
        ~ClearSummary() { set_interrupt_summary(nullptr); }
    } clear_summary;
    auto work = [&] {
        for (size_t i = next++; i < members.size(); i = next++) {
            FamilyMember& m = members[i];
            fontseal_report report;
            const int32_t result = signer.sign(m.input, m.output, report);
            if (result == FONTSEAL_OK) ++signedSoFar;
            {
                std::lock_guard<std::mutex> hold(lock);
                m.result = result;
                m.report = report;
                m.done = true;
                ++doneCount;
            }
            finished.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (size_t i = 0; i < jobs; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error& e) {
            // No font is begun any more; those begun are finished whole.
            next = members.size();
            for (std::thread& worker : workers) worker.join();
            size_t done = 0;
            for (const FamilyMember& m : members) done += m.done && m.result == FONTSEAL_OK;
            std::fprintf(stderr,
                         "fontseal sign: cannot start worker thread %zu of %zu: %s; %zu of %zu "
                         "fonts signed, no partial files (try a smaller --jobs)\n",
                         i + 1, jobs, e.code().message().c_str(), done, members.size());
            return kExitFailed;
        }
    }

    int signed_count = 0, failed = 0, without_stamp = 0;
    std::string certificateSaid;
    for (size_t i = 0; i < members.size(); ++i) {
        FamilyMember& m = members[i];
        std::string before, after;
        {
            std::unique_lock<std::mutex> hold(lock);
            finished.wait(hold, [&] { return m.done; });
            if (progress) {
                before = "[" + std::to_string(i + 1) + "/" + std::to_string(members.size()) + "] ";
                // Fonts further down may have finished already: no estimate
                // once nothing is left.
                if (i + 1 < members.size() && doneCount < members.size())
                    after = "  ETA " + eta_text(std::chrono::steady_clock::now() - started,
                                                doneCount, members.size());
            }
        }
        if (m.result == FONTSEAL_OK) {
            ++signed_count;
            if (unstamped(args, m.report)) ++without_stamp;
            std::printf("%ssigned %s -> %s%s\n", before.c_str(), printable(m.input).c_str(),
                        printable(m.output).c_str(), after.c_str());
            std::fflush(stdout);
            warn_about_certificate(m.report, &certificateSaid);
            warn_if_unstamped(args, m.input, m.report);
        } else {
            ++failed;
            std::printf("%sFAILED %s: %s%s\n", before.c_str(), printable(m.input).c_str(),
                        failure_line(m.result, m.report, args, unasked).c_str(), after.c_str());
        }
        std::fflush(stdout);
    }
    for (std::thread& worker : workers) worker.join();
    if (without_stamp > 0)
        std::printf("%d signed (%d without a time stamp), %d failed\n", signed_count, without_stamp,
                    failed);
    else
        std::printf("%d signed, %d failed\n", signed_count, failed);
    std::fflush(stdout);
    return failed ? kExitFailed : kExitOk;
}

}  // namespace sign_cmd
}  // namespace fontseal_cli

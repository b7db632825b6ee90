// SPDX-License-Identifier: Apache-2.0
// Runs one program without a shell, feeds it bytes on standard input and
// collects what it writes, within a time limit. Safe to use from several
// threads at once: every descriptor is opened close-on-exec, so one thread's
// program never holds another's pipes open.
#pragma once
#include <string>
#include <vector>

namespace fontseal_cli {

struct ProcessResult {
    bool started = false;  // false: it could not be run (startError says why)
    std::string startError;
    bool timedOut = false;  // it was stopped, with its whole process group
    bool exited = false;    // it ended by itself...
    int exitStatus = 0;     // ...with this status,
    int signal = 0;         // or was ended by this signal
    std::string out;        // standard output (at most kMaxOutput bytes)
    std::string err;        // the end of standard error
};

// Runs words[0] (searched in PATH when it has no slash) with the arguments
// words[1..], the environment `environment` ("NAME=value" entries), `input`
// on its standard input, in a process group of its own. After
// `timeoutSeconds` the group is killed.
ProcessResult run_process(const std::vector<std::string>& words,
                          const std::vector<std::string>& environment, const std::string& input,
                          double timeoutSeconds);

// Kills the process group of every program run_process is running: what the
// tool does before it exits on a signal, since programs in groups of their
// own do not get the terminal's SIGINT.
void stop_running_processes();

// The last line of `text` that is not blank, without its line break.
std::string last_line(const std::string& text);

}  // namespace fontseal_cli

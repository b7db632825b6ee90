// SPDX-License-Identifier: Apache-2.0
#include "process_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace fontseal_cli {

namespace {

constexpr size_t kMaxOutput = 1 << 20;
constexpr size_t kKeptError = 8192;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        read.reset(fds[0]);
        write.reset(fds[1]);
        return true;
    }
};

// The program's file: as named when it has a slash, else the first
// executable of that name along PATH. Found before fork, since the child of
// a threaded process may only make async-signal-safe calls.
std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Reaps the child, waiting at most until `deadline`. False if it is still
// running then.
bool reap(pid_t pid, int& status, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The process groups of the programs running now.
std::mutex runningLock;
std::set<pid_t>& running() {
    static std::set<pid_t> groups;
    return groups;
}

struct Registered {
    pid_t group;
    explicit Registered(pid_t g) : group(g) {
        std::lock_guard<std::mutex> hold(runningLock);
        running().insert(group);
    }
    ~Registered() {
        std::lock_guard<std::mutex> hold(runningLock);
        running().erase(group);
    }
};

// A program that ends without reading its input must not end this process
// with SIGPIPE: the signal is held back for this thread while it writes, and
// taken off again if the write raised it.
void write_without_sigpipe(int fd, const std::string& bytes) {
    sigset_t pipeSignal, before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EPIPE) {
        const struct timespec now = {0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &now) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

void stop_running_processes() {
    std::lock_guard<std::mutex> hold(runningLock);
    for (pid_t group : running()) ::kill(-group, SIGKILL);
}

std::string last_line(const std::string& text) {
    size_t end = text.size();
    while (end > 0) {
        while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
        size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        std::string line = text.substr(start, end - start);
        if (line.find_first_not_of(" \t\r") != std::string::npos) return line;
        end = start;
    }
    return std::string();
}

ProcessResult run_process(const std::vector<std::string>& words,
                          const std::vector<std::string>& environment, const std::string& input,
                          double timeoutSeconds) {
    ProcessResult result;
    const std::string program = words.empty() ? std::string() : find_program(words[0]);
    if (program.empty()) {
        result.startError =
            "no program " + (words.empty() ? std::string() : words[0]) + " found in PATH";
        return result;
    }
    Pipe in, out, err, status;
    if (!in.open() || !out.open() || !err.open() || !status.open()) {
        result.startError = std::string("cannot make pipes: ") + std::strerror(errno);
        return result;
    }
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(environment);
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.startError = std::string("cannot start it: ") + std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        // The child: async-signal-safe calls only, until exec.
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(in.read.get(), 0);
        ::dup2(out.write.get(), 1);
        ::dup2(err.write.get(), 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        const int code = errno;
        ssize_t ignored = ::write(status.write.get(), &code, sizeof code);
        (void)ignored;
        ::_exit(127);
    }
    // Both sides set the group, so it is in place whichever runs first.
    ::setpgid(pid, pid);
    const Registered registered(pid);
    in.read.reset();
    out.write.reset();
    err.write.reset();
    status.write.reset();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeoutSeconds));

    int execError = 0;
    if (::read(status.read.get(), &execError, sizeof execError) == sizeof execError) {
        int ignored;
        ::waitpid(pid, &ignored, 0);
        result.startError = std::string("cannot run ") + program + ": " + std::strerror(execError);
        return result;
    }
    result.started = true;

    // The input is small (a digest or a DigestInfo): it fits the pipe, and a
    // program that never reads it is not waited for.
    ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
    write_without_sigpipe(in.write.get(), input);
    in.write.reset();

    struct pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::string& into = i == 0 ? result.out : result.err;
            into.append(buffer, static_cast<size_t>(n));
            if (i == 0 && into.size() > kMaxOutput) into.resize(kMaxOutput);
            if (i == 1 && into.size() > 2 * kKeptError) into.erase(0, into.size() - kKeptError);
        }
    }
    int wstatus = 0;
    if (result.timedOut || !reap(pid, wstatus, deadline)) {
        result.timedOut = true;
        // The whole group: a wrapper script's own children go too.
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &wstatus, 0);
        return result;
    }
    if (WIFEXITED(wstatus)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    return result;
}

}  // namespace fontseal_cli

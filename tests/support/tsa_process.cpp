// SPDX-License-Identifier: Apache-2.0
#include "support/tsa_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

constexpr int kStartupMs = 120000;  // key generation included

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

TsaServerProcess::TsaServerProcess(const TempDir& dir, const std::string& name, bool tls)
    : directory_(dir.file(name)), tls_(tls) {
    int in[2], out[2];
    if (::pipe(in) != 0) throw std::runtime_error("pipe failed");
    if (::pipe(out) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    const std::string script = std::string(FONTSEAL_SOURCE_DIR) + "/tests/support/tsa_server.py";
    const std::string record = directory_ + ".last-request.json";
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::close(in[0]);
        ::close(in[1]);
        ::close(out[0]);
        ::close(out[1]);
        if (tls) {
            ::execl("/usr/bin/python3", "python3", script.c_str(), "--dir", directory_.c_str(),
                    "--record", record.c_str(), "--lifetime", "600", "--tls",
                    static_cast<char*>(nullptr));
        } else {
            ::execl("/usr/bin/python3", "python3", script.c_str(), "--dir", directory_.c_str(),
                    "--record", record.c_str(), "--lifetime", "600", static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdinFd_ = in[1];
    int outFd = out[0];
    if (pid_ < 0) {
        closeFd(stdinFd_);
        closeFd(outFd);
        throw std::runtime_error("fork failed");
    }
    // The first line of its output is the port.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartupMs);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{outFd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char c[64];
        ssize_t n = ::read(outFd, c, sizeof c);
        if (n <= 0) break;
        line.append(c, static_cast<size_t>(n));
    }
    closeFd(outFd);
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) {
        stop();
        throw std::runtime_error("the test time-stamp server did not start");
    }
}

TsaServerProcess::~TsaServerProcess() { stop(); }

void TsaServerProcess::stop() {
    // Closing its input stops the server; a server that does not go within
    // ten seconds is killed.
    closeFd(stdinFd_);
    if (pid_ <= 0) return;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string TsaServerProcess::url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string TsaServerProcess::lastRequestJson() const {
    std::ifstream in(directory_ + ".last-request.json");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport

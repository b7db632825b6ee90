// SPDX-License-Identifier: Apache-2.0
#include "password.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fontseal/fontseal.h"
#include "printable.h"

namespace fontseal_cli {

namespace {

void strip_line_end(std::string& s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
}

bool read_from_terminal(const std::string& key_path, std::string& password, std::string& error,
                        bool pin) {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        error = pin ? "the token key " + key_path +
                          " needs a PIN and there is no terminal to ask for it; use "
                          "--pin-file FILE or --pin-env NAME"
                    : "the key file " + key_path +
                          " needs a password and there is no terminal to ask for it; use "
                          "--password-file FILE or --password-env NAME";
        return false;
    }
    // Echo goes off before the prompt appears: switching it off flushes
    // pending input, which must not swallow an answer typed after the prompt.
    termios saved{};
    bool restore = ::tcgetattr(fd, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::string prompt = (pin ? "PIN for " : "Password for ") + printable(key_path) + ": ";
    (void)!::write(fd, prompt.data(), prompt.size());
    password.clear();
    password.reserve(kMaxSecretLine + 1);
    char c;
    ssize_t n;
    while ((n = ::read(fd, &c, 1)) == 1 && c != '\n')
        if (password.size() < kMaxSecretLine) password.push_back(c);
    if (restore) ::tcsetattr(fd, TCSAFLUSH, &saved);
    ::close(fd);
    c = 0;
    strip_line_end(password);
    if (n < 0) {
        error = "cannot read the password from the terminal";
        return false;
    }
    return true;
}

// The first line of the password or PIN file (standard input for "-"). A
// pipe is welcome (--password-file <(pass show key)); a directory would read
// as an empty password and be taken for a wrong one, and a file without a
// line end in its first kMaxSecretLine bytes (/dev/zero) is refused rather
// than read to exhaustion. The buffer is sized once, so no copy of the
// secret is left behind in released memory.
bool read_secret_file(const PasswordSource& source, std::string& secret, std::string& error) {
    const bool standardInput = source.name == "-";
    const std::string what =
        std::string(source.pin ? "cannot read PIN file " : "cannot read password file ") +
        (standardInput ? std::string("- (standard input)") : source.name);
    int fd = 0;
    if (!standardInput) {
        do {
            fd = ::open(source.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            error = what + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!standardInput) ::close(fd);
        error = what + ": it is a directory";
        return false;
    }
    secret.clear();
    secret.reserve(kMaxSecretLine + 1);
    bool failed = false, tooLong = false;
    char c = 0;
    for (;;) {
        // A byte at a time: what follows the line stays in a shared pipe.
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0 || c == '\n') break;
        if (secret.size() >= kMaxSecretLine) {
            tooLong = true;
            break;
        }
        secret.push_back(c);
    }
    c = 0;
    if (!standardInput) ::close(fd);
    if (failed || tooLong) {
        wipe(secret);
        error = what + (tooLong ? ": its first line is longer than " +
                                      std::to_string(kMaxSecretLine) + " bytes"
                                : std::string(": ") + std::strerror(errno));
        return false;
    }
    strip_line_end(secret);
    return true;
}

}  // namespace

bool read_password(const PasswordSource& source, const std::string& key_path, std::string& password,
                   std::string& error) {
    switch (source.kind) {
        case PasswordSource::kNone:
            password.clear();
            return true;
        case PasswordSource::kEnv: {
            const char* value = std::getenv(source.name.c_str());
            if (!value) {
                error = "environment variable " + source.name +
                        (source.pin ? " (--pin-env)" : " (--password-env)") + " is not set";
                return false;
            }
            password = value;
            return true;
        }
        case PasswordSource::kFile:
            return read_secret_file(source, password, error);
        case PasswordSource::kTerminal:
            return read_from_terminal(key_path, password, error, source.pin);
    }
    return false;
}

bool choose_password_source(const std::string& key_path, PasswordSource& source, bool& unasked,
                            std::string& error) {
    fontseal_report probe{};
    probe.size = sizeof probe;
    const int32_t needs = fontseal_key_needs_password(key_path.c_str(), &probe);
    if (needs < 0) {
        error = probe.message;
        return false;
    }
    if (needs > 0) {
        if (terminal_available())
            source.kind = PasswordSource::kTerminal;
        else
            unasked = true;
    }
    return true;
}

bool terminal_available() {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

void wipe(std::string& secret) {
    volatile char* p = secret.empty() ? nullptr : &secret[0];
    for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
    secret.clear();
}

}  // namespace fontseal_cli

// SPDX-License-Identifier: Apache-2.0
#include "platform/pin_source.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/error.h"
#include "platform/pkcs11_module.h"

namespace fontseal {

namespace {

thread_local const CallerPin* current = nullptr;

// Reads one line of `fd` into `pin`, without its line end, a byte at a time
// so that nothing past the line is taken from a pipe. False when nothing
// could be read, or when the line is longer than kMaxPinLine: a source that
// never ends (/dev/zero) is given up on instead of read forever.
bool read_line(int fd, SecureBytes& pin) {
    bool any = false;
    bool fits = true;
    char c;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        any = true;
        if (c == '\n') break;
        if (pin.size() >= kMaxPinLine) {
            fits = false;
            break;
        }
        pin.push_back(static_cast<uint8_t>(c));
    }
    OPENSSL_cleanse(&c, sizeof c);
    if (!pin.empty() && pin.back() == '\r') pin.pop_back();
    if (!fits) pin.clear();
    return any && fits;
}

bool from_source(const char* source, SecureBytes& pin) {
    if (std::strncmp(source, "env:", 4) == 0) {
        const char* value = std::getenv(source + 4);
        if (!value || std::strlen(value) > kMaxPinLine) throw error(kErrTokenPinSource);
        pin.assign(value, value + std::strlen(value));
        return true;
    }
    if (std::strncmp(source, "file:", 5) == 0) {
        // A pipe is welcome (file:/dev/fd/3); a directory is not a PIN.
        int fd;
        do {
            fd = ::open(source + 5, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) throw error(kErrTokenPinSource);
        bool read = read_line(fd, pin);
        ::close(fd);
        if (!read) throw error(kErrTokenPinSource);
        return true;
    }
    throw error(kErrTokenPinSource);
}

// Asks on the controlling terminal with echo off; several threads signing
// at once ask one at a time.
bool from_terminal(const std::string& token, SecureBytes& pin) {
    static std::mutex terminalMutex;
    std::lock_guard<std::mutex> lock(terminalMutex);
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct termios saved;
    const bool isTerminal = tcgetattr(fd, &saved) == 0;
    if (!isTerminal) {
        ::close(fd);
        return false;
    }
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    // Echo goes off, and what was typed before the question is dropped,
    // before the prompt shows: an answer to the prompt is never discarded.
    const std::string prompt = "PIN for token " + token + ": ";
    bool read = tcsetattr(fd, TCSAFLUSH, &quiet) == 0 &&
                ::write(fd, prompt.data(), prompt.size()) >= 0 && read_line(fd, pin);
    tcsetattr(fd, TCSADRAIN, &saved);
    ::close(fd);
    return read;
}

}  // namespace

CallerPin::CallerPin(const uint8_t* pin, size_t length) : pin_(pin, pin + length), outer_(current) {
    current = this;
}

CallerPin::~CallerPin() { current = outer_; }

bool caller_pin(SecureBytes& pin) {
    if (!current) return false;
    pin = current->pin_;
    return true;
}

bool token_pin(const std::string& token, SecureBytes& pin) {
    pin.clear();
    if (caller_pin(pin)) return true;
    const char* source = std::getenv("FONTSEAL_PIN_SOURCE");
    if (source && *source) return from_source(source, pin);
    return from_terminal(token, pin);
}

}  // namespace fontseal

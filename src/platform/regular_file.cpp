// SPDX-License-Identifier: Apache-2.0
#include "platform/regular_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace fontseal {

namespace {

void set(int* reason, int value) {
    if (reason) *reason = value;
}

}  // namespace

int open_regular_file(const char* path, int* reason) {
    set(reason, 0);
    if (!path || !*path) {
        set(reason, ENOENT);
        return -1;
    }
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        set(reason, errno);
        return -1;
    }
    // The type is judged on the open file, so it is the file that is read.
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        set(reason, errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        set(reason, S_ISDIR(st.st_mode) ? EISDIR : kFileNotRegular);
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        set(reason, errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool read_regular_file(const char* path, size_t limit, SecureBytes& out, int* reason) {
    out.clear();
    const int fd = open_regular_file(path, reason);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) <= limit)
        out.reserve(static_cast<size_t>(st.st_size));
    uint8_t chunk[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            set(reason, errno);
            ok = false;
            break;
        }
        if (n == 0) break;
        // The file may grow while it is read: the limit holds for what is read.
        if (out.size() + static_cast<size_t>(n) > limit) {
            set(reason, kFileTooLarge);
            ok = false;
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    OPENSSL_cleanse(chunk, sizeof chunk);
    ::close(fd);
    if (!ok) out.clear();
    return ok;
}

std::string file_fault_text(int reason) {
    switch (reason) {
        case 0:
            return "";
        case EISDIR:
            return "it is a directory";
        case kFileNotRegular:
            return "it is not a regular file";
        case kFileTooLarge:
            return "it is too large";
        default:
            return std::strerror(reason);
    }
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "platform/rt_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "platform/regular_file.h"
#include "platform/rt_crt.h"

namespace fontseal {

namespace {

int posixFlags(int flags) {
    int out = 0;
    switch (flags & (RT_O_WRONLY | RT_O_RDWR)) {
        case RT_O_WRONLY:
            out = O_WRONLY;
            break;
        case RT_O_RDWR:
            out = O_RDWR;
            break;
        default:
            out = O_RDONLY;
            break;
    }
    if (flags & RT_O_APPEND) out |= O_APPEND;
    if (flags & RT_O_CREAT) out |= O_CREAT;
    if (flags & RT_O_TRUNC) out |= O_TRUNC;
    if (flags & RT_O_EXCL) out |= O_EXCL;
    // Text and binary mode mean nothing here: every file is binary.
    return out | O_CLOEXEC;
}

mode_t posixMode(int mode) {
    mode_t out = 0;
    if (mode & RT_S_IREAD) out |= S_IRUSR;
    if (mode & RT_S_IWRITE) out |= S_IWUSR;
    return out;
}

struct RuntimeOpen {
    int flags;
    int mode;
};

RuntimeOpen runtimeOpen(OpenMode mode) {
    const int ownerOnly = RT_S_IREAD | RT_S_IWRITE;
    switch (mode) {
        case OpenMode::kReadWrite:
            return {RT_O_BINARY | RT_O_RDWR, 0};
        case OpenMode::kWriteOnly:
            return {RT_O_BINARY | RT_O_WRONLY, 0};
        case OpenMode::kCreateReadWrite:
            return {RT_O_BINARY | RT_O_CREAT | RT_O_TRUNC | RT_O_RDWR, ownerOnly};
        case OpenMode::kCreateWriteOnly:
            return {RT_O_BINARY | RT_O_CREAT | RT_O_TRUNC | RT_O_WRONLY, ownerOnly};
        case OpenMode::kRead:
            break;
    }
    return {RT_O_BINARY | RT_O_RDONLY, 0};
}

}  // namespace

int rt_open(const char* path, OpenMode mode) {
    if (mode != OpenMode::kRead) {
        RuntimeOpen open = runtimeOpen(mode);
        return rt_open(path, open.flags, open.mode);
    }
    // Files are read whole or at offsets, so only a regular file will do,
    // and the open must not wait (platform/regular_file.h).
    return open_regular_file(path);
}

int rt_open(const char* path, int flags, int mode) {
    if (!path) return -1;
    int fd;
    do {
        fd = ::open(path, posixFlags(flags), posixMode(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // Opening a directory succeeds on POSIX; the runtime refuses it.
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Repeats a read or write until `count` bytes moved, the end of the file,
// or an error; interrupted calls are retried.
template <class Buffer, class Call>
int transfer(int handle, Buffer* buffer, unsigned count, Call call) {
    if (handle < 0) return -1;
    if (count > INT_MAX) count = INT_MAX;
    unsigned done = 0;
    while (done < count) {
        ssize_t n = call(handle, buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<int>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<unsigned>(n);
    }
    return static_cast<int>(done);
}

}  // namespace

int rt_read(int handle, void* buffer, unsigned count) {
    return transfer(handle, static_cast<char*>(buffer), count,
                    [](int h, char* p, size_t n) { return ::read(h, p, n); });
}

int rt_write(int handle, const void* buffer, unsigned count) {
    return transfer(handle, static_cast<const char*>(buffer), count,
                    [](int h, const char* p, size_t n) { return ::write(h, p, n); });
}

long rt_lseek(int handle, long offset, SeekOrigin origin) {
    if (handle < 0) return -1;
    int whence = origin == SeekOrigin::kCurrent ? SEEK_CUR
                 : origin == SeekOrigin::kEnd   ? SEEK_END
                                                : SEEK_SET;
    off_t r = ::lseek(handle, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<long>(r);
}

long rt_tell(int handle) { return rt_lseek(handle, 0, SeekOrigin::kCurrent); }

long rt_filelength(int handle) { return rt_fstat_size(handle); }

long rt_fstat_size(int handle) {
    struct stat st;
    if (handle < 0 || ::fstat(handle, &st) != 0) return -1;
    return static_cast<long>(st.st_size);
}

int rt_fstat_permissions(int handle) {
    struct stat st;
    if (handle < 0 || ::fstat(handle, &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 0777);
}

bool rt_preallocate(int handle, int64_t size) {
    if (handle < 0 || size <= 0) return false;
#if defined(__linux__)
    // Keeps the file's size as it is: only blocks are reserved.
    return ::fallocate(handle, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0;
#else
    return false;
#endif
}

int rt_close(int handle) {
    if (handle < 0) return -1;
    // A close interrupted by a signal has still released the descriptor.
    return ::close(handle) == 0 || errno == EINTR ? 0 : -1;
}

}  // namespace fontseal

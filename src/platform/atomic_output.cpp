// SPDX-License-Identifier: Apache-2.0
#include "platform/atomic_output.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "platform/regular_file.h"
#include "platform/temp_files.h"

namespace fontseal {

namespace {

std::atomic<unsigned> g_sequence{0};
constexpr int kCreateAttempts = 64;

std::string directoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool syncPath(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    ::close(fd);
    return result == 0;
}

}  // namespace

AtomicOutput::AtomicOutput(const char* destination, int permissions)
    : permissions_(permissions & 0777) {
    if (!destination || !*destination) return;
    destination_ = destination;
    if (destination_.back() == '/') {
        destination_.clear();
        reason_ = EISDIR;
        return;
    }
    struct stat st;
    if (::lstat(destination_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        if (::realpath(destination_.c_str(), target)) destination_ = target;
    }
    if (::stat(destination_.c_str(), &st) == 0) {
        // A device, a FIFO or a directory is never replaced by a font.
        if (!S_ISREG(st.st_mode)) {
            destination_.clear();
            reason_ = S_ISDIR(st.st_mode) ? EISDIR : kFileNotRegular;
            return;
        }
        keepMode_ = true;
        mode_ = st.st_mode & 07777;
    }
}

AtomicOutput::~AtomicOutput() {
    if (created_ && !committed_) temp_file_discard(temp_);
}

bool AtomicOutput::failed(int reason) {
    reason_ = reason;
    return false;
}

bool AtomicOutput::create() {
    if (destination_.empty() || created_) return created_;
    const std::string directory = directoryOf(destination_);
    temp_files_remove_stale(directory);
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        temp_ = temp_file_name(directory, baseName(destination_), g_sequence.fetch_add(1));
        if (temp_file_create(temp_, permissions_)) {
            created_ = true;
            return true;
        }
        // Someone else's file of that name is left alone; try the next name.
        if (errno != EEXIST) break;
    }
    reason_ = errno;
    temp_.clear();
    return false;
}

bool AtomicOutput::commit() {
    if (!created_ || committed_) return false;
    if (keepMode_ && ::chmod(temp_.c_str(), mode_) != 0) return failed(errno);
    // Whatever appeared at the destination since must be a regular file too.
    struct stat st;
    if (::lstat(destination_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return failed(S_ISDIR(st.st_mode) ? EISDIR : kFileNotRegular);
    // The data reaches the disk before the name does, so a crash never
    // leaves the destination naming a file with missing blocks.
    if (!syncPath(temp_, O_RDONLY)) return failed(errno);
    if (!temp_file_commit(temp_, destination_)) return failed(errno);
    committed_ = true;
    // And the rename itself is made durable. The font is in place whatever
    // this says: a directory that cannot be synced is not an error here.
    syncPath(directoryOf(destination_), O_RDONLY | O_DIRECTORY);
    return true;
}

}  // namespace fontseal

#include "platform/atomic_output.h"

#include "platform/temp_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

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

}  // namespace

AtomicOutput::AtomicOutput(const char* destination) {
    if (!destination || !*destination) return;
    destination_ = destination;
    if (destination_.back() == '/') {
        destination_.clear();
        return;
    }
    struct stat st;
    if (::lstat(destination_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        if (::realpath(destination_.c_str(), target)) destination_ = target;
    }
    if (::stat(destination_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        keepMode_ = true;
        mode_ = st.st_mode & 07777;
    }
}

AtomicOutput::~AtomicOutput() {
    if (created_ && !committed_) temp_file_discard(temp_);
}

bool AtomicOutput::create() {
    if (destination_.empty() || created_) return created_;
    const std::string directory = directoryOf(destination_);
    temp_files_remove_stale(directory);
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        temp_ = temp_file_name(directory, baseName(destination_), g_sequence.fetch_add(1));
        if (temp_file_create(temp_)) {
            created_ = true;
            return true;
        }
        // Someone else's file of that name is left alone; try the next name.
        if (errno != EEXIST) break;
    }
    temp_.clear();
    return false;
}

bool AtomicOutput::commit() {
    if (!created_ || committed_) return false;
    if (keepMode_ && ::chmod(temp_.c_str(), mode_) != 0) return false;
    if (!temp_file_commit(temp_, destination_)) return false;
    committed_ = true;
    return true;
}

}  // namespace fontseal

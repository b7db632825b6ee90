// SPDX-License-Identifier: Apache-2.0
#include "platform/temp_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace fontseal {

namespace {

constexpr char kMarker[] = ".fontseal-";
constexpr char kSuffix[] = ".tmp";

// The registry is the one piece of process-wide state: it has to be, since
// a stop signal concerns the whole process. Every use takes the lock.
// Each temporary is held open with an exclusive flock(2) lock until it is
// renamed or removed: the lock, not the process id in its name, is what
// tells another process that it is still being written. The kernel drops it
// when the writer dies, in whatever PID namespace or on whatever host of a
// shared file system the writer ran.
struct Registry {
    std::mutex lock;
    std::map<std::string, int> paths;  // path -> the descriptor holding its lock
    bool closed = false;
};

Registry& registry() {
    static Registry* instance = new Registry();  // never destroyed: used until _exit
    return *instance;
}

// The process id in ".<base>.fontseal-<pid>-<n>.tmp", or 0 when the name is
// not one of ours.
long owner_of(const char* name) {
    size_t length = std::strlen(name);
    if (name[0] != '.' || length < sizeof kSuffix ||
        std::strcmp(name + length - (sizeof kSuffix - 1), kSuffix) != 0) {
        return 0;
    }
    const char* marker = std::strstr(name, kMarker);
    if (!marker) return 0;
    const char* p = marker + sizeof kMarker - 1;
    char* end = nullptr;
    long pid = std::strtol(p, &end, 10);
    if (end == p || *end != '-' || pid <= 0) return 0;
    const char* sequence = end + 1;
    long n = std::strtol(sequence, &end, 10);
    if (end == sequence || n < 0 || std::strcmp(end, kSuffix) != 0) return 0;
    return pid;
}

void forget(Registry& r, const std::string& path) {
    auto found = r.paths.find(path);
    if (found == r.paths.end()) return;
    ::close(found->second);
    r.paths.erase(found);
}

// Creates `path` exclusively and returns a descriptor that holds an
// exclusive flock on it, or -1 (errno EEXIST when the name is taken). Where
// the file system allows, the file is made unnamed, locked, and only then
// linked under its name, so it is never seen unlocked; elsewhere it is
// locked straight after its creation.
int create_locked(const std::string& path, mode_t mode) {
#if defined(O_TMPFILE)
    const std::string directory = path.substr(0, path.find_last_of('/') + 1);
    int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return fd;
        }
        const int saved = errno;
        ::close(fd);
        if (saved == EEXIST) {
            errno = EEXIST;
            return -1;
        }
        // No /proc, or a file system without unnamed files: the plain way.
    }
#endif
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        ::unlink(path.c_str());
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Removes the temporary `name` in `dir` unless some process holds its lock
// (a writer at work). The lock is taken for the removal, so the file is
// removed only while nobody writes it. A file that cannot be opened to ask
// is left alone.
void remove_unless_locked(int dir, const char* name) {
    const int fd = ::openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlinkat(dir, name, 0);
    ::close(fd);
}

}  // namespace

std::string temp_file_name(const std::string& directory, const std::string& base,
                           unsigned sequence) {
    return directory + "/." + base + kMarker + std::to_string(static_cast<long>(::getpid())) +
           "-" + std::to_string(sequence) + kSuffix;
}

bool temp_file_create(const std::string& path, int permissions) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.closed) {
        errno = ECANCELED;
        return false;
    }
    const int fd = create_locked(path, static_cast<mode_t>(permissions & 0777));
    if (fd < 0) return false;
    r.paths.emplace(path, fd);
    return true;
}

bool temp_file_commit(const std::string& path, const std::string& destination) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.closed || ::rename(path.c_str(), destination.c_str()) != 0) return false;
    forget(r, path);
    return true;
}

void temp_file_discard(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.paths.count(path)) {
        // Removed before its lock goes, so nobody finds it unlocked.
        ::unlink(path.c_str());
        forget(r, path);
    }
}

void temp_files_remove_all() {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.closed = true;
    for (const auto& entry : r.paths) {
        ::unlink(entry.first.c_str());
        ::close(entry.second);
    }
    r.paths.clear();
}

void temp_files_remove_stale(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return;
    const uid_t me = ::getuid();
    while (const dirent* entry = ::readdir(dir)) {
        long pid = owner_of(entry->d_name);
        if (pid == 0 || pid == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != me) {
            continue;
        }
        // A process id that looks dead here may be alive in another PID
        // namespace or on another host: only an unlocked file is stale.
        remove_unless_locked(::dirfd(dir), entry->d_name);
    }
    ::closedir(dir);
}

}  // namespace fontseal

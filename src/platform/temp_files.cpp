#include "platform/temp_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace fontseal {

namespace {

constexpr char kMarker[] = ".fontseal-";
constexpr char kSuffix[] = ".tmp";

// The registry is the one piece of process-wide state: it has to be, since
// a stop signal concerns the whole process. Every use takes the lock.
struct Registry {
    std::mutex lock;
    std::set<std::string> paths;
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

}  // namespace

std::string temp_file_name(const std::string& directory, const std::string& base,
                           unsigned sequence) {
    return directory + "/." + base + kMarker + std::to_string(static_cast<long>(::getpid())) +
           "-" + std::to_string(sequence) + kSuffix;
}

bool temp_file_create(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.closed) {
        errno = ECANCELED;
        return false;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return false;
    ::close(fd);
    r.paths.insert(path);
    return true;
}

bool temp_file_commit(const std::string& path, const std::string& destination) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.closed || ::rename(path.c_str(), destination.c_str()) != 0) return false;
    r.paths.erase(path);
    return true;
}

void temp_file_discard(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (r.paths.erase(path)) ::unlink(path.c_str());
}

void temp_files_remove_all() {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.closed = true;
    for (const std::string& path : r.paths) ::unlink(path.c_str());
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
        ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace fontseal

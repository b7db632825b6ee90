// SPDX-License-Identifier: Apache-2.0
// Where `fontseal verify --html` may write its page, and writing it safely.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "verify_parts.h"

namespace fontseal_cli {
namespace verify_cmd {

// What every page we write carries, so that a later run knows the file at
// REPORT as one of ours and may replace it.
const char kGeneratorTag[] = "<meta name=\"generator\" content=\"fontseal verify\">";

namespace {

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

// Why `path` may not take the report, or empty when it may: it must not
// be one of the fonts, and it must not exist unless it is a regular file
// holding a page an earlier run wrote. A glob such as `--html *.ttf` would
// otherwise name a font as the report and lose it; a device or a FIFO would
// be replaced by a regular file.
std::string report_refusal(const std::string& path, const std::vector<std::string>& fonts) {
    struct stat report;
    if (::lstat(path.c_str(), &report) != 0) {
        if (errno == ENOENT) {
            for (const std::string& font : fonts) {
                if (font == path) return "it is one of the fonts to verify";
            }
            return "";
        }
        return std::strerror(errno);
    }
    if (S_ISDIR(report.st_mode)) return "it is a directory";
    if (S_ISLNK(report.st_mode)) return "it is a symbolic link";
    if (!S_ISREG(report.st_mode)) return "it is not a regular file (a device, FIFO or socket)";
    for (const std::string& font : fonts) {
        struct stat st;
        if (font == path || (::stat(font.c_str(), &st) == 0 && st.st_dev == report.st_dev &&
                             st.st_ino == report.st_ino))
            return "it is one of the fonts to verify";
    }
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
    char head[2048];
    ssize_t n = file.fd < 0 ? -1 : ::read(file.fd, head, sizeof head);
    if (n < 0) return std::strerror(errno);
    if (std::string(head, static_cast<size_t>(n)).find(kGeneratorTag) == std::string::npos)
        return "it exists and is not a report fontseal wrote";
    return "";
}

// Writes `content` to `path` through a temporary file beside it, renamed into
// place only once complete: a reader never sees half a page, and a failed
// run leaves the previous page as it was.
bool write_atomically(const std::string& path, const std::string& content, std::string& error) {
    const auto slash = path.find_last_of('/');
    std::string temporary =
        (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
        ".fontseal-report-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    FileDescriptor file{::mkstemp(name.data())};
    if (file.fd < 0) {
        error = "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    temporary = name.data();
    struct Remover {
        const std::string& path;
        bool keep = false;
        ~Remover() {
            if (!keep) ::unlink(path.c_str());
        }
    } remover{temporary};
    // The page gets the mode a new file would (mkstemp's is 0600), or keeps
    // the one of the page it replaces.
    struct stat old;
    mode_t mode;
    if (::stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(file.fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    if (::fchmod(file.fd, mode) != 0 || ::fsync(file.fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const int closed = ::close(file.fd);
    file.fd = -1;
    if (closed != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    remover.keep = true;
    return true;
}

}  // namespace verify_cmd
}  // namespace fontseal_cli

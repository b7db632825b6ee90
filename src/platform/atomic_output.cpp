#include "platform/atomic_output.h"

#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/rt_file.h"

namespace fontseal {

namespace {

std::atomic<unsigned> g_sequence{0};

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
    if (destination_.back() == '/') return;
    // Unique per process and call; the exclusive open catches any collision.
    temp_ = directoryOf(destination_) + "/." + baseName(destination_) + ".fontseal-" +
            std::to_string(static_cast<long>(::getpid())) + "-" +
            std::to_string(g_sequence.fetch_add(1)) + ".tmp";
}

AtomicOutput::~AtomicOutput() {
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

int AtomicOutput::openFlags() {
    return RT_O_BINARY | RT_O_RDWR | RT_O_CREAT | RT_O_TRUNC | RT_O_EXCL;
}

bool AtomicOutput::commit() {
    if (temp_.empty() || committed_) return false;
    if (::rename(temp_.c_str(), destination_.c_str()) != 0) return false;
    committed_ = true;
    return true;
}

}  // namespace fontseal

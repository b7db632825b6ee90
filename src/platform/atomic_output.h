// Output files that appear only when complete. The signed font is written to
// a temporary file beside the destination and renamed over it after a
// successful close, so signing a font onto itself never reads a truncated
// input, and a failed signing leaves neither a half-written font nor a
// stray temporary behind.
#pragma once
#include <string>

namespace fontseal {

class AtomicOutput {
public:
    // Chooses a temporary path in the destination's directory. Nothing is
    // created until the caller opens `tempPath()` (exclusively).
    explicit AtomicOutput(const char* destination);
    // Removes the temporary file unless `commit` succeeded.
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    bool valid() const { return !temp_.empty(); }
    const char* tempPath() const { return temp_.c_str(); }
    // Open flags for the temporary file: binary, read-write, create,
    // truncate, and exclusive so an existing file is never taken over.
    static int openFlags();
    // Renames the finished temporary file over the destination.
    bool commit();

private:
    std::string destination_;
    std::string temp_;
    bool committed_ = false;
};

}  // namespace fontseal

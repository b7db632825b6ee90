// SPDX-License-Identifier: Apache-2.0
// Output files that appear only when complete. The signed font is written to
// a temporary file beside the destination and renamed over it after a
// successful close, so signing a font onto itself never reads a truncated
// input, and a failed signing leaves neither a half-written font nor a
// stray temporary behind.
#pragma once
#include <sys/types.h>

#include <string>

namespace fontseal {

class AtomicOutput {
public:
    // Chooses where the temporary file goes. A destination that is a
    // symbolic link is replaced through the link, at the file it names. A
    // destination that exists and is not a regular file (a device, a FIFO, a
    // directory) is refused: create() then fails.
    // A destination that does not exist yet is created with `permissions`
    // less the umask.
    explicit AtomicOutput(const char* destination, int permissions = 0600);
    // Removes the temporary file if this object created it and `commit`
    // did not move it into place.
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    // Creates the temporary file, exclusively, under a name nobody else
    // holds. False when the directory does not take it.
    bool create();
    const char* tempPath() const { return temp_.c_str(); }
    // Renames the finished temporary file over the destination, keeping the
    // permission bits of a destination that already existed. The file is
    // synced to disk before the rename and its directory after it.
    bool commit();
    // Why create() or commit() failed: an errno value, or kFileNotRegular /
    // EISDIR for a destination that is no regular file
    // (platform/regular_file.h); 0 when that is not known.
    int reason() const { return reason_; }

private:
    bool failed(int reason);

    std::string destination_;
    std::string temp_;
    bool created_ = false;
    bool committed_ = false;
    int permissions_ = 0600;
    bool keepMode_ = false;
    mode_t mode_ = 0;
    int reason_ = 0;
};

}  // namespace fontseal

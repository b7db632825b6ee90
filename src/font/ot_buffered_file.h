// SPDX-License-Identifier: Apache-2.0
// A file seen through a 64 KiB window; the output font is written through it
// so that the small writes and the seeks back into the directory and the
// head table cost no system calls while they stay inside the window.
#pragma once
#include <cstdint>
#include <memory>

#include "font/ot_stream.h"

namespace fontseal {

class OTBufferedFile : public OTStream {
public:
    static constexpr int32_t kWindowSize = 65536;
    // A target within this many bytes of the end of the valid window data
    // reloads the window, so reads just past it are served from the file.
    static constexpr int32_t kReloadMargin = 512;
    // Opens `path` in `mode` (a created file is readable and writable by its
    // owner only). A failed open sets the error indicator to 1.
    OTBufferedFile(const char* path, OpenMode mode);
    // Closes the handle without flushing: call close() after the last write.
    ~OTBufferedFile() override;

    int32_t write(const void* buffer, int32_t count) override;
    int32_t read(void* buffer, int32_t count) override;
    // The target is clamped to 0 .. the known size.
    int32_t seek(int32_t offset, SeekOrigin origin) override;
    int32_t tell() override { return handle_ < 0 ? 0 : position_; }
    int32_t size() override { return handle_ < 0 ? 0 : knownSize_; }
    // Flushes and closes. False when this flush, the close or any earlier
    // flush or direct transfer failed: the file may then be incomplete.
    bool close() override;
    // Reserves disk space for a file that will be `size` bytes long; a hint.
    void reserve(int64_t size);

private:
    bool writeOnly() const { return isWriteOnly(mode_); }
    int64_t windowStart() const { return static_cast<int64_t>(position_) - windowOffset_; }
    void moveWindow(int64_t target, bool force);
    void flush();
    void loadWindow(int64_t target);

    int handle_ = -1;
    OpenMode mode_;
    std::unique_ptr<uint8_t[]> window_;
    int32_t position_ = 0;
    int32_t knownSize_ = 0;
    int32_t windowOffset_ = 0;
    int32_t valid_ = 0;
    bool dirty_ = false;
};

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "font/ot_buffered_file.h"

#include <algorithm>
#include <cstring>

#include "platform/rt_file.h"

namespace fontseal {

OTBufferedFile::OTBufferedFile(const char* path, OpenMode mode) : mode_(mode) {
    handle_ = rt_open(path, mode);
    if (handle_ < 0) {
        handle_ = -1;
        error_ = 1;
        return;
    }
    window_.reset(new uint8_t[kWindowSize]);
    long length = rt_fstat_size(handle_);
    knownSize_ = length > 0 ? static_cast<int32_t>(std::min<long>(length, INT32_MAX)) : 0;
    if (!writeOnly()) {
        int n = rt_read(handle_, window_.get(), kWindowSize);
        if (n < 0) error_ = 1;
        valid_ = std::max(n, 0);
    }
}

OTBufferedFile::~OTBufferedFile() {
    if (handle_ >= 0) rt_close(handle_);
}

void OTBufferedFile::flush() {
    if (!dirty_) return;
    dirty_ = false;
    if (rt_lseek(handle_, static_cast<long>(windowStart()), SeekOrigin::kBegin) < 0 ||
        rt_write(handle_, window_.get(), static_cast<unsigned>(valid_)) != valid_) {
        error_ = 1;
    }
    rt_lseek(handle_, position_, SeekOrigin::kBegin);
}

void OTBufferedFile::loadWindow(int64_t target) {
    windowOffset_ = 0;
    valid_ = 0;
    // A write-only file cannot be read back: the window starts empty and
    // only ever holds bytes written through it.
    if (writeOnly()) return;
    if (rt_lseek(handle_, static_cast<long>(target), SeekOrigin::kBegin) < 0) {
        error_ = 1;
        return;
    }
    int n = rt_read(handle_, window_.get(), kWindowSize);
    if (n < 0) error_ = 1;
    valid_ = std::max(n, 0);
}

// Callers set the position to `target` afterwards; until then the window
// start is still derived from the old position.
void OTBufferedFile::moveWindow(int64_t target, bool force) {
    int64_t start = windowStart();
    int64_t margin = writeOnly() ? 0 : kReloadMargin;
    if (!force && target >= start && target <= start + valid_ - margin) {
        windowOffset_ = static_cast<int32_t>(target - start);
        return;
    }
    flush();
    loadWindow(target);
}

int32_t OTBufferedFile::write(const void* buffer, int32_t count) {
    if (handle_ < 0 || count <= 0) return 0;
    if (count <= kWindowSize) {
        if (static_cast<int64_t>(windowOffset_) + count > kWindowSize) moveWindow(position_, true);
        std::memcpy(window_.get() + windowOffset_, buffer, static_cast<size_t>(count));
        position_ += count;
        windowOffset_ += count;
        dirty_ = true;
        valid_ = std::max(valid_, windowOffset_);
        knownSize_ = std::max(knownSize_, position_);
        return count;
    }
    flush();
    int written = -1;
    if (rt_lseek(handle_, position_, SeekOrigin::kBegin) >= 0) {
        written = rt_write(handle_, buffer, static_cast<unsigned>(count));
    }
    if (written < count) error_ = 1;
    if (written <= 0) return 0;
    // The window starts at or before the position and holds at most 64 KiB,
    // so the end of a larger write always lies past it and the window is
    // read again from the file, never kept stale.
    int64_t end = static_cast<int64_t>(position_) + written;
    moveWindow(end, false);
    position_ = static_cast<int32_t>(end);
    knownSize_ = std::max(knownSize_, position_);
    return written;
}

int32_t OTBufferedFile::read(void* buffer, int32_t count) {
    if (handle_ < 0 || count <= 0 || writeOnly()) return 0;
    if (count > kWindowSize) {
        flush();
        int n = -1;
        if (rt_lseek(handle_, position_, SeekOrigin::kBegin) >= 0) {
            n = rt_read(handle_, buffer, static_cast<unsigned>(count));
        }
        if (n < 0) {
            error_ = 1;
            return 0;
        }
        int64_t end = static_cast<int64_t>(position_) + n;
        moveWindow(end, false);
        position_ = static_cast<int32_t>(end);
        return n;
    }
    if (valid_ - windowOffset_ < count) moveWindow(position_, true);
    int32_t n = std::min(count, valid_ - windowOffset_);
    std::memcpy(buffer, window_.get() + windowOffset_, static_cast<size_t>(n));
    position_ += n;
    windowOffset_ += n;
    return n;
}

int32_t OTBufferedFile::seek(int32_t offset, SeekOrigin origin) {
    if (handle_ < 0) return 0;
    int64_t base = origin == SeekOrigin::kCurrent ? position_
                   : origin == SeekOrigin::kEnd   ? knownSize_
                                                  : 0;
    int64_t target = std::clamp<int64_t>(base + offset, 0, knownSize_);
    moveWindow(target, false);
    position_ = static_cast<int32_t>(target);
    return position_;
}

void OTBufferedFile::reserve(int64_t size) {
    if (handle_ >= 0) rt_preallocate(handle_, size);
}

bool OTBufferedFile::close() {
    if (handle_ >= 0) {
        flush();
        if (rt_close(handle_) != 0) error_ = 1;
        handle_ = -1;
    }
    return isOk();
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "platform/file_source.h"

#include <climits>

#include "base/error.h"
#include "platform/rt_file.h"

namespace fontseal {

void FileSource::open(const char* path) {
    close();
    handle_ = rt_open(path, OpenMode::kRead);
    if (handle_ < 0) throw error(kErrCannotOpen);
    long end = rt_lseek(handle_, 0, SeekOrigin::kEnd);
    if (end < 0 || end > INT_MAX) {
        // Certificate and key files are small; anything past 2 GiB cannot be one.
        close();
        throw error(kErrCannotOpen);
    }
    size_ = static_cast<int>(end);
    rt_lseek(handle_, 0, SeekOrigin::kBegin);
    position_ = 0;
}

void FileSource::close() {
    if (handle_ >= 0) rt_close(handle_);
    handle_ = -1;
}

void FileSource::read(uint8_t* buffer, int count) {
    if (count < 0) throw error(kErrShortTransfer);
    position_ += count;
    if (count == 0) return;
    if (rt_read(handle_, buffer, static_cast<unsigned>(count)) != count)
        throw error(kErrShortTransfer);
}

void FileSource::write(const uint8_t* buffer, int count) {
    if (count < 0) throw error(kErrShortTransfer);
    position_ += count;
    if (count == 0) return;
    if (rt_write(handle_, buffer, static_cast<unsigned>(count)) != count)
        throw error(kErrShortTransfer);
}

}  // namespace fontseal

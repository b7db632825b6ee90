// SPDX-License-Identifier: Apache-2.0
#include "font/ot_file_stream.h"

#include "platform/rt_file.h"

namespace fontseal {

OTFileStream::OTFileStream(const char* path, OpenMode mode) {
    handle_ = rt_open(path, mode);
    if (handle_ < 0) error_ = handle_;
}

OTFileStream::~OTFileStream() {
    if (handle_ >= 0) rt_close(handle_);
}

int32_t OTFileStream::write(const void* buffer, int32_t count) {
    if (handle_ < 0 || count <= 0) return 0;
    return rt_write(handle_, buffer, static_cast<unsigned>(count));
}

int32_t OTFileStream::read(void* buffer, int32_t count) {
    if (handle_ < 0 || count <= 0) return 0;
    return rt_read(handle_, buffer, static_cast<unsigned>(count));
}

int32_t OTFileStream::seek(int32_t offset, SeekOrigin origin) {
    if (handle_ < 0) return 0;
    return static_cast<int32_t>(rt_lseek(handle_, offset, origin));
}

int32_t OTFileStream::tell() { return static_cast<int32_t>(rt_tell(handle_)); }

int32_t OTFileStream::size() { return static_cast<int32_t>(rt_filelength(handle_)); }

int OTFileStream::permissions() const { return rt_fstat_permissions(handle_); }

int64_t OTFileStream::fileLength() const { return handle_ < 0 ? -1 : rt_filelength(handle_); }

bool OTFileStream::close() {
    if (handle_ >= 0) {
        if (rt_close(handle_) != 0 && error_ == 0) error_ = 1;
        handle_ = -1;
    }
    return isOk();
}

}  // namespace fontseal

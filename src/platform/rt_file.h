// SPDX-License-Identifier: Apache-2.0
// Low-level file calls on runtime file handles, carried out with POSIX calls.
// Open modes and seek origins are named (platform/file_modes.h).
#pragma once
#include <cstdint>

#include "platform/file_modes.h"

namespace fontseal {

// Opens `path`; returns a handle >= 0, or -1. Directories are refused, and
// kRead opens only regular files, without waiting (a FIFO fails at once).
int rt_open(const char* path, OpenMode mode);
// Byte counts; -1 on failure, 0 at end of file.
int rt_read(int handle, void* buffer, unsigned count);
int rt_write(int handle, const void* buffer, unsigned count);
// New offset, or -1.
long rt_lseek(int handle, long offset, SeekOrigin origin);
long rt_tell(int handle);
// File length, or -1.
long rt_filelength(int handle);
// File size from the status call, or -1.
long rt_fstat_size(int handle);
// The file's permission bits (rwx for owner, group and others), or -1.
int rt_fstat_permissions(int handle);
// Reserves disk space for the first `size` bytes of a file about to be
// written, so the file system need not allocate blocks late (ext4 otherwise
// allocates them when the finished file is renamed over an existing one).
// Only a hint: false where the file system cannot do it, and nothing changes.
bool rt_preallocate(int handle, int64_t size);
// 0, or -1 when the close reported an error (a failed final write among them).
int rt_close(int handle);

}  // namespace fontseal

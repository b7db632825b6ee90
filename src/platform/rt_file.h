// Low-level file calls taking the flag and permission values of the Windows C
// runtime (the values the font streams and file sources are written against)
// and carrying them out with POSIX calls.
#pragma once
#include <cstdint>

namespace fontseal {

enum : int {
    RT_O_RDONLY = 0x0000,
    RT_O_WRONLY = 0x0001,
    RT_O_RDWR = 0x0002,
    RT_O_APPEND = 0x0008,
    RT_O_CREAT = 0x0100,
    RT_O_TRUNC = 0x0200,
    RT_O_EXCL = 0x0400,
    RT_O_TEXT = 0x4000,
    RT_O_BINARY = 0x8000,
};

enum : int {
    RT_S_IWRITE = 0x0080,
    RT_S_IREAD = 0x0100,
};

// Opens `path`; returns a handle >= 0, or -1.
int rt_open(const char* path, int flags, int mode);
// Byte counts; -1 on failure, 0 at end of file.
int rt_read(int handle, void* buffer, unsigned count);
int rt_write(int handle, const void* buffer, unsigned count);
// New offset, or -1. Origin 0 start, 1 current, 2 end.
long rt_lseek(int handle, long offset, int origin);
long rt_tell(int handle);
// File length, or -1.
long rt_filelength(int handle);
// File size from the status call, or -1.
long rt_fstat_size(int handle);
// 0, or -1 when the close reported an error (a failed final write among them).
int rt_close(int handle);

}  // namespace fontseal

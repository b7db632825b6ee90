// SPDX-License-Identifier: Apache-2.0
// The flag and permission values of the Windows C runtime that the file calls
// were first written against, and the open call that takes them. Kept inside
// the platform layer (and its tests): everything above it names an OpenMode.
#pragma once

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

// Opens `path` with runtime flags and permission mode; a handle >= 0, or -1.
int rt_open(const char* path, int flags, int mode);

}  // namespace fontseal

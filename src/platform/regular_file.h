// SPDX-License-Identifier: Apache-2.0
// Opening files that are read as a whole: certificates, keys, roots, store
// entries, PIN files, token modules. Every such open goes through here, so
// none of them can wait: opening a FIFO blocks until a writer comes, and a
// device may block or never end. Only regular files are taken.
#pragma once
#include <cstddef>
#include <string>

#include "base/secure_bytes.h"

namespace fontseal {

// Why a file could not be opened: an errno value of the open, or one of these.
enum : int {
    kFileNotRegular = -1,  // a FIFO, a device or a socket
    kFileTooLarge = -2,    // more than the reader's limit
};

// Opens `path` read-only without waiting and returns the descriptor (in
// blocking mode again, close-on-exec), or -1 with *reason set: EISDIR for a
// directory, kFileNotRegular for anything else that is not a regular file.
int open_regular_file(const char* path, int* reason = nullptr);

// Reads the whole regular file at `path`, refusing more than `limit` bytes.
// False with *reason set when it cannot. The buffers wipe what they held.
bool read_regular_file(const char* path, size_t limit, SecureBytes& out, int* reason = nullptr);

// A reason in words: "it is a directory", "it is not a regular file", or the
// system's text ("No such file or directory", "Permission denied").
std::string file_fault_text(int reason);

}  // namespace fontseal

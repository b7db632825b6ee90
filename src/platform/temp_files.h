// SPDX-License-Identifier: Apache-2.0
// The temporary outputs this process has created and not yet renamed into
// place. A host that is told to stop (SIGINT, SIGTERM, SIGHUP) removes them
// all, and a temporary left behind by a process that was killed outright is
// recognised and removed the next time anyone writes beside it: its writer
// holds an flock(2) lock on it for as long as it lives, and only a file
// whose lock nobody holds (and whose name's process is gone) is stale.
#pragma once
#include <string>

namespace fontseal {

// The name of a temporary output for `destination` in `directory`:
// ".<base>.fontseal-<pid>-<sequence>.tmp".
std::string temp_file_name(const std::string& directory, const std::string& base,
                           unsigned sequence);

// Creates `path` exclusively with `permissions` less the umask and records it. False when
// it cannot be created (errno tells why) or removal has begun.
bool temp_file_create(const std::string& path, int permissions = 0600);
// Renames a recorded temporary over `destination` and forgets it. The
// rename and a concurrent remove_all never interleave, so a stopped process
// leaves either the old destination or the complete new one.
bool temp_file_commit(const std::string& path, const std::string& destination);
// Removes a recorded temporary and forgets it.
void temp_file_discard(const std::string& path);

// Removes every recorded temporary; from then on temp_file_create and
// temp_file_commit fail. For a thread that handles a stop signal (it takes
// a lock, so it must not run inside a signal handler).
void temp_files_remove_all();

// Removes temporaries in `directory` that belong to the current user, whose
// names name a process that does not exist here, and whose lock nobody
// holds. A writer in another PID namespace or on another host keeps its
// file by its lock.
void temp_files_remove_stale(const std::string& directory);

}  // namespace fontseal

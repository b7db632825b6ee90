// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the unit tests: scratch directories, whole-file I/O,
// the system fonts used as real inputs, and running external tools.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

namespace testsupport {

// A fresh directory under $TMPDIR, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
// Names of the entries of a directory (without . and ..), sorted.
std::vector<std::string> listDir(const std::string& path);

// Real fonts from the system's font packages.
std::string dejavuSansPath();
std::string latinModernOtfPath();

// Runs a shell command; returns its exit status and, when `output` is given,
// what it printed on standard output.
int run(const std::string& command, std::string* output = nullptr);

// The code of the fontseal::error that `action` raises, or 0 when it
// raises none.
template <class Action>
int errorCodeOf(Action&& action) {
    try {
        action();
    } catch (const fontseal::error& e) {
        return e.code;
    }
    return 0;
}

// Hex text of bytes, for readable assertion failures.
std::string hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> unhex(const std::string& text);

}  // namespace testsupport

// SPDX-License-Identifier: Apache-2.0
// The key-file reader over every form it takes: PVK, PEM (PKCS#1 plain or
// with encryption headers, PKCS#8 plain or encrypted), DER (PKCS#1, PKCS#8
// plain or encrypted) and PKCS#12 (AES/PBKDF2 or the legacy PBEs, with or
// without a MAC), through the same path a signing call takes: a file.
//
// Input: one byte choosing the password (low 2 bits: none, empty, "secret",
// or the next (byte >> 2) bytes of the input), then the key file. Seeds are
// key files behind 0x02.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "key/key_file.h"

using namespace fontseal;

namespace {

bool known_result(int result) {
    return result == 0 || result == kErrKeyFile || result == kErrKeyBlob ||
           result == kErrKeyPassword || result == kErrKeyNotRsa || result == kErrKeyFormat ||
           result == kErrKeyIterations;
}

// The input as a regular file in memory, reached by a path like any key file.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) {
        fd_ = memfd_create("key", MFD_CLOEXEC);
        FUZZ_CHECK(fd_ >= 0);
        for (size_t done = 0; done < size;) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            FUZZ_CHECK(n > 0);
            done += size_t(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1 << 20)) return 0;
    std::string given;
    const char* password = fuzz::take_password(data, size, given);

    MemoryFile file(data, size);
    KeyFileContents contents;
    const int result = load_key_file(file.path(), password, contents);
    FUZZ_CHECK(known_result(result));
    // A key exactly when it reports success; certificates only with a key.
    FUZZ_CHECK(result == 0 ? contents.key != nullptr : !contents.key);
    FUZZ_CHECK(result == 0 || contents.certificates.empty());
    if (result == 0) FUZZ_CHECK(contents.form != KeyFileForm::kUnknown);

    const int needs = key_file_needs_password(file.path());
    FUZZ_CHECK(needs == 0 || needs == 1 || known_result(needs));
    // A count above the bound is found whichever call meets it first.
    if (needs == kErrKeyIterations) FUZZ_CHECK(result != 0);
    return 0;
}

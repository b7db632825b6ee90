// SPDX-License-Identifier: Apache-2.0
// The certificate-file loader through all its attempts (binary, PEM, base64
// in 8- and 16-bit characters; one certificate or a bundle). The loader
// takes a path and opens it afresh for every attempt, so the input is put in
// an anonymous memory file and named through /proc.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "api/cert_file_loader.h"
#include "base/error.h"
#include "fuzz_support.h"

using namespace fontseal;

namespace {

class MemoryFile {
public:
    MemoryFile() : fd_(memfd_create("fuzz-certificate", 0)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    void fill(const uint8_t* data, size_t size) {
        FUZZ_CHECK(ftruncate(fd_, 0) == 0);
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd_, data + done, size - done, off_t(done));
            FUZZ_CHECK(n > 0);
            done += size_t(n);
        }
    }
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    file.fill(data, size);

    GrowArray<P7Certificate> list;
    int attempt = -2;
    int count = 0;
    try {
        count = load_certificates(file.path(), list, &attempt);
    } catch (const error& e) {
        // The file is always there to open, so no fault may come out.
        std::fprintf(stderr, "load_certificates raised %d\n", e.code);
        std::abort();
    }
    FUZZ_CHECK(count == list.count());
    FUZZ_CHECK(attempt >= -1 && attempt < kCertificateAttempts);
    FUZZ_CHECK(count == 0 || attempt >= 0);
    for (const P7Certificate& entry : list) {
        FUZZ_CHECK(entry.raw() && entry.info());
        FUZZ_CHECK(entry.info()->modulusLength() > 0 && entry.info()->exponentLength() > 0);
    }
    // A binary certificate is the file's first element, kept as it stands.
    if (attempt == 0) {
        FUZZ_CHECK(count == 1);
        const DerRaw& raw = *list[0].raw();
        FUZZ_CHECK(size_t(raw.length()) <= size);
        FUZZ_CHECK(std::memcmp(raw.data(), data, size_t(raw.length())) == 0);
    }
    return 0;
}

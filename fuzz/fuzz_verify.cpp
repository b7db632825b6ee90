// SPDX-License-Identifier: Apache-2.0
// The verifier over whole signed fonts, through fontseal_verify as a host
// calls it: the DSIG table, each SignedData, the font digest in both data
// orders, the signer's signature, time stamps and, with roots, the chain.
// The verifier opens fonts by path, so the font and the roots go into
// memory files opened through /proc.
//
// Input: one byte of options (bits 0-1: the signature to judge alone, 0 the
// whole font; bit 2: a report of the size before signature_number, as an
// older host passes), a big-endian 16-bit length of PEM roots and the roots
// (none: the chain is not checked), then the font.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fontseal/fontseal.h"
#include "fuzz_support.h"

namespace {

// A file that lives in memory and is opened by path, as a font on disk is.
class MemoryFile {
public:
    explicit MemoryFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const char* hold(const uint8_t* data, size_t size) {
        FUZZ_CHECK(ftruncate(fd_, 0) == 0);
        for (size_t done = 0; done < size;) {
            const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            FUZZ_CHECK(n > 0);
            done += static_cast<size_t>(n);
        }
        return path_.c_str();
    }

private:
    int fd_;
    std::string path_;
};

// Whole UTF-8 characters only, no NUL before the end.
bool is_utf8(const char* text, size_t size) {
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    const auto* end = p + size;
    while (p < end) {
        const uint8_t c = *p++;
        int more = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : -1;
        if (more < 0 || (more == 1 && c < 0xC2) || end - p < more) return false;
        for (; more > 0; --more) {
            if ((*p++ & 0xC0) != 0x80) return false;
        }
    }
    return true;
}

template <size_t N>
void checkText(const char (&field)[N]) {
    const void* nul = std::memchr(field, 0, N);
    FUZZ_CHECK(nul != nullptr);
    FUZZ_CHECK(is_utf8(field, static_cast<size_t>(static_cast<const char*>(nul) - field)));
}

bool is(const char* text, const char* value) { return std::strcmp(text, value) == 0; }

// The report an (older or newer) host passes, allocated to exactly its
// size so that a write past it is caught.
struct Report {
    explicit Report(uint32_t size) : bytes(new uint8_t[size]), size(size) {
        std::memset(bytes.get(), 0xA5, size);
        get()->size = size;
    }
    fontseal_verify_report* get() { return reinterpret_cast<fontseal_verify_report*>(bytes.get()); }
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size;
};

constexpr uint32_t kOlderReport = offsetof(fontseal_verify_report, signature_number);

int32_t verify(const char* font, const char* roots, int32_t number, Report& report) {
    fontseal_verify_request request{};
    request.size = sizeof request;
    request.font_path = font;
    request.ca_file = roots;
    request.signature_number = number;
    const int32_t result = fontseal_verify(&request, report.get());
    const fontseal_verify_report& r = *report.get();
    FUZZ_CHECK(r.result == result);
    checkText(r.message);
    checkText(r.check);
    checkText(r.signer_subject);
    checkText(r.signer_issuer);
    checkText(r.signer_serial);
    checkText(r.digest);
    checkText(r.statement);
    checkText(r.program_name);
    checkText(r.more_info_url);
    checkText(r.layout);
    checkText(r.timestamp_kind);
    checkText(r.timestamp_signer);
    const bool sized = report.size > kOlderReport;
    if (result == FONTSEAL_OK) {
        FUZZ_CHECK(r.check[0] == 0 && r.message[0] == 0);
        FUZZ_CHECK(r.signature_count > 0 && r.dsig_flags >= 0);
        FUZZ_CHECK(r.digest[0] && (is(r.layout, "writer") || is(r.layout, "file")));
        FUZZ_CHECK(r.chain_checked == (roots != nullptr));
        if (sized) {
            FUZZ_CHECK(r.signature_number >= 1 && r.signature_number <= r.signature_count);
            FUZZ_CHECK(number == 0 ? r.signature_number == 1 : r.signature_number == number);
        }
    } else if (result == FONTSEAL_E_NOT_VERIFIED) {
        FUZZ_CHECK(r.message[0] != 0);
        FUZZ_CHECK(is(r.check, "table") || is(r.check, "signed-data") || is(r.check, "digest") ||
                   is(r.check, "signature") || is(r.check, "timestamp") || is(r.check, "chain"));
        FUZZ_CHECK(r.chain_checked == 0);
        if (sized) FUZZ_CHECK(r.signature_number >= 0 && r.signature_number <= r.signature_count);
    } else if (result == FONTSEAL_E_REQUEST) {
        FUZZ_CHECK(number > r.signature_count && r.signature_count > 0);
    } else {
        FUZZ_CHECK(r.message[0] != 0 && r.check[0] == 0);
    }
    if (result == FONTSEAL_E_UNSIGNED) FUZZ_CHECK(r.signature_count == 0);
    // Roots that hold no certificate: no verdict, the font not even read.
    if (result == FONTSEAL_E_CA_FILE)
        FUZZ_CHECK(roots && r.message[0] && r.signature_count == 0 && r.dsig_flags == -1);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile fontFile("font");
    static MemoryFile rootsFile("roots");
    if (size < 3 || size > 0x100000) return 0;
    const int32_t number = data[0] & 3;
    const uint32_t reportSize = (data[0] & 4) ? kOlderReport : sizeof(fontseal_verify_report);
    size_t rootsSize = static_cast<size_t>(data[1] << 8 | data[2]);
    if (rootsSize > size - 3) rootsSize = size - 3;
    const char* roots = rootsSize > 0 ? rootsFile.hold(data + 3, rootsSize) : nullptr;
    const char* font = fontFile.hold(data + 3 + rootsSize, size - 3 - rootsSize);

    Report report(reportSize);
    const int32_t result = verify(font, roots, number, report);

    // Judging the whole font names the signature it stopped at (or the
    // first, when all hold); that signature judged alone has the same
    // verdict and the same failed check.
    if (number != 0 || report.size <= kOlderReport) return 0;
    const fontseal_verify_report& whole = *report.get();
    if (whole.signature_number == 0) return 0;
    Report alone(sizeof(fontseal_verify_report));
    FUZZ_CHECK(verify(font, roots, whole.signature_number, alone) == result);
    FUZZ_CHECK(is(alone.get()->check, whole.check));
    FUZZ_CHECK(is(alone.get()->signer_serial, whole.signer_serial));
    return 0;
}

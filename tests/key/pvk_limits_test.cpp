// SPDX-License-Identifier: Apache-2.0
// Forged salt and blob lengths must fail as damaged files without the reader
// first asking the heap for the announced size. This binary's global
// operator new records the largest request to make that visible.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/memory_stream.h"
#include "key/pvk_reader.h"
#include "support/key_support.h"
#include "support/test_support.h"

namespace {
std::atomic<size_t> g_largestRequest{0};
}  // namespace

void* operator new(size_t size) {
    size_t seen = g_largestRequest.load();
    while (size > seen && !g_largestRequest.compare_exchange_weak(seen, size)) {
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The replacement new above allocates with malloc, so free is the match here.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace fontseal {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes& strongFile() {
    static testsupport::TempDir dir;
    static const Bytes bytes =
        testsupport::readFile(testsupport::makePvkKeys(dir, "k", 1024, "secret").strong);
    return bytes;
}

template <class Source>
void expectCheapFailure(const Bytes& bytes, size_t limit) {
    EvpPkeyPtr key;
    Source stream(bytes);
    g_largestRequest = 0;
    EXPECT_EQ(kErrKeyFile, load_private_key(stream, "secret", key));
    EXPECT_LT(g_largestRequest.load(), limit);
}

struct SizedSource : MemoryStream {
    explicit SizedSource(const Bytes& bytes)
        : MemoryStream(bytes.data(), static_cast<int>(bytes.size())) {}
};

TEST(PvkLimits, ForgedLengthsFailWithoutLargeAllocations) {
    const Bytes good = strongFile();
    ASSERT_EQ(16u, testsupport::getLe32(good, 16));
    {
        // The probe does see the reader's own buffers when the lengths are genuine.
        EvpPkeyPtr key;
        SizedSource stream(good);
        g_largestRequest = 0;
        EXPECT_EQ(kErrKeyPassword, load_private_key(stream, "wrong", key));
        EXPECT_GE(g_largestRequest.load(), 596u);
    }

    struct Case {
        uint32_t salt, blob;
    };
    for (Case c : {Case{0xFFFFFFF0u, 596}, Case{0x7FFFFFFFu, 596}, Case{16, 0xFFFFFFFFu},
                   Case{16, 0x80000000u}, Case{16, 597}, Case{0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        SCOPED_TRACE(std::to_string(c.salt) + " " + std::to_string(c.blob));
        Bytes bytes = good;
        testsupport::setLe32(bytes, 16, c.salt);
        testsupport::setLe32(bytes, 20, c.blob);
        // A stream that knows its length rejects before allocating at all.
        expectCheapFailure<SizedSource>(bytes, 64);
        // One that does not can only read its way to the end in bounded steps.
        expectCheapFailure<testsupport::UnsizedSource>(bytes, 256 * 1024);
    }
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The DER reader walking anything: every operation on every element, over a
// source that knows its size and over one that does not.
//
// Input: one byte n (its low 6 bits), then n operation bytes used in turn
// for the elements met, then the DER. With n = 0 each element gets the
// operation its tag suggests, so plain DER files are useful seeds behind a
// single 0x00.
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/memory_stream.h"
#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "fuzz_support.h"

using namespace fontseal;

namespace {

// Buffers are sized from the reader's own answers, as the decoders do; over
// a source of unknown size an answer is only followed when it is modest.
constexpr int64_t kUnsizedLimit = 1 << 20;

enum Op {
    kByTag,
    kSkip,
    kEnter,
    kReadInt,
    kReadIntegerBytes,
    kReadOid,
    kReadOctets,
    kReadBits,
    kReadUtcTime,
    kCopy,
    kRaw,
    kReadString,
    kLength,
    kExpectEnd,
    kOpCount
};

class Walker {
public:
    Walker(DerReader& reader, const uint8_t* der, size_t size, const uint8_t* ops, size_t opCount,
           bool sized, std::function<size_t()> position)
        : reader_(reader),
          der_(der),
          size_(size),
          ops_(ops),
          opCount_(opCount),
          sized_(sized),
          position_(std::move(position)) {}

    void walk(int depth) {
        int tag = 0, form = 0;
        for (int steps = 0; steps < 64; ++steps) {
            // Every operation below finishes its element or raises, so the
            // next peek starts a fresh header here.
            const size_t start = position_();
            if (!reader_.peek(tag, form)) return;
            step(depth, tag, form, start);
        }
    }

private:
    bool affordable(int64_t size) const { return size >= 0 && (sized_ || size < kUnsizedLimit); }

    Op next(int tag, int form) {
        Op op = kByTag;
        if (opCount_ > 0) op = Op(ops_[used_++ % opCount_] % kOpCount);
        if (op != kByTag) return op;
        if (form & kFormConstructed) return kEnter;
        switch (tag) {
            case kTagInteger:
                return kReadIntegerBytes;
            case kTagBitString:
                return kReadBits;
            case kTagOctetString:
                return kReadOctets;
            case kTagOid:
                return kReadOid;
            case kTagUtcTime:
                return kReadUtcTime;
            case kTagNull:
                return kSkip;
            default:
                return kCopy;
        }
    }

    // The captured bytes of an element whose header began at `start` must be
    // exactly the input's bytes there.
    void checkVerbatim(const uint8_t* bytes, int count, size_t start) {
        FUZZ_CHECK(count >= 0 && start + size_t(count) <= size_);
        FUZZ_CHECK(count == 0 || std::memcmp(bytes, der_ + start, size_t(count)) == 0);
    }

    void step(int depth, int tag, int form, size_t start) {
        switch (next(tag, form)) {
            case kByTag:
            case kOpCount:
            case kSkip:
                reader_.skip();
                break;
            case kEnter:
                reader_.enter();
                if (depth < DerReader::kMaxDepth) walk(depth + 1);
                reader_.leave();
                break;
            case kReadInt:
                reader_.readInt();
                break;
            case kReadIntegerBytes: {
                const int length = reader_.readIntegerBytes(nullptr, 0);
                if (!affordable(length)) return reader_.skip();
                // Never a null buffer, which would only ask for the length
                // again; the capacity may still be short.
                const int capacity = length + int(used_ % 3) - 1;
                std::vector<uint8_t> buffer(size_t(length) + 2);
                FUZZ_CHECK(reader_.readIntegerBytes(buffer.data(), capacity) == length);
                break;
            }
            case kReadOid: {
                DerOid oid;
                reader_.readOid(oid);
                // What was read either cannot be written (first arc above 2)
                // or reads back as the same arcs.
                MemoryStream out;
                try {
                    oid.encode(&out);
                } catch (const error& e) {
                    FUZZ_CHECK(e.code == kErrBadOid);
                    break;
                }
                MemoryStream in(out.data(), out.position());
                DerOid again;
                FUZZ_CHECK(again.decode(in) == out.position());
                FUZZ_CHECK(again == oid);
                break;
            }
            case kReadOctets:
            case kReadString: {
                const int length = reader_.readOctets(nullptr, 0);
                if (!affordable(length)) return reader_.skip();
                std::vector<uint8_t> buffer(size_t(length) + 1);
                FUZZ_CHECK(reader_.readString(buffer.data(), length) == length);
                break;
            }
            case kReadBits: {
                const int bits = reader_.readBits(nullptr, 0);
                if (!affordable(bits / 8 + 1)) return reader_.skip();
                std::vector<uint8_t> buffer(size_t(bits + 7) / 8 + 1);
                FUZZ_CHECK(reader_.readBits(buffer.data(), (bits + 7) / 8) == bits);
                break;
            }
            case kReadUtcTime: {
                UtcTime time;
                FUZZ_CHECK(reader_.readUtcTime(time) >= 11);
                break;
            }
            case kCopy: {
                MemoryStream sink;
                const int n = reader_.copyElement(sink);
                FUZZ_CHECK(n == sink.position());
                checkVerbatim(sink.data(), n, start);
                break;
            }
            case kRaw: {
                DerRaw raw;
                if (!raw.decodeFrom(reader_)) throw error(0);  // the reader is to be abandoned
                MemoryStream out;
                FUZZ_CHECK(raw.encode(&out) == raw.length());
                checkVerbatim(out.data(), out.position(), start);
                break;
            }
            case kLength: {
                const int length = reader_.length();
                FUZZ_CHECK(length >= -1);
                FUZZ_CHECK(!sized_ || length <= int(size_));
                reader_.skip();
                break;
            }
            case kExpectEnd:
                reader_.expectEnd();  // raises: an element is there
                break;
        }
    }

    DerReader& reader_;
    const uint8_t* der_;
    size_t size_;
    const uint8_t* ops_;
    size_t opCount_;
    size_t used_ = 0;
    bool sized_;
    std::function<size_t()> position_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t opCount = data[0] & 0x3F;
    if (opCount > size - 1) opCount = size - 1;
    const uint8_t* ops = data + 1;
    const uint8_t* der = ops + opCount;
    const size_t derSize = size - 1 - opCount;

    for (bool sized : {true, false}) {
        MemoryStream memory(der, int(derSize));
        fuzz::UnsizedSource unsized(der, derSize);
        ByteSource& source = sized ? static_cast<ByteSource&>(memory) : unsized;
        std::function<size_t()> position = [&]() {
            return sized ? size_t(memory.position()) : unsized.position();
        };
        DerReader reader(source);
        Walker walker(reader, der, derSize, ops, opCount, sized, position);
        try {
            walker.walk(0);
            // Whatever is left may be skipped wholesale.
            reader.reset();
            int tag = 0, form = 0;
            while (reader.peek(tag, form)) reader.skip();
        } catch (const error&) {
            // The reader reported the input as unusable; that is its job.
        }
    }
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
#include "font/ot_woff.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "font/big_endian.h"
#include "font/ot_errors.h"
#include "font/ot_file_stream.h"
#include "font/ot_memory_stream.h"

namespace fontseal {

namespace {

constexpr uint32_t kWoffSignature = 0x774F4646;   // 'wOFF'
constexpr uint32_t kWoff2Signature = 0x774F4632;  // 'wOF2'
constexpr size_t kHeaderSize = 44;
constexpr size_t kEntrySize = 20;
// Seconds from 1904-01-01 (head's epoch) to 1970-01-01.
constexpr int64_t kEpochGap = 2082844800;

std::vector<uint8_t> read_whole(const char* path) {
    OTFileStream file(path, OpenMode::kRead);
    if (!file.isOk()) throw OT_EXCEPTION(kOtCannotOpen);
    const int64_t length = file.fileLength();
    if (length < 0) throw OT_EXCEPTION(kOtCannotOpen);
    if (length > INT32_MAX) throw OT_EXCEPTION(kOtTooLarge);
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    size_t got = 0;
    while (got < bytes.size()) {
        const int32_t n =
            file.read(bytes.data() + got,
                      static_cast<int32_t>(std::min<size_t>(bytes.size() - got, size_t{1} << 24)));
        if (n <= 0) throw OT_EXCEPTION(kOtCannotOpen);
        got += static_cast<size_t>(n);
    }
    return bytes;
}

struct Entry {
    uint32_t tag, offset, compLength, origLength, checksum;
};

}  // namespace

WoffKind woff_kind(const char* path) {
    OTFileStream file(path, OpenMode::kRead);
    uint8_t first[4];
    if (!file.isOk() || file.read(first, 4) != 4) return WoffKind::kNone;
    const uint32_t signature = loadBE32(first);
    if (signature == kWoffSignature) return WoffKind::kWoff;
    if (signature == kWoff2Signature) return WoffKind::kWoff2;
    return WoffKind::kNone;
}

WoffFont decode_woff(const char* path) {
    const std::vector<uint8_t> woff = read_whole(path);
    if (woff.size() < kHeaderSize || loadBE32(woff.data()) != kWoffSignature) {
        throw OT_EXCEPTION(kOtBadDirectory);
    }
    const uint8_t* h = woff.data();
    const uint32_t flavor = loadBE32(h + 4);
    const uint16_t numTables = loadBE16(h + 12);
    const uint32_t totalSfntSize = loadBE32(h + 16);
    if (loadBE32(h + 8) != woff.size() || numTables == 0 ||
        kHeaderSize + size_t{numTables} * kEntrySize > woff.size() || totalSfntSize > INT32_MAX) {
        throw OT_EXCEPTION(kOtBadDirectory);
    }
    std::vector<Entry> entries(numTables);
    for (size_t i = 0; i < numTables; ++i) {
        const uint8_t* e = h + kHeaderSize + i * kEntrySize;
        entries[i] = {loadBE32(e), loadBE32(e + 4), loadBE32(e + 8), loadBE32(e + 12),
                      loadBE32(e + 16)};
        const Entry& t = entries[i];
        if (uint64_t{t.offset} + t.compLength > woff.size() || t.compLength > t.origLength ||
            (i > 0 && t.tag <= entries[i - 1].tag)) {
            throw OT_EXCEPTION(kOtBadDirectory);
        }
    }
    // Data in the order the WOFF holds it, which must not overlap.
    std::vector<size_t> byOffset(numTables);
    for (size_t i = 0; i < numTables; ++i) byOffset[i] = i;
    std::sort(byOffset.begin(), byOffset.end(),
              [&](size_t a, size_t b) { return entries[a].offset < entries[b].offset; });
    uint64_t size = 12 + 16 * uint64_t{numTables};
    for (size_t k = 0; k < numTables; ++k) {
        const Entry& t = entries[byOffset[k]];
        if (k > 0) {
            const Entry& before = entries[byOffset[k - 1]];
            if (uint64_t{before.offset} + before.compLength > t.offset) {
                throw OT_EXCEPTION(kOtBadDirectory);
            }
        }
        size += (uint64_t{t.origLength} + 3) & ~uint64_t{3};
    }
    // The size the header states bounds what a small file may inflate to.
    if (size != totalSfntSize) throw OT_EXCEPTION(kOtBadDirectory);

    // The header and directory first, then each table written straight into
    // the stream: the font is held once, not copied again.
    const size_t directorySize = 12 + 16 * size_t{numTables};
    std::vector<uint8_t> sfnt(directorySize, 0);
    storeBE32(sfnt.data() + 0, flavor);
    storeBE16(sfnt.data() + 4, numTables);
    uint16_t power = 1, log2 = 0;
    while (power * 2 <= numTables) {
        power = static_cast<uint16_t>(power * 2);
        ++log2;
    }
    storeBE16(sfnt.data() + 6, static_cast<uint16_t>(power * 16));
    storeBE16(sfnt.data() + 8, log2);
    storeBE16(sfnt.data() + 10, static_cast<uint16_t>(numTables * 16 - power * 16));
    size_t at = directorySize;
    for (size_t k = 0; k < numTables; ++k) {
        const size_t i = byOffset[k];
        const Entry& t = entries[i];
        const size_t dir = 12 + 16 * i;
        storeBE32(sfnt.data() + dir, t.tag);
        storeBE32(sfnt.data() + dir + 4, t.checksum);
        storeBE32(sfnt.data() + dir + 8, static_cast<uint32_t>(at));
        storeBE32(sfnt.data() + dir + 12, t.origLength);
        at += (size_t{t.origLength} + 3) & ~size_t{3};
    }
    auto* stream = new OTMemoryStream(static_cast<int32_t>(size));
    WoffFont out;
    out.sfnt.reset(stream);
    auto put = [stream](const uint8_t* data, size_t count) {
        if (stream->write(data, static_cast<int32_t>(count)) != static_cast<int32_t>(count)) {
            throw OT_EXCEPTION(kOtCannotOpen);
        }
    };
    if (!stream->isOk()) throw OT_EXCEPTION(kOtCannotOpen);
    put(sfnt.data(), sfnt.size());
    std::vector<uint8_t> inflated;
    static const uint8_t kZeros[4] = {0, 0, 0, 0};
    for (size_t k = 0; k < numTables; ++k) {
        const Entry& t = entries[byOffset[k]];
        const uint8_t* data = woff.data() + t.offset;
        if (t.compLength != t.origLength) {
            inflated.resize(t.origLength);
            uLongf length = t.origLength;
            if (uncompress(inflated.data(), &length, data, t.compLength) != Z_OK ||
                length != t.origLength) {
                throw OT_EXCEPTION(kOtBadDirectory);
            }
            data = inflated.data();
        }
        if (t.tag == 0x68656164 && t.origLength >= 36) {  // 'head'
            const int64_t since1904 =
                static_cast<int64_t>((uint64_t{loadBE32(data + 28)} << 32) | loadBE32(data + 32));
            out.headModified = since1904 - kEpochGap;
        }
        put(data, t.origLength);
        put(kZeros, (4 - t.origLength % 4) % 4);
    }
    stream->seek(0, SeekOrigin::kBegin);
    return out;
}

}  // namespace fontseal

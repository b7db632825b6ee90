// SPDX-License-Identifier: Apache-2.0
// The font layout: the table directory read from memory, DSIG tables parsed
// and rebuilt, and the whole font written out again and read back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "font/big_endian.h"
#include "font/ot_dsig_table.h"
#include "font/ot_errors.h"
#include "font/ot_font.h"
#include "font/ot_memory_stream.h"
#include "font/ot_signing_font.h"
#include "font/ot_tag.h"
#include "fuzz_support.h"

using namespace fontseal;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes contents(OTMemoryStream& stream) {
    return stream.size() > 0 ? Bytes(stream.buffer(), stream.buffer() + stream.size()) : Bytes();
}

void load(OTMemoryStream& stream, const uint8_t* data, size_t size) {
    if (size > 0) FUZZ_CHECK(stream.write(data, int32_t(size)) == int32_t(size));
    stream.seek(0, SeekOrigin::kBegin);
}

template <class Body>
bool rejected(Body&& body) {
    try {
        body();
        return false;
    } catch (const OT_EXCEPTION& e) {
        FUZZ_CHECK(e.code == kOtBadDirectory || e.code == kOtWoff || e.code == kOtWoff2 ||
                   e.code == kOtCollection || e.code == kOtNotSfnt || e.code == kOtTooLarge);
        return true;
    }
}

// A parsed DSIG table, written and parsed again, holds the same records.
void checkDsigRoundTrip(OTFont& font, OTDsigTable& dsig) {
    OTMemoryStream image(0);
    dsig.writeTo(&image);
    FUZZ_CHECK(image.size() == int32_t(dsig.length()) && image.size() % 4 == 0);
    OTDsigTable again("DSIG", &font);
    again.setInputOffset(0);
    again.setLength(uint32_t(image.size()));
    FUZZ_CHECK(!rejected([&] { again.parse(&image); }));
    FUZZ_CHECK(again.version == dsig.version && again.flags == dsig.flags);
    FUZZ_CHECK(again.signatures.size() == dsig.signatures.size());
    for (size_t i = 0; i < dsig.signatures.size(); ++i) {
        const DsigSignature& a = dsig.signatures[i];
        const DsigSignature& b = again.signatures[i];
        FUZZ_CHECK(a.format == b.format && a.length == b.length);
        FUZZ_CHECK(a.reserved1 == b.reserved1 && a.reserved2 == b.reserved2);
        FUZZ_CHECK(a.length == 0 || std::memcmp(a.bytes.get(), b.bytes.get(), a.length) == 0);
    }
}

// A written font: a directory describing tables that lie inside the output,
// each at a multiple of 4, in ascending tag order, with the search fields
// that go with the count; raw tables copied verbatim from the input.
void checkWritten(OTFont& font, const Bytes& out, const uint8_t* in) {
    FUZZ_CHECK(out.size() >= 12);
    const uint16_t count = loadBE16(&out[4]);
    FUZZ_CHECK(count == font.tableCount());
    const OTFont::SearchParams params = OTFont::searchParams(count);
    FUZZ_CHECK(loadBE16(&out[6]) == params.searchRange);
    FUZZ_CHECK(loadBE16(&out[8]) == params.entrySelector);
    FUZZ_CHECK(loadBE16(&out[10]) == params.rangeShift);
    FUZZ_CHECK(out.size() >= 12 + 16 * size_t(count));
    uint32_t previous = 0;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* record = &out[12 + 16 * size_t(i)];
        const uint32_t tag = loadBE32(record);
        const uint32_t offset = loadBE32(record + 8);
        const uint32_t length = loadBE32(record + 12);
        FUZZ_CHECK(i == 0 || previous <= tag);
        previous = tag;
        FUZZ_CHECK(offset % 4 == 0 && uint64_t(offset) + length <= out.size());
        OTTable& table = font.table(i);
        FUZZ_CHECK(table.tagValue() == tag && table.offset() == offset);
        if (table.state() == OTTable::kRaw) {
            FUZZ_CHECK(length == 0 ||
                       std::memcmp(&out[offset], in + table.inputOffset(), length) == 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x1000000) return 0;
    OTMemoryStream input(0);
    load(input, data, size);
    OTMemoryStream output(0x1000);
    OTSigningFont font(&input, &output);
    int32_t count = 0;
    if (rejected([&] { count = font.readDirectory(); })) return 0;
    FUZZ_CHECK(count == font.tableCount() && count <= OTFont::kMaxTables);

    // The plain font sees the same directory.
    {
        OTMemoryStream again(0);
        load(again, data, size);
        OTFont plain(&again, nullptr);
        FUZZ_CHECK(plain.readDirectory() == count);
    }

    // Every DSIG table parsed; the unusable ones dropped, as the signer
    // drops them all. Odd-sized inputs keep the good ones.
    const bool keepParsed = size % 2 == 1;
    for (int32_t i = 0; i < font.tableCount();) {
        OTTable& table = font.table(i);
        if (table.tagValue() != tagValue("DSIG")) {
            ++i;
            continue;
        }
        auto& dsig = static_cast<OTDsigTable&>(table);
        if (!rejected([&] { dsig.parse(nullptr); }) && keepParsed) {
            checkDsigRoundTrip(font, dsig);
            ++i;
            continue;
        }
        font.removeTable(i);
    }
    if (!keepParsed && size > 0) {
        const uint32_t length = uint32_t(std::min<size_t>(size, 300));
        auto* signature = static_cast<uint8_t*>(std::malloc(length));
        FUZZ_CHECK(signature);
        std::memcpy(signature, data, length);
        font.appendDsigTable().setSignature(signature, length);
    }

    // A font that was nothing but damaged DSIG tables has nothing to write.
    if (font.tableCount() == 0) {
        FUZZ_CHECK(rejected([&] { font.writeFont(); }));
        return 0;
    }
    FUZZ_CHECK(font.writeFont() == 0);
    const Bytes out = contents(output);
    checkWritten(font, out, data);

    // Our own output reads back and, written once more, comes out the same.
    OTMemoryStream reread(0);
    load(reread, out.data(), out.size());
    OTMemoryStream output2(0);
    OTFont plain(&reread, &output2);
    FUZZ_CHECK(!rejected([&] { FUZZ_CHECK(plain.readDirectory() == font.tableCount()); }));
    FUZZ_CHECK(plain.writeFont() == 0);
    FUZZ_CHECK(contents(output2) == out);
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
#include "font/ot_collection_passes.h"

#include <algorithm>
#include <climits>
#include <new>
#include <utility>
#include <vector>

#include "base/error.h"
#include "font/big_endian.h"
#include "font/ot_buffered_file.h"
#include "font/ot_collection_layout.h"
#include "font/ot_file_stream.h"
#include "font/ot_memory_stream.h"
#include "font/ot_stream_io.h"
#include "platform/atomic_output.h"

namespace fontseal {

namespace {

constexpr uint32_t kDsigTag = 0x44534947;  // 'DSIG'
constexpr uint32_t kCopyChunk = 1 << 20;
const uint8_t kFlags[2] = {0x00, 0x01};

// Passes the bytes on, with the header's DSIG fields (`at`, 12 bytes, in
// the first put) written as 0.
class ZeroDsigFields : public OTChunkSink {
public:
    ZeroDsigFields(OTChunkSink& sink, uint32_t at) : sink_(sink), at_(at) {}
    void put(const uint8_t* data, size_t count) override {
        if (!done_) {
            done_ = true;
            std::vector<uint8_t> first(data, data + count);
            const size_t end = std::min<size_t>(count, at_ + OTCollection::kDsigFieldsSize);
            if (at_ < end) std::fill(first.begin() + at_, first.begin() + end, 0);
            sink_.put(first.data(), first.size());
            return;
        }
        sink_.put(data, count);
    }

private:
    OTChunkSink& sink_;
    uint32_t at_;
    bool done_ = false;
};

}  // namespace

bool is_font_collection(const char* path) {
    OTFileStream file(path, OpenMode::kRead);
    uint8_t tag[4];
    return file.isOk() && readExactly(file, tag, 4) && loadBE32(tag) == OTCollection::kTag;
}

OTSourceCollection open_collection(const char* path) {
    OTSourceCollection source;
    auto* file = new OTFileStream(path, OpenMode::kRead);
    source.input.reset(file);
    if (!file->isOk()) throw OT_EXCEPTION(kOtCannotOpen);
    const int64_t length = file->fileLength();
    if (length < 0) throw OT_EXCEPTION(kOtCannotOpen);
    if (length > INT32_MAX) throw OT_EXCEPTION(kOtTooLarge);
    if (file->permissions() >= 0) source.permissions = file->permissions();
    source.collection.read(*file, static_cast<uint64_t>(length));
    source.owner.reset(new OTFont(file, nullptr));

    const OTCollection& c = source.collection;
    if (c.dsigTag == 0) return source;
    source.dsig.reset(new OTDsigTable("DSIG", source.owner.get()));
    source.dsig->setInputOffset(c.dsigOffset);
    source.dsig->setOffset(c.dsigOffset);
    source.dsig->setLength(c.dsigLength);
    source.dsig->setState(OTTable::kRaw);
    source.dsigState = OTDsigState::kDamaged;
    if (c.dsigTag == kDsigTag && static_cast<uint64_t>(c.dsigOffset) + c.dsigLength <= c.fileSize) {
        try {
            source.dsig->parse(nullptr);
            source.dsigState = OTDsigState::kParsed;
        } catch (const OT_EXCEPTION&) {
            // Kept unread, marked damaged.
        }
    }
    return source;
}

uint64_t emit_collection_signed_image(OTSourceCollection& source, const OTLayout& layout,
                                      OTChunkSink& sink) {
    // layout_collection leaves the DSIG fields 0.
    emit_collection(layout, *source.input, sink);
    sink.put(kFlags, sizeof kFlags);
    return layout.size + sizeof kFlags;
}

uint64_t emit_stored_collection_image(OTSourceCollection& source, OTChunkSink& sink) {
    const OTCollection& c = source.collection;
    const uint64_t end = std::min<uint64_t>(c.dsigOffset, c.fileSize);
    ZeroDsigFields zeroed(sink, c.dsigFieldsOffset());
    OTStream& input = *source.input;
    if (input.seek(0, SeekOrigin::kBegin) != 0) throw error(kErrShortTransfer);
    // The first piece holds the whole header, so the fields are zeroed in it.
    const uint64_t header =
        OTCollection::headerSize(static_cast<uint32_t>(c.members.size()), c.majorVersion);
    std::vector<uint8_t> chunk(static_cast<size_t>(std::max<uint64_t>(header, kCopyChunk)));
    for (uint64_t done = 0; done < end;) {
        const int32_t n = static_cast<int32_t>(std::min<uint64_t>(end - done, chunk.size()));
        if (!readExactly(input, chunk.data(), n)) throw error(kErrShortTransfer);
        zeroed.put(chunk.data(), static_cast<size_t>(n));
        done += static_cast<uint64_t>(n);
    }
    sink.put(kFlags, sizeof kFlags);
    return end + sizeof kFlags;
}

void write_collection_file(OTSourceCollection& source, const OTLayout& layout, OTDsigTable* dsig,
                           const char* path, int permissions) {
    OTLayout laid = layout;
    std::vector<uint8_t> dsigImage;
    if (dsig) {
        OTMemoryStream image(0);
        dsig->writeTo(&image);
        if (!image.isOk()) throw std::bad_alloc();
        dsigImage.assign(image.buffer(), image.buffer() + image.size());
        if (layout.size + dsigImage.size() > INT32_MAX) throw OT_EXCEPTION(kOtTooLarge);
        uint8_t* fields = laid.directory.data() + collection_dsig_fields(laid);
        storeBE32(fields, kDsigTag);
        storeBE32(fields + 4, static_cast<uint32_t>(dsigImage.size()));
        storeBE32(fields + 8, static_cast<uint32_t>(layout.size));
    }

    AtomicOutput target(path, permissions);
    if (!target.create()) throw OT_EXCEPTION(kOtCannotCreate);
    OTBufferedFile output(target.tempPath(), OpenMode::kCreateWriteOnly);
    if (!output.isOk()) throw OT_EXCEPTION(kOtCannotCreate);
    output.reserve(static_cast<int64_t>(layout.size + dsigImage.size()));
    struct FileSink : OTChunkSink {
        OTStream& stream;
        explicit FileSink(OTStream& s) : stream(s) {}
        void put(const uint8_t* data, size_t count) override {
            writeExactly(stream, data, static_cast<int32_t>(count));
        }
    } sink(output);
    emit_collection(laid, *source.input, sink);
    if (!dsigImage.empty()) sink.put(dsigImage.data(), dsigImage.size());
    if (!output.close()) throw error(kErrShortTransfer);
    if (!target.commit()) throw OT_EXCEPTION(kOtCannotCreate);
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "font/ot_passes.h"

#include <errno.h>

#include <climits>
#include <utility>
#include <vector>

#include "base/error.h"
#include "font/ot_buffered_file.h"
#include "font/ot_file_stream.h"
#include "platform/atomic_output.h"
#include "platform/regular_file.h"
#include "platform/rt_file.h"

namespace fontseal {

namespace {

const char kDsigTag[4] = {'D', 'S', 'I', 'G'};

// Why the font at `path` could not be opened, asked again only once the
// open has failed, for the message.
int32_t open_fault(const char* path) {
    int reason = 0;
    const int handle = open_regular_file(path, &reason);
    if (handle >= 0) rt_close(handle);
    return reason;
}

}  // namespace

OTSourceFont open_font(const char* path) {
    OTSourceFont source;
    auto* file = new OTFileStream(path, OpenMode::kRead);
    source.input.reset(file);
    if (!file->isOk()) throw OT_EXCEPTION(kOtCannotOpen, open_fault(path));
    // The streams address the file with 32-bit signed positions.
    if (file->fileLength() > INT32_MAX) throw OT_EXCEPTION(kOtTooLarge);
    const int permissions = file->permissions() >= 0 ? file->permissions() : source.permissions;
    OTSourceFont opened = open_font_stream(std::move(source.input));
    opened.permissions = permissions;
    return opened;
}

OTSourceFont open_font_stream(std::unique_ptr<OTStream> input) {
    OTSourceFont source;
    source.input = std::move(input);
    source.font.reset(new OTSigningFont(source.input.get(), nullptr));
    // DSIG entries go before the directory is checked: a damaged signature
    // never stops a font from being signed again or stripped.
    source.font->setAside(kDsigTag);
    source.font->readDirectory();
    std::vector<std::unique_ptr<OTTable>> dsigs = source.font->takeAside();
    if (dsigs.empty()) return source;
    // OTSigningFont gives every DSIG entry an OTDsigTable; only the first is
    // kept, further entries of a damaged font are dropped.
    source.dsig.reset(static_cast<OTDsigTable*>(dsigs.front().release()));
    source.dsigState = OTDsigState::kDamaged;
    const int32_t size = source.input->size();
    if (size >= 0 && static_cast<uint64_t>(source.dsig->inputOffset()) + source.dsig->length() <=
                         static_cast<uint64_t>(size)) {
        try {
            source.dsig->parse(nullptr);
            source.dsigState = OTDsigState::kParsed;
        } catch (const OT_EXCEPTION&) {
            // Kept unread, marked damaged.
        }
    }
    return source;
}

uint64_t emit_signed_image(OTFont& font, OTChunkSink& sink, OTLayoutOrder order) {
    static const uint8_t kFlags[2] = {0x00, 0x01};
    OTLayout layout = font.layout(order);
    font.emit(layout, sink);
    sink.put(kFlags, sizeof kFlags);
    return layout.size + sizeof kFlags;
}

void write_font_file(OTFont& font, const char* path, int permissions) {
    AtomicOutput target(path, permissions);
    if (!target.create()) throw OT_EXCEPTION(kOtCannotCreate, target.reason());
    // Written front to back: nothing is ever read back from the file.
    OTBufferedFile output(target.tempPath(), OpenMode::kCreateWriteOnly);
    if (!output.isOk()) throw OT_EXCEPTION(kOtCannotCreate, errno);
    struct Detach {
        OTFont& font;
        OTStream* previous;
        ~Detach() { font.setOutput(previous); }
    } detach{font, font.output()};
    OTLayout layout = font.layout();
    output.reserve(static_cast<int64_t>(layout.size));
    font.setOutput(&output);
    font.writeFont(layout);
    if (!output.close()) throw error(kErrShortTransfer);
    if (!target.commit()) throw OT_EXCEPTION(kOtCannotCreate, target.reason());
}

}  // namespace fontseal

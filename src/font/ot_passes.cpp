#include "font/ot_passes.h"

#include <utility>

#include "base/error.h"
#include "font/ot_buffered_file.h"
#include "font/ot_file_stream.h"
#include "platform/atomic_output.h"
#include "platform/rt_file.h"

namespace fontseal {

namespace {

const char kDsigTag[4] = {'D', 'S', 'I', 'G'};

}  // namespace

OTSourceFont open_font(const char* path) {
    OTSourceFont source;
    source.input.reset(new OTFileStream(path, OpenMode::kRead));
    if (!source.input->isOk()) throw OT_EXCEPTION(kOtCannotOpen);
    source.font.reset(new OTSigningFont(source.input.get(), nullptr));
    source.font->readDirectory();
    for (int index; (index = source.font->findTable(kDsigTag)) >= 0;) {
        std::unique_ptr<OTTable> table = source.font->releaseTable(index);
        if (source.dsig) continue;
        // OTSigningFont gives every DSIG entry an OTDsigTable.
        source.dsig.reset(static_cast<OTDsigTable*>(table.release()));
        try {
            source.dsig->parse(nullptr);
            source.dsigState = OTDsigState::kParsed;
        } catch (const OT_EXCEPTION&) {
            source.dsigState = OTDsigState::kDamaged;
        }
    }
    return source;
}

uint64_t emit_signed_image(OTFont& font, OTChunkSink& sink) {
    static const uint8_t kFlags[2] = {0x00, 0x01};
    OTLayout layout = font.layout();
    font.emit(layout, sink);
    sink.put(kFlags, sizeof kFlags);
    return layout.size + sizeof kFlags;
}

void write_font_file(OTFont& font, const char* path) {
    AtomicOutput target(path);
    if (!target.create()) throw OT_EXCEPTION(kOtCannotCreate);
    // Written front to back: nothing is ever read back from the file.
    OTBufferedFile output(target.tempPath(), OpenMode::kCreateWriteOnly);
    if (!output.isOk()) throw OT_EXCEPTION(kOtCannotCreate);
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
    if (!target.commit()) throw OT_EXCEPTION(kOtCannotCreate);
}

}  // namespace fontseal

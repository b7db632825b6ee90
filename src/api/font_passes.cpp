#include "api/font_passes.h"

#include <new>

#include "api/results.h"
#include "base/error.h"
#include "font/ot_buffered_file.h"
#include "font/ot_errors.h"
#include "platform/atomic_output.h"

namespace fontseal {

namespace {
const char kDsigTag[4] = {'D', 'S', 'I', 'G'};
}  // namespace

OpenFont open_font_without_dsig(const char* path) {
    OpenFont open;
    open.input.reset(new OTFileStream(path, OpenMode::kRead));
    if (!open.input->isOk()) fail(Stage::kInputOpen);
    open.font.reset(new OTSigningFont(open.input.get(), nullptr));
    open.font->readDirectory();
    // Every DSIG entry goes, should a damaged font list more than one.
    for (int index; (index = open.font->findTable(kDsigTag)) >= 0;) open.font->removeTable(index);
    return open;
}

void write_font_file(OTFont& font, const char* output_path) {
    AtomicOutput target(output_path);
    if (!target.create()) fail(Stage::kOutputCreate);
    OTBufferedFile output(target.tempPath(), OpenMode::kCreateReadWrite);
    if (!output.isOk()) fail(Stage::kOutputCreate);
    struct Detach {
        OTFont& font;
        ~Detach() { font.setOutput(nullptr); }
    } detach{font};
    font.setOutput(&output);
    font.writeFont();
    if (!output.close()) throw error(kErrShortTransfer);
    if (!target.commit()) fail(Stage::kOutputCreate);
}

}  // namespace fontseal

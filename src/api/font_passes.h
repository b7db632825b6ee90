// The font passes shared by signing and stripping: open a font without its
// DSIG table, and write a font to its final path only when it is complete.
#pragma once
#include <cstdint>
#include <memory>

#include "font/ot_errors.h"
#include "font/ot_file_stream.h"
#include "font/ot_signing_font.h"

namespace fontseal {

struct OpenFont {
    // Declared first so it outlives the font that reads from it.
    std::unique_ptr<OTFileStream> input;
    std::unique_ptr<OTSigningFont> font;
};

// Opens `path` read-only, reads the table directory and drops any DSIG
// table. Fails at Stage::kInputOpen when the file cannot be opened; OT_EXCEPTION
// for an unusable directory.
OpenFont open_font_without_dsig(const char* path);

// Writes `font` to `output_path` through a temporary file renamed into place
// after a successful close. Fails at Stage::kOutputCreate when the output
// cannot be created or put in place; error 258 when it cannot be written
// completely.
void write_font_file(OTFont& font, const char* output_path);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The font passes that signing, stripping and verifying share, so that every
// command reads a font and lays it out in the same way: open a font with its
// DSIG table set aside, send the bytes a signature covers to a sink, and
// write a font to its final path only when it is complete.
#pragma once
#include <cstdint>
#include <memory>

#include "font/ot_dsig_table.h"
#include "font/ot_errors.h"
#include "font/ot_layout.h"
#include "font/ot_signing_font.h"
#include "font/ot_stream.h"

namespace fontseal {

enum class OTDsigState {
    kAbsent,   // the font had no DSIG table
    kParsed,   // the first DSIG table was read: its signatures are at hand
    kDamaged,  // the first DSIG table could not be read; it is kept unread
};

struct OTSourceFont {
    // The open file, read in large blocks by each pass. Declared first so it
    // outlives the font reading from it.
    std::unique_ptr<OTStream> input;
    // The font's tables without any DSIG table.
    std::unique_ptr<OTSigningFont> font;
    // The first DSIG table the font listed (null when kAbsent); further DSIG
    // entries of a damaged font are dropped.
    std::unique_ptr<OTDsigTable> dsig;
    OTDsigState dsigState = OTDsigState::kAbsent;
    // The input's permission bits, which a new output takes (less the
    // umask), as cp gives a copy.
    int permissions = 0600;
};

// Opens the file at `path`, reads its directory and head, and takes the
// DSIG entries out of the table list before the directory is checked. A DSIG
// table that cannot be read, or lies outside the file, never stops the font
// from being signed again or stripped. OT_EXCEPTION
// kOtCannotOpen when the file cannot be opened or read, kOtTooLarge for a
// file past 2 GiB; the codes of OTFont::readDirectory for an unusable font.
OTSourceFont open_font(const char* path);

// As open_font, over a stream already open (a font decoded in memory).
OTSourceFont open_font_stream(std::unique_ptr<OTStream> input);

// Sends the bytes a signature covers to `sink`: the font exactly as the
// writer lays it out, followed by the DSIG flags value 1 (00 01). `font` is
// expected without DSIG, as open_font leaves it. Returns the byte count.
// `order` kFile rebuilds what signers that keep the file's data order sign.
uint64_t emit_signed_image(OTFont& font, OTChunkSink& sink,
                           OTLayoutOrder order = OTLayoutOrder::kWriter);

// Writes `font` to `path` front to back through a temporary file renamed
// into place after a successful close. A new file gets `permissions` less
// the umask; an existing one keeps its own. OT_EXCEPTION kOtCannotCreate when the
// output cannot be created or put in place; error 258 when it cannot be
// written completely.
void write_font_file(OTFont& font, const char* path, int permissions = 0600);

}  // namespace fontseal

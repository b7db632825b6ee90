// SPDX-License-Identifier: Apache-2.0
// The passes over font collections that signing, stripping and verifying
// share, beside the single-font passes of ot_passes.h: open a collection
// with its DSIG located through the header, send the bytes a signature
// covers to a sink (as the signer lays them out, or as a signed file lies),
// and write a collection to its final path only when it is complete.
#pragma once
#include <cstdint>
#include <memory>

#include "font/ot_collection.h"
#include "font/ot_dsig_table.h"
#include "font/ot_font.h"
#include "font/ot_layout.h"
#include "font/ot_passes.h"
#include "font/ot_stream.h"

namespace fontseal {

struct OTSourceCollection {
    // The open file. Declared first so it outlives what reads from it.
    std::unique_ptr<OTStream> input;
    // Owns the DSIG table and gives it the input to read from.
    std::unique_ptr<OTFont> owner;
    OTCollection collection;
    // The DSIG the header names (null when kAbsent).
    std::unique_ptr<OTDsigTable> dsig;
    OTDsigState dsigState = OTDsigState::kAbsent;
    int permissions = 0600;
};

// True when the file at `path` starts as a font collection does; false
// when it does not or cannot be read (opening it then says why).
bool is_font_collection(const char* path);

// Opens and checks the collection at `path` (OTCollection::read) and reads
// the DSIG its version 2 header names. A DSIG that cannot be read, lies
// outside the file or carries another tag is kDamaged. OT_EXCEPTION
// kOtCannotOpen, kOtTooLarge, or those of OTCollection::read.
OTSourceCollection open_collection(const char* path);

// Sends the bytes a signature of the collection covers as the signer writes
// it: `layout` (from layout_collection) up to where the DSIG goes, the
// header's DSIG fields 0, then the flags value 1 (00 01). Returns the count.
uint64_t emit_collection_signed_image(OTSourceCollection& source, const OTLayout& layout,
                                      OTChunkSink& sink);

// The same for a signed collection as its file lies: every byte before the
// header's DSIG offset, the header's DSIG fields 0, then 00 01.
uint64_t emit_stored_collection_image(OTSourceCollection& source, OTChunkSink& sink);

// Writes `layout` and, when `dsig` is given, the DSIG table last with the
// header naming it, to `path` through a temporary file renamed into place
// after a successful close (as write_font_file does). OT_EXCEPTION
// kOtCannotCreate, kOtTooLarge; error 258 when it cannot be written fully.
void write_collection_file(OTSourceCollection& source, const OTLayout& layout, OTDsigTable* dsig,
                           const char* path, int permissions = 0600);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// A collection laid out as the signer and the stripper write it, before any
// byte is written: a version 2 header, then each member's offset table and
// directory followed by those of its tables not yet met, in tag order, each
// padded to four bytes. A checker that walks the members' directories in
// order thus meets every table's bytes in file order with no gap, and a
// table that several members list is stored once, where it is first met.
// Table bytes are kept exactly as they are (head's checkSumAdjustment too:
// one value cannot fit every member that shares a head, and readers ignore
// it in a collection); only the directories' offsets move.
#pragma once
#include <cstdint>

#include "font/ot_collection.h"
#include "font/ot_layout.h"
#include "font/ot_stream.h"

namespace fontseal {

// `directory` holds the header, with its DSIG fields 0; `images` the
// members' directories; `pieces` every directory and table in file order;
// `size` where a DSIG table would start. OT_EXCEPTION kOtTooLarge when the
// result would lie past 32-bit signed positions.
OTLayout layout_collection(const OTCollection& collection);

// Where the header's DSIG fields lie in a layout's header.
uint32_t collection_dsig_fields(const OTLayout& layout);

// Sends the bytes of `layout` to `sink` front to back, table bytes read from
// `input`. error 258 when the input is shorter than its directories said.
void emit_collection(const OTLayout& layout, OTStream& input, OTChunkSink& sink);

}  // namespace fontseal

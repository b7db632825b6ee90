// SPDX-License-Identifier: Apache-2.0
// A font laid out before any byte of it is written: the directory image, the
// images of the tables the writer rebuilds, and where every table's data goes.
// The bytes can then be sent front to back to any sink, so an output file is
// written without seeking back and a digest is taken without ever holding the
// whole font in memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fontseal {

// Where the tables' data goes. Every signer sorts the directory by tag and
// recomputes offsets, search fields and checkSumAdjustment; they differ in
// the order of the data: ours writes the recommended order, others keep the
// order the input file has. A verifier must be able to rebuild either.
enum class OTLayoutOrder {
    kWriter,  // the recommended order (ot_table_order.h), as our writer lays it out
    kFile,    // the order of the tables' data in the input file
};

// One table's data in the output, followed by its zero padding.
struct OTLayoutPiece {
    uint64_t offset = 0;  // in the output
    uint32_t length = 0;  // without the padding
    uint32_t padding = 0;
    // Index into OTLayout::images for a rebuilt table; -1 for a table copied
    // verbatim from the input at inputOffset.
    int32_t image = -1;
    uint32_t inputOffset = 0;
};

struct OTLayout {
    std::vector<uint8_t> directory;
    std::vector<std::vector<uint8_t>> images;
    std::vector<OTLayoutPiece> pieces;  // in output order
    uint64_t size = 0;                  // every byte, the padding of the last table included
};

// Receives a laid-out font's bytes in order.
class OTChunkSink {
public:
    virtual ~OTChunkSink() = default;
    virtual void put(const uint8_t* data, size_t count) = 0;
};

}  // namespace fontseal

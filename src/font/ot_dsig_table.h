// SPDX-License-Identifier: Apache-2.0
// The digital-signature table: a header, one record per signature and the
// signature blocks, each holding a DER PKCS#7 SignedData blob.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/heap_bytes.h"
#include "font/ot_errors.h"
#include "font/ot_table.h"

namespace fontseal {

// One signature record with its block. The bytes come from malloc and are
// freed with the record.
struct DsigSignature {
    uint32_t format = 1;
    uint16_t reserved1 = 0;
    uint16_t reserved2 = 0;
    uint32_t length = 0;
    HeapBytes bytes;
};

class OTDsigTable : public OTTable {
public:
    static constexpr int32_t kHeaderSize = 8;
    static constexpr int32_t kRecordSize = 12;
    static constexpr int32_t kBlockHeaderSize = 8;

    OTDsigTable(const char* tag, OTFont* owner) : OTTable(tag, owner) {}

    // Makes this a version-1 table, flags 1, holding exactly one format-1
    // signature: `bytes` (from malloc, `length` of them). Ownership of the
    // bytes passes to the table in every case, also when this raises.
    void setSignature(uint8_t* bytes, uint32_t length);

    // 8 + 20 per signature + all signature lengths, rounded up to a multiple
    // of 4; stored as the table's length.
    uint32_t computeLength() override;
    bool rebuildsImage() const override { return true; }
    // Builds the image and emits it (padding and checksum included).
    void writeTo(OTStream* stream) override;
    // Reads a table laid out as writeTo writes it; OT_EXCEPTION -2 when the
    // header, a record or a block does not lie inside the table.
    int32_t parse(OTStream* stream) override;

    uint32_t version = 1;
    uint16_t flags = 1;
    std::vector<DsigSignature> signatures;
};

}  // namespace fontseal

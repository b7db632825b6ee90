// SPDX-License-Identifier: Apache-2.0
// The font header table: parsed on reading and rewritten on writing, with
// checkSumAdjustment written as 0 and its output position handed to the
// owner, which fills in the real value once the whole font is written.
#pragma once
#include <cstdint>

#include "font/ot_errors.h"
#include "font/ot_table.h"

namespace fontseal {

class OTHeadTable : public OTTable {
public:
    static constexpr uint32_t kLength = 54;
    // Offset of checkSumAdjustment inside the table.
    static constexpr int32_t kAdjustmentOffset = 8;

    OTHeadTable(const char* tag, OTFont* owner) : OTTable(tag, owner) {}

    // Reads the 54 header bytes at the table's offset; raises OT_EXCEPTION -2
    // when the table is shorter or they are not all in the file.
    int32_t parse(OTStream* stream) override;
    void writeTo(OTStream* stream) override;
    uint32_t computeLength() override;
    bool rebuildsImage() const override { return true; }

    uint32_t version = 0;
    uint32_t fontRevision = 0;
    uint32_t checkSumAdjustment = 0;
    uint32_t magicNumber = 0;
    uint16_t flags = 0;
    uint16_t unitsPerEm = 0;
    uint32_t created[2] = {0, 0};
    uint32_t modified[2] = {0, 0};
    int16_t xMin = 0;
    int16_t yMin = 0;
    int16_t xMax = 0;
    int16_t yMax = 0;
    uint16_t macStyle = 0;
    uint16_t lowestRecPPEM = 0;
    uint16_t fontDirectionHint = 0;
    uint16_t indexToLocFormat = 0;
    uint16_t glyphDataFormat = 0;
};

}  // namespace fontseal

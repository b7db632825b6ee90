// SPDX-License-Identifier: Apache-2.0
// A font as a list of tables: reads the sfnt table directory of an input
// font, lets tables be removed and added, and writes a complete font with a
// fresh directory, the tables in the recommended order, each padded to four
// bytes, and the head table's checkSumAdjustment recomputed.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "base/grow_array.h"
#include "font/ot_errors.h"
#include "font/ot_layout.h"
#include "font/ot_table.h"

namespace fontseal {

class OTStream;

class OTFont {
public:
    // Neither stream is owned; either may be null and set later.
    explicit OTFont(OTStream* input = nullptr, OTStream* output = nullptr);
    virtual ~OTFont();
    OTFont(const OTFont&) = delete;
    OTFont& operator=(const OTFont&) = delete;

    // A new table object suited to `tag` (four bytes): "head" gives an
    // OTHeadTable, anything else a plain OTTable. Not yet in the list.
    virtual std::unique_ptr<OTTable> createTable(const char* tag);

    // Reads the table directory from the input and parses head. Returns the
    // number of tables. OT_EXCEPTION -3 without input; kOtWoff, kOtWoff2,
    // kOtCollection or kOtNotSfnt when the input starts as no sfnt font does;
    // -2 when the directory is unusable (no tables or more than 256, a tag
    // other than DSIG listed twice, a directory or a table that does not lie
    // wholly inside the file, tables that share bytes with one another or
    // with the directory).
    int32_t readDirectory();
    // Entries tagged `tag` (four bytes) are set aside by readDirectory:
    // neither checked against the file nor listed, but kept for takeAside.
    void setAside(const char* tag);
    // The entries set aside by the last readDirectory, in directory order,
    // as raw tables whose offset and length may lie anywhere.
    std::vector<std::unique_ptr<OTTable>> takeAside();

    // Index of the first table whose tag equals the four bytes, or -1.
    int32_t findTable(const char* tag) const;
    // Destroys the table at `index`; later tables move up by one. An index
    // outside the list (such as findTable's -1) does nothing.
    void removeTable(int32_t index);
    // Takes the table at `index` out of the list and hands it over; null for
    // an index outside the list.
    std::unique_ptr<OTTable> releaseTable(int32_t index);
    // Adds `table` at the end of the list; returns it.
    OTTable* appendTable(std::unique_ptr<OTTable> table);

    // Lays the font out as writeFont writes it, without writing anything:
    // sorts the list by tag, gives every table its output offset and
    // checksum and computes head's checkSumAdjustment. OT_EXCEPTION -6 for a
    // table that is neither raw nor rebuilt, -3 for raw tables without input,
    // kOtTooLarge for a font longer than 32-bit signed positions reach,
    // -2 (kOtFaultTooManyToWrite) for more than kMaxTables tables: a font
    // is never written that readDirectory would refuse. kFile orders the data by input offset
    // instead (tables without input offset keep the writer's order relative to one another).
    OTLayout layout(OTLayoutOrder order = OTLayoutOrder::kWriter);
    // Sends the bytes of `layout`, made by layout() on this font, to `sink`
    // front to back; raw tables are taken from the input, in place when it
    // holds them in memory. error 258 when the input is shorter than its
    // directory said.
    void emit(const OTLayout& layout, OTChunkSink& sink);

    // Writes the whole font to the output, front to back from position 0,
    // and returns 0. OT_EXCEPTION -7 without output; error 258 when the
    // output takes fewer bytes than given.
    int32_t writeFont();
    // The same with a layout made by layout() on this font.
    int32_t writeFont(const OTLayout& layout);

    int32_t tableCount() const { return tables_.count(); }
    OTTable& table(int32_t index) { return *tables_[index]; }

    OTStream* input() const { return input_; }
    void setInput(OTStream* input) { input_ = input; }
    OTStream* output() const { return output_; }
    void setOutput(OTStream* output) { output_ = output; }

    // Where the head writer put checkSumAdjustment in the output; -1 until
    // a head table has been written by the current writeFont.
    int32_t checksumAdjustmentPosition() const { return adjustmentPosition_; }
    void setChecksumAdjustmentPosition(int32_t position) { adjustmentPosition_ = position; }

    // The directory header values for `count` tables.
    struct SearchParams {
        uint16_t searchRange;
        uint16_t entrySelector;
        uint16_t rangeShift;
    };
    static SearchParams searchParams(uint16_t count);

    // The most tables a font may have, read or written.
    static constexpr int32_t kMaxTables = 256;
    static constexpr uint32_t kVersionTrueType = 0x00010000;
    static constexpr uint32_t kVersionCff = 0x4F54544F;    // 'OTTO'
    static constexpr uint32_t kVersionApple = 0x74727565;  // 'true', read but never written
    static constexpr uint32_t kChecksumMagic = 0xB1B0AFBA;

private:
    OTStream* input_;
    OTStream* output_;
    int32_t startOffset_ = 0;
    int32_t adjustmentPosition_ = -1;
    GrowArray<std::unique_ptr<OTTable>> tables_;
    uint32_t asideTag_ = 0;
    std::vector<std::unique_ptr<OTTable>> aside_;
};

}  // namespace fontseal

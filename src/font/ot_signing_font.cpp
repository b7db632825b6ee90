// SPDX-License-Identifier: Apache-2.0
#include "font/ot_signing_font.h"

#include "font/ot_dsig_table.h"
#include "font/ot_tag.h"

namespace fontseal {

std::unique_ptr<OTTable> OTSigningFont::createTable(const char* tag) {
    if (tagValue(tag) == tagValue("DSIG")) return std::make_unique<OTDsigTable>(tag, this);
    return OTFont::createTable(tag);
}

OTDsigTable& OTSigningFont::appendDsigTable() {
    auto table = std::make_unique<OTDsigTable>("DSIG", this);
    OTDsigTable& dsig = *table;
    appendTable(std::move(table));
    return dsig;
}

}  // namespace fontseal

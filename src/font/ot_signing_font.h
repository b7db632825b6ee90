// SPDX-License-Identifier: Apache-2.0
// The font object of the signing job: like OTFont, but a "DSIG" tag gives a
// table that can hold the new signature.
#pragma once
#include <memory>

#include "font/ot_font.h"

namespace fontseal {

class OTDsigTable;

class OTSigningFont : public OTFont {
public:
    using OTFont::OTFont;

    std::unique_ptr<OTTable> createTable(const char* tag) override;

    // Creates a DSIG table, appends it to the list and returns it.
    OTDsigTable& appendDsigTable();
};

}  // namespace fontseal

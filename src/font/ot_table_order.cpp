// SPDX-License-Identifier: Apache-2.0
#include "font/ot_table_order.h"

#include "font/ot_tag.h"

namespace fontseal {

namespace {

// head first, DSIG last among the listed tables.
constexpr char kTableOrder[] =
    "headhheavheamaxpOS/2gaspnamecmaplocaLTSHVDMXprepfpgmcvt hmtxvmtxhdmxglyfpostkernPCLTEBLC"
    "EBSCEBDTGDEFGPOSGSUBJSTFBASEDSIG";
static_assert(sizeof(kTableOrder) == 121, "the order list holds 30 four-byte tags");

}  // namespace

int32_t tableOrderRank(uint32_t tag) {
    for (int32_t i = 0; i < kUnlistedRank; ++i) {
        if (tagValue(kTableOrder + 4 * i) == tag) return i;
    }
    return kUnlistedRank;
}

}  // namespace fontseal

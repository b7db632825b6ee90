// SPDX-License-Identifier: Apache-2.0
// The recommended order of table data in a font file.
#pragma once
#include <cstdint>

namespace fontseal {

// Rank of a tag in the order list; tags not in the list rank after all
// listed ones (kUnlistedRank).
int32_t tableOrderRank(uint32_t tag);
constexpr int32_t kUnlistedRank = 30;

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Whether a signed collection lies as a signature of it can cover it: the
// DSIG last, and every byte before it part of the header, a directory or a
// table. Checkers refuse other layouts, so a signer must not produce them
// and a verifier says which rule a file breaks.
#pragma once
#include <string>

#include "font/ot_collection.h"

namespace fontseal {

// Why `collection`, whose header names a DSIG, is laid out in a way its
// signature cannot be checked over; empty when it is not.
std::string collection_layout_fault(const OTCollection& collection);

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// ASN.1 NULL, the parameters of the digest algorithms the library names.
#pragma once
#include <cstdint>

#include "der/der_value.h"

namespace fontseal {

// ASN.1 NULL: 05 00.
class DerNull : public DerValue {
public:
    uint32_t typeCode() const override { return kTypeNull; }
    int encode(ByteSink* sink) override;
    // Reads one header; anything but an empty NULL raises -5804.
    int decode(ByteSource& source) override;
};

}  // namespace fontseal

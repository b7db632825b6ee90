// SPDX-License-Identifier: Apache-2.0
// AlgorithmIdentifier: an OID and pre-encoded parameters (usually NULL).
#pragma once
#include <cstdint>

#include "der/der_oid.h"
#include "der/der_raw.h"

namespace fontseal {

class P7AlgorithmId : public DerValue {
public:
    P7AlgorithmId() = default;
    // The algorithm from dotted text, with NULL parameters (05 00) or none.
    explicit P7AlgorithmId(const char* oid, bool nullParameters = true);

    uint32_t typeCode() const override { return kTypeAlgorithmId; }
    int encode(ByteSink* sink) override;

    DerOid& algorithm() { return algorithm_; }
    const DerOid& algorithm() const { return algorithm_; }
    DerRaw& parameters() { return parameters_; }
    const DerRaw& parameters() const { return parameters_; }

private:
    DerOid algorithm_;
    DerRaw parameters_;
};

}  // namespace fontseal

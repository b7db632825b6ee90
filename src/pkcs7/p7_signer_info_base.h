// SPDX-License-Identifier: Apache-2.0
// What every signer-info value tells the SignedData writer: the digest
// algorithm it uses, so that the digestAlgorithms set can be built.
#pragma once
#include "der/der_value.h"
#include "der/digest_algorithm.h"

namespace fontseal {

// Base of the signer-info classes (type codes "P7ES" and "P7SI").
class P7SignerInfoBase : public DerValue {
public:
    virtual DigestAlgorithm digestKind() const = 0;
};

}  // namespace fontseal

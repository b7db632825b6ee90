// What every signer-info value tells the SignedData writer: the digest
// algorithm it uses, so that the digestAlgorithms set can be built.
#pragma once
#include "der/der_value.h"

namespace fontseal {

enum : int { kDigestMd5 = 0, kDigestSha1 = 1 };

// Base of the signer-info classes (type codes "P7ES" and "P7SI").
class P7SignerInfoBase : public DerValue {
public:
    // kDigestMd5 or kDigestSha1.
    virtual int digestKind() const = 0;
};

}  // namespace fontseal

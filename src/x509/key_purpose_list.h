// The value of an extended-key-usage extension (a SEQUENCE OF OBJECT
// IDENTIFIER) and the code-signing purpose that it grants.
#pragma once
#include <cstdint>

#include "der/oids.h"
#include "der/der_oid.h"
#include "der/der_value.h"
#include "base/grow_array.h"

namespace fontseal {

class DerReader;

// Code-signing purposes, as the statement-type choice of the signer reads them.
enum : int32_t {
    kPurposeNone = 0,
    kPurposeIndividual = 1,
    kPurposeCommercial = 2,
};


// Keeps the base type code: it is only ever decoded, never listed or written.
class KeyPurposeList : public DerValue {
public:
    KeyPurposeList() = default;
    KeyPurposeList(const KeyPurposeList&) = delete;
    KeyPurposeList& operator=(const KeyPurposeList&) = delete;

    // Reads a SEQUENCE of OBJECT IDENTIFIERs; false on any other shape.
    bool decodeFrom(DerReader& reader) override;

    const GrowArray<DerOid>& purposes() const { return purposes_; }

    // Commercial code signing wins over individual, whatever their order;
    // kPurposeNone when neither is listed.
    int32_t codeSigningPurpose() const;

private:
    GrowArray<DerOid> purposes_{16, 0xDF};
};

}  // namespace fontseal

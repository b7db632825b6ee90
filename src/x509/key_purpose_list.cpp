#include "x509/key_purpose_list.h"

#include "der/der_header.h"
#include "der/der_errors.h"
#include "der/der_reader.h"
#include "base/error.h"

namespace fontseal {

bool KeyPurposeList::decodeFrom(DerReader& reader) {
    try {
        purposes_.setCount(0);
        int tag = 0;
        int formCode = 0;
        reader.expect(kTagSequence, kFormConstructed);
        reader.enter();
        while (reader.peek(tag, formCode)) {
            if (tag != kTagOid || formCode != kFormUniversal) throw error(kErrUnexpectedElement);
            reader.readOid(purposes_.append());
        }
        reader.leave();
        return true;
    } catch (const error&) {
        return false;
    }
}

int32_t KeyPurposeList::codeSigningPurpose() const {
    int32_t purpose = kPurposeNone;
    for (const DerOid& oid : purposes_) {
        if (oid.equals(kOidCommercialCodeSigning)) return kPurposeCommercial;
        if (oid.equals(kOidIndividualCodeSigning)) purpose = kPurposeIndividual;
    }
    return purpose;
}

}  // namespace fontseal

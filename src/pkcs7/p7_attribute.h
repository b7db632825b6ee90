// SPDX-License-Identifier: Apache-2.0
// One PKCS#7 attribute: a type and the values of its SET, written in the
// order they were added (never sorted).
#pragma once
#include <cstdint>

#include "der/der_oid.h"
#include "der/der_value.h"
#include "base/grow_array.h"
#include "base/shared_ref.h"

namespace fontseal {

class P7Attribute : public DerValue {
public:
    using ValueList = GrowArray<SharedRef<DerValue>>;

    // The attribute type from dotted text.
    explicit P7Attribute(const char* type) : type_(type) {}
    P7Attribute(const P7Attribute&) = delete;
    P7Attribute& operator=(const P7Attribute&) = delete;

    uint32_t typeCode() const override { return kTypeAttribute; }
    // SEQUENCE { type, SET { values in list order } }; raises -5803 when the
    // write pass differs from the size pass.
    int encode(ByteSink* sink) override;

    void add(const SharedRef<DerValue>& value) { values_.append() = value; }
    DerOid& type() { return type_; }
    ValueList& values() { return values_; }

private:
    DerOid type_;
    ValueList values_{16, 0xDF};
};

}  // namespace fontseal

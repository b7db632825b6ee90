// SPDX-License-Identifier: Apache-2.0
// A constructed element whose children are shared values.
#pragma once
#include <cstdint>

#include "der/der_value.h"
#include "base/grow_array.h"
#include "base/shared_ref.h"

namespace fontseal {

class DerSequence : public DerValue {
public:
    // tag -1: the children are written one after another without a header.
    explicit DerSequence(int tag = 16, int formCode = 1) : tag_(tag), formCode_(formCode) {}

    uint32_t typeCode() const override { return kTypeSequence; }
    int encode(ByteSink* sink) override;

    void add(const SharedRef<DerValue>& child) { children_.append() = child; }
    GrowArray<SharedRef<DerValue>>& children() { return children_; }
    int tag() const { return tag_; }
    int formCode() const { return formCode_; }

private:
    int32_t tag_;
    int32_t formCode_;
    GrowArray<SharedRef<DerValue>> children_{16, 0xDF};
};

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// OBJECT IDENTIFIER. Every comparison in the library is against a dotted
// string constant through equals().
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "der/der_value.h"

namespace fontseal {

class DerOid : public DerValue {
public:
    DerOid() = default;
    // Parses `text`; on failure the OID is left empty.
    explicit DerOid(const char* text) { fromString(text); }

    uint32_t typeCode() const override { return kTypeOid; }
    int encode(ByteSink* sink) override;
    int decode(ByteSource& source) override;

    bool fromString(const char* text);
    bool equals(const char* text) const;
    bool operator==(const DerOid& other) const { return arcs_ == other.arcs_; }

    int count() const { return static_cast<int>(arcs_.size()); }
    uint32_t arc(int i) const { return arcs_.at(static_cast<size_t>(i)); }
    const std::vector<uint32_t>& arcs() const { return arcs_; }
    void setArcs(std::vector<uint32_t> arcs) { arcs_ = std::move(arcs); }
    void clear() { arcs_.clear(); }

private:
    std::vector<uint32_t> arcs_;
};

// Decodes OID content octets; raises -5809 for an arc beyond 32 bits or 5
// octets. Shared by DerOid::decode and DerReader::readOid.
class OidContentDecoder {
public:
    explicit OidContentDecoder(std::vector<uint32_t>& arcs) : arcs_(arcs) { arcs_.clear(); }
    void feed(const uint8_t* bytes, int count);
    // Raises -5809 when the last arc is unterminated.
    void finish();

private:
    std::vector<uint32_t>& arcs_;
    bool first_ = true;
    uint32_t value_ = 0;
    int octets_ = 0;
};

}  // namespace fontseal

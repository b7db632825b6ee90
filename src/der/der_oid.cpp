// SPDX-License-Identifier: Apache-2.0
#include "der/der_oid.h"

#include <cstring>

#include "der/der_errors.h"
#include "der/der_header.h"
#include "base/error.h"

namespace fontseal {

namespace {

// Longest arc text accepted between two dots.
constexpr int kMaxArcText = 15;

int base128Size(uint32_t value) {
    int size = 1;
    while (value >>= 7) ++size;
    return size;
}

int writeBase128(uint8_t* out, uint32_t value) {
    int size = base128Size(value);
    for (int i = size - 1; i >= 0; --i) {
        uint8_t group = (value >> (7 * i)) & 0x7F;
        *out++ = static_cast<uint8_t>(i > 0 ? group | 0x80 : group);
    }
    return size;
}

// One arc of dotted text: blanks, an optional sign, the leading digits.
// False for arcs that are no 32-bit non-negative number.
bool parseArc(const char* text, int length, uint32_t& arc) {
    int i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFu) return false;
    }
    if (negative && value != 0) return false;
    arc = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

void OidContentDecoder::feed(const uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        uint8_t octet = bytes[i];
        if (first_) {
            first_ = false;
            arcs_.push_back(octet / 40u);
            arcs_.push_back(octet % 40u);
            continue;
        }
        if (octets_ == 5 || (value_ >> 25)) throw error(kErrTagOverflow);
        value_ = (value_ << 7) | (octet & 0x7F);
        ++octets_;
        if (!(octet & 0x80)) {
            arcs_.push_back(value_);
            value_ = 0;
            octets_ = 0;
        }
    }
}

void OidContentDecoder::finish() {
    if (first_ || octets_ != 0) throw error(kErrTagOverflow);
}

bool DerOid::fromString(const char* text) {
    arcs_.clear();
    if (!text) return false;
    std::vector<uint32_t> arcs;
    const char* start = text;
    for (;;) {
        const char* dot = std::strchr(start, '.');
        int length = dot ? static_cast<int>(dot - start) : static_cast<int>(std::strlen(start));
        uint32_t arc = 0;
        if (length > kMaxArcText || !parseArc(start, length, arc)) return false;
        arcs.push_back(arc);
        if (!dot) break;
        start = dot + 1;
    }
    arcs_ = std::move(arcs);
    return true;
}

bool DerOid::equals(const char* text) const {
    DerOid other;
    if (!other.fromString(text)) return false;
    return arcs_ == other.arcs_;
}

int DerOid::encode(ByteSink* sink) {
    if (arcs_.size() < 3 || arcs_[0] > 3 || arcs_[1] > 39) throw error(kErrBadOid);
    std::vector<uint8_t> content(1 + 5 * (arcs_.size() - 2));
    content[0] = static_cast<uint8_t>(40 * arcs_[0] + arcs_[1]);
    int n = 1;
    for (size_t i = 2; i < arcs_.size(); ++i)
        n += writeBase128(&content[static_cast<size_t>(n)], arcs_[i]);
    int size = writeHeader(sink, kTagOid, kFormUniversal, n);
    if (sink) sink->write(content.data(), n);
    return size + n;
}

int DerOid::decode(ByteSource& source) {
    int tag = 0, formCode = 0, length = 0;
    int size = readHeader(source, tag, formCode, length);
    if (tag != kTagOid || formCode != kFormUniversal || length < 0)
        throw error(kErrUnexpectedElement);
    int known = source.remaining();
    if (known >= 0 && length > known) throw error(kErrPastParent);
    std::vector<uint32_t> arcs;
    OidContentDecoder decoder(arcs);
    uint8_t piece[256];
    for (int done = 0; done < length;) {
        int count = length - done < 256 ? length - done : 256;
        source.read(piece, count);
        decoder.feed(piece, count);
        done += count;
    }
    decoder.finish();
    arcs_ = std::move(arcs);
    return size + length;
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
#include "der/der_header.h"

#include "der/der_errors.h"
#include "base/error.h"

namespace fontseal {

namespace {

uint8_t readOctet(ByteSource& source) {
    uint8_t octet = 0;
    source.read(&octet, 1);
    return octet;
}

int base128Size(uint32_t value) {
    int size = 1;
    while (value >>= 7) ++size;
    return size;
}

}  // namespace

int writeHeader(ByteSink* sink, int tag, int formCode, int length) {
    if (length < 0) throw error(kErrBadLength);
    uint8_t octets[16];
    int n = 0;
    if (tag >= 0 && tag <= 30 && !(formCode & kFormForceHighTag)) {
        octets[n++] = static_cast<uint8_t>((tag & 0x1F) | (formCode << 5));
    } else {
        octets[n++] = static_cast<uint8_t>((formCode << 5) | 0x1F);
        uint32_t number = static_cast<uint32_t>(tag);
        for (int i = base128Size(number) - 1; i >= 0; --i) {
            uint8_t group = (number >> (7 * i)) & 0x7F;
            octets[n++] = static_cast<uint8_t>(i > 0 ? group | 0x80 : group);
        }
    }
    if (length <= 127 && !(formCode & kFormForceLongLength)) {
        octets[n++] = static_cast<uint8_t>(length);
    } else {
        int count = 1;
        while (count < 4 && (static_cast<uint32_t>(length) >> (8 * count)) != 0) ++count;
        octets[n++] = static_cast<uint8_t>(0x80 | count);
        for (int i = count - 1; i >= 0; --i) octets[n++] = static_cast<uint8_t>(length >> (8 * i));
    }
    if (sink) sink->write(octets, n);
    return n;
}

int readHeader(ByteSource& source, int& tag, int& formCode, int& length) {
    int size = 1;
    uint8_t identifier = readOctet(source);
    formCode = identifier >> 5;
    tag = identifier & 0x1F;
    if (tag == 31) {
        uint32_t number = 0;
        for (int octets = 0;; ++octets) {
            if (octets == 5) throw error(kErrTagOverflow);
            uint8_t octet = readOctet(source);
            ++size;
            if (number >> 25) throw error(kErrTagOverflow);
            number = (number << 7) | (octet & 0x7F);
            if (!(octet & 0x80)) break;
        }
        // Tags are signed ints throughout (-1 means "no header").
        if (number > 0x7FFFFFFFu) throw error(kErrTagOverflow);
        tag = static_cast<int>(number);
    }
    uint8_t first = readOctet(source);
    ++size;
    if (first < 0x80) {
        length = first;
    } else if (first == 0x80) {
        length = -1;
    } else {
        int count = first & 0x7F;
        if (count > 4) throw error(kErrBadLength);
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 8) | readOctet(source);
        size += count;
        // A length this reader cannot hold as a non-negative int.
        if (value > 0x7FFFFFFFu) throw error(kErrBadLength);
        length = static_cast<int>(value);
    }
    return size;
}

int encodeInteger(ByteSink* sink, int value) {
    uint8_t octets[6];
    uint32_t bits = static_cast<uint32_t>(value);
    uint8_t content[4] = {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8),
                          uint8_t(bits)};
    int skip = 0;
    while (skip < 3 && ((content[skip] == 0x00 && !(content[skip + 1] & 0x80)) ||
                        (content[skip] == 0xFF && (content[skip + 1] & 0x80)))) {
        ++skip;
    }
    int count = 4 - skip;
    octets[0] = 0x02;
    octets[1] = static_cast<uint8_t>(count);
    for (int i = 0; i < count; ++i) octets[2 + i] = content[skip + i];
    if (sink) sink->write(octets, 2 + count);
    return 2 + count;
}

}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// The pull decoder: frames, bounds, typed reads and whole-element copies.
#include "der/der_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "der/der_errors.h"
#include "der/der_raw.h"
#include "base/error.h"
#include "base/memory_stream.h"
#include "support/test_support.h"

using namespace fontseal;
using testsupport::hex;
using testsupport::unhex;

namespace {

// A reader over hex text that owns its bytes.
struct Reading {
    explicit Reading(const std::string& hexText)
        : bytes(unhex(hexText)), stream(bytes.data(), int(bytes.size())), reader(stream) {}
    std::vector<uint8_t> bytes;
    MemoryStream stream;
    DerReader reader;
};

// A source that does not know how much it holds, like a base64 decoder.
class UnsizedSource : public ByteSource {
public:
    explicit UnsizedSource(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
    void read(uint8_t* buffer, int count) override {
        if (count < 0 || position_ + size_t(count) > inner_.size()) throw error(kErrReadPastEnd);
        std::copy(inner_.begin() + long(position_), inner_.begin() + long(position_) + count,
                  buffer);
        position_ += size_t(count);
    }
    bool atEnd() override { return position_ >= inner_.size(); }
    int remaining() override { return -1; }

private:
    std::vector<uint8_t> inner_;
    size_t position_ = 0;
};

using testsupport::errorCodeOf;

std::string copied(DerReader& reader) {
    MemoryStream out;
    int n = reader.copyElement(out);
    EXPECT_EQ(n, out.position());
    return hex(std::vector<uint8_t>(out.data(), out.data() + out.position()));
}

}  // namespace

TEST(DerReader, WalksNestedElementsAndSkips) {
    Reading r("3009 020101 3104 0402AABB 020102");
    int tag = 0, form = 0;
    ASSERT_TRUE(r.reader.peek(tag, form));
    EXPECT_EQ(tag, 16);
    EXPECT_EQ(form, 1);
    EXPECT_EQ(r.reader.headerSize(), 2);
    r.reader.enter();
    EXPECT_EQ(r.reader.depth(), 2);
    EXPECT_EQ(r.reader.readInt(), 1);
    ASSERT_TRUE(r.reader.peek(tag, form));
    ASSERT_TRUE(r.reader.peek(tag, form));  // the same element again
    EXPECT_EQ(tag, 17);
    r.reader.skip();
    // A [SEQUENCE] that claims more than is left in its parent.
    EXPECT_FALSE(r.reader.peek(tag, form));
    r.reader.leave();
    ASSERT_TRUE(r.reader.peek(tag, form));
    EXPECT_EQ(r.reader.readInt(), 2);
    EXPECT_FALSE(r.reader.peek(tag, form));
    // Leaving past the root empties the stack; peek then finds nothing.
    r.reader.leave();
    r.reader.leave();
    EXPECT_EQ(r.reader.depth(), 0);
    EXPECT_FALSE(r.reader.peek(tag, form));
    r.reader.reset();
    EXPECT_EQ(r.reader.depth(), 1);
    EXPECT_EQ(r.reader.top().length, 0);
}

TEST(DerReader, LeaveDiscardsWhatWasNotRead) {
    Reading r("3009 020101 020102 020103 020104");
    r.reader.enter();
    EXPECT_EQ(r.reader.readInt(), 1);
    int tag, form;
    ASSERT_TRUE(r.reader.peek(tag, form));  // peeked but not read
    r.reader.leave();
    EXPECT_EQ(r.reader.readInt(), 4);
}

TEST(DerReader, ElementRunningPastItsParentFailsAtPeek) {
    Reading r("3005 0404AABBCCDD 00");
    r.reader.enter();
    int tag, form;
    EXPECT_EQ(errorCodeOf([&] { r.reader.peek(tag, form); }), kErrPastParent);
    // Nothing of the content was read yet: only the two headers.
    EXPECT_EQ(r.stream.position(), 4);

    // A header that itself straddles the parent's end.
    Reading h("3001 0400");
    h.reader.enter();
    EXPECT_EQ(errorCodeOf([&] { h.reader.peek(tag, form); }), kErrPastParent);

    // Past the end of the whole source.
    Reading s("0405AABB");
    EXPECT_EQ(errorCodeOf([&] { s.reader.peek(tag, form); }), kErrPastParent);
}

TEST(DerReader, HugeLengthsAreRejectedBeforeAnythingIsRead) {
    int tag, form;
    Reading fourOctets("0484 80000000 00");
    EXPECT_EQ(errorCodeOf([&] { fourOctets.reader.peek(tag, form); }), kErrBadLength);
    Reading fiveOctets("0485 0000000001 00");
    EXPECT_EQ(errorCodeOf([&] { fiveOctets.reader.peek(tag, form); }), kErrBadLength);
    Reading large("0484 7FFFFFF0 00");
    EXPECT_EQ(errorCodeOf([&] { large.reader.peek(tag, form); }), kErrPastParent);

    // Inside an indefinite element the nearest definite ancestor still bounds
    // the content, also on a source that cannot tell its size.
    auto nested = unhex("3006 3080 0482FFFF");
    UnsizedSource source(nested);
    DerReader reader(source);
    reader.enter();
    reader.enter();
    EXPECT_EQ(errorCodeOf([&] { reader.peek(tag, form); }), kErrPastParent);
}

TEST(DerReader, IndefiniteElementReadSkippedAndCopied) {
    const std::string element = "3080 020105 0480 0401AA 0000 0000";
    // Read: peek is false at the end-of-contents and leave continues after it.
    {
        Reading r(element + " 020107");
        int tag, form;
        r.reader.enter();
        EXPECT_EQ(r.reader.readInt(), 5);
        r.reader.enter();
        ASSERT_TRUE(r.reader.peek(tag, form));
        EXPECT_EQ(r.reader.readOctets(nullptr, 0), 1);
        r.reader.skip();
        EXPECT_FALSE(r.reader.peek(tag, form));
        r.reader.leave();
        EXPECT_FALSE(r.reader.peek(tag, form));
        r.reader.leave();
        EXPECT_EQ(r.reader.readInt(), 7);
    }
    // Skipped whole.
    {
        Reading r(element + " 020107");
        r.reader.skip();
        EXPECT_EQ(r.reader.readInt(), 7);
    }
    // Copied byte for byte, then the sibling inside a definite parent is
    // still reached (the end-of-contents octets are counted once).
    {
        Reading r("3011 " + element + " 020107");
        r.reader.enter();
        EXPECT_EQ(copied(r.reader), hex(unhex(element)));
        EXPECT_EQ(r.reader.readInt(), 7);
        int tag, form;
        EXPECT_FALSE(r.reader.peek(tag, form));
        r.reader.leave();
        EXPECT_EQ(r.reader.top().consumed, 19);
    }
    // Captured with DerRaw and encoded again.
    {
        Reading r(element);
        DerRaw raw;
        ASSERT_TRUE(raw.decodeFrom(r.reader));
        MemoryStream out;
        EXPECT_EQ(raw.encode(&out), 14);
        EXPECT_EQ(hex({out.data(), out.data() + out.position()}), hex(unhex(element)));
    }
    // Only the two zero octets end it: other spellings of tag 0, length 0
    // are refused rather than copied back as 00 00.
    for (const char* end : {"1F0000", "008100", "1F800000"}) {
        Reading r(std::string("3080 020105 ") + end);
        DerRaw raw;
        EXPECT_FALSE(raw.decodeFrom(r.reader)) << end;
        Reading walked(std::string("3080 020105 ") + end);
        walked.reader.enter();
        EXPECT_EQ(walked.reader.readInt(), 5);
        int tag, form;
        EXPECT_EQ(errorCodeOf([&] { walked.reader.peek(tag, form); }), kErrUnexpectedElement)
            << end;
    }
    // End-of-contents octets inside a definite element are an ordinary element.
    {
        Reading r("3002 0000");
        int tag = -1, form = -1;
        r.reader.enter();
        ASSERT_TRUE(r.reader.peek(tag, form));
        EXPECT_EQ(tag, 0);
        EXPECT_EQ(r.reader.length(), 0);
    }
}

TEST(DerReader, CopyKeepsNonMinimalLengths) {
    Reading r("30820004 0481 01AA 020100");
    EXPECT_EQ(copied(r.reader), hex(unhex("30820004 0481 01AA")));
    EXPECT_EQ(r.reader.readInt(), 0);
}

TEST(DerReader, DeepNestingIsRefused) {
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "3080";
    Reading r(deep);
    EXPECT_EQ(errorCodeOf([&] { r.reader.skip(); }), kErrUnexpectedElement);
    Reading c(deep);
    MemoryStream out;
    EXPECT_EQ(errorCodeOf([&] { c.reader.copyElement(out); }), kErrUnexpectedElement);
}

TEST(DerReader, ReadInt) {
    EXPECT_EQ(Reading("0201FF").reader.readInt(), -1);
    EXPECT_EQ(Reading("02017F").reader.readInt(), 127);
    EXPECT_EQ(Reading("02020080").reader.readInt(), 128);
    EXPECT_EQ(Reading("0203FF0000").reader.readInt(), -65536);
    EXPECT_EQ(Reading("02047FFFFFFF").reader.readInt(), 2147483647);
    EXPECT_EQ(Reading("020480000000").reader.readInt(), INT32_MIN);
    EXPECT_EQ(errorCodeOf([] { Reading("02050000000001").reader.readInt(); }), kErrBadInteger);
    EXPECT_EQ(errorCodeOf([] { Reading("0200").reader.readInt(); }), kErrBadInteger);
    EXPECT_EQ(errorCodeOf([] { Reading("0A0101").reader.readInt(); }), kErrUnexpectedElement);
    EXPECT_EQ(errorCodeOf([] { Reading("2201 01").reader.readInt(); }), kErrUnexpectedElement);
}

TEST(DerReader, ReadIntegerBytesLittleEndian) {
    auto read = [](const char* hexText, int size) {
        Reading r(hexText);
        std::vector<uint8_t> out(size_t(size), 0x55);
        EXPECT_EQ(r.reader.readIntegerBytes(nullptr, 0), int(r.bytes.size()) - 2);
        r.reader.readIntegerBytes(out.data(), size);
        return hex(out);
    };
    EXPECT_EQ(read("0203010203", 3), hex(unhex("030201")));
    EXPECT_EQ(read("02020080", 4), hex(unhex("80000000")));
    EXPECT_EQ(read("020180", 2), hex(unhex("80FF")));
    EXPECT_EQ(read("0201 7F", 1), hex(unhex("7F")));
    EXPECT_EQ(errorCodeOf([] {
                  Reading r("0203010203");
                  uint8_t out[2];
                  r.reader.readIntegerBytes(out, 2);
              }),
              kErrBufferTooSmall);
    EXPECT_EQ(errorCodeOf([] {
                  Reading r("0200");
                  uint8_t out[2];
                  r.reader.readIntegerBytes(out, 2);
              }),
              kErrBadInteger);
}

TEST(DerReader, ReadOid) {
    Reading r("06092A864886F70D010101");
    DerOid oid;
    r.reader.readOid(oid);
    EXPECT_EQ(oid.count(), 7);
    EXPECT_TRUE(oid.equals("1.2.840.113549.1.1.1"));
    // The first octet alone gives two arcs; the largest 32-bit arc fits.
    Reading big("0606 2B 8FFFFFFF7F");
    big.reader.readOid(oid);
    EXPECT_TRUE(oid.equals("1.3.4294967295"));
    EXPECT_EQ(errorCodeOf([&] { Reading("0606 2B 9080808000").reader.readOid(oid); }),
              kErrTagOverflow);
    EXPECT_EQ(errorCodeOf([&] { Reading("0607 2B 818080808000").reader.readOid(oid); }),
              kErrTagOverflow);
    EXPECT_EQ(errorCodeOf([&] { Reading("0602 2B 81").reader.readOid(oid); }), kErrTagOverflow);
    EXPECT_EQ(errorCodeOf([&] { Reading("0600").reader.readOid(oid); }), kErrTagOverflow);
    EXPECT_EQ(errorCodeOf([&] { Reading("0401 2B").reader.readOid(oid); }), kErrUnexpectedElement);
}

TEST(DerReader, ReadOctetsAndStrings) {
    Reading r("0403AABBCC 0C026869");
    uint8_t small[2], buffer[3];
    EXPECT_EQ(r.reader.readOctets(nullptr, 0), 3);
    EXPECT_EQ(errorCodeOf([&] { r.reader.readOctets(small, 2); }), kErrBufferTooSmall);
    EXPECT_EQ(r.reader.readOctets(buffer, 3), 3);
    EXPECT_EQ(hex({buffer, buffer + 3}), hex(unhex("AABBCC")));
    EXPECT_EQ(r.reader.readString(buffer, 3), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "hi");
}

TEST(DerReader, ReadBits) {
    Reading r("030300ABCD 030206C0 020101");
    uint8_t bits[2] = {0, 0};
    EXPECT_EQ(r.reader.readBits(nullptr, 0), 16);
    EXPECT_EQ(r.reader.readBits(bits, 2), 16);
    EXPECT_EQ(hex({bits, bits + 2}), hex(unhex("ABCD")));
    // Unused bits reduce the count; a count query followed by a skip stays aligned.
    EXPECT_EQ(r.reader.readBits(nullptr, 0), 2);
    r.reader.skip();
    EXPECT_EQ(r.reader.readInt(), 1);

    // Entering a BIT STRING after its bit count was asked keeps the parent's
    // count exact.
    Reading nested("300B 0306 00 3003020105 020107");
    nested.reader.enter();
    EXPECT_EQ(nested.reader.readBits(nullptr, 0), 40);
    nested.reader.enter();
    nested.reader.enter();
    EXPECT_EQ(nested.reader.readInt(), 5);
    nested.reader.leave();
    nested.reader.leave();
    EXPECT_EQ(nested.reader.readInt(), 7);
    int tag, form;
    EXPECT_FALSE(nested.reader.peek(tag, form));

    EXPECT_EQ(errorCodeOf([] { Reading("0301 08").reader.readBits(nullptr, 0); }),
              kErrBadBitString);
    EXPECT_EQ(errorCodeOf([] { Reading("0300").reader.readBits(nullptr, 0); }), kErrBadBitString);
    EXPECT_EQ(errorCodeOf([] { Reading("0302 08FF").reader.readBits(nullptr, 0); }),
              kErrBadBitString);
    EXPECT_EQ(errorCodeOf([] { Reading("0301 01").reader.readBits(nullptr, 0); }),
              kErrBadBitString);
    EXPECT_EQ(errorCodeOf([&] { Reading("030300ABCD").reader.readBits(bits, 1); }),
              kErrBufferTooSmall);
}

TEST(DerReader, ReadUtcTime) {
    auto time = [](const std::string& text) {
        std::string hexText = "17";
        char length[3];
        std::snprintf(length, sizeof length, "%02X", unsigned(text.size()));
        hexText += length;
        for (char c : text) {
            char octet[3];
            std::snprintf(octet, sizeof octet, "%02X", unsigned(uint8_t(c)));
            hexText += octet;
        }
        Reading r(hexText);
        UtcTime out;
        EXPECT_EQ(r.reader.readUtcTime(out), int(text.size()));
        return out;
    };
    UtcTime t = time("390101000000Z");
    EXPECT_EQ(t.year, 2039);
    EXPECT_TRUE(t.secondsPresent);
    EXPECT_EQ(time("400101000000Z").year, 1940);
    EXPECT_EQ(time("000229123456Z").year, 2000);
    t = time("9912312359+0130");
    EXPECT_EQ(t.year, 1999);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 31);
    EXPECT_EQ(t.hour, 23);
    EXPECT_EQ(t.minute, 59);
    EXPECT_FALSE(t.secondsPresent);
    EXPECT_EQ(t.second, 0);
    EXPECT_EQ(t.zoneHours, 1);
    EXPECT_EQ(t.zoneMinutes, 30);
    t = time("9912312359-0130");
    EXPECT_EQ(t.zoneHours, -1);
    EXPECT_EQ(t.zoneMinutes, -30);
    t = time("250607080910-1100");
    EXPECT_EQ(t.second, 10);
    EXPECT_EQ(t.zoneHours, -11);

    auto bad = [](const std::string& text) {
        return errorCodeOf([&] {
            std::vector<uint8_t> bytes = {0x17, uint8_t(text.size())};
            bytes.insert(bytes.end(), text.begin(), text.end());
            MemoryStream stream(bytes.data(), int(bytes.size()));
            DerReader reader(stream);
            UtcTime out;
            reader.readUtcTime(out);
        });
    };
    EXPECT_EQ(bad("9912312359"), kErrBadUtcTime);  // 10 octets
    EXPECT_EQ(bad("991231235900Z"), 0);
    EXPECT_EQ(bad("991231235990Z"), kErrBadUtcTime);    // a 9 for seconds
    EXPECT_EQ(bad("9912312:5900Z"), kErrBadUtcTime);    // non-digit
    EXPECT_EQ(bad("991231235900Y"), kErrBadUtcTime);    // zone 'Y'
    EXPECT_EQ(bad("9912312359+01"), kErrBadUtcTime);    // short zone
    EXPECT_EQ(bad("991231235900ZZZ"), kErrBadUtcTime);  // trailing text
    EXPECT_EQ(bad("991231235900+01300"), kErrBadUtcTime);
    EXPECT_EQ(errorCodeOf([] {
                  UtcTime out;
                  Reading("1801 39").reader.readUtcTime(out);
              }),
              kErrUnexpectedElement);
}

TEST(DerReader, HeaderCaptureAndUnsizedRoot) {
    // On a source of unknown size the root behaves as an indefinite element.
    UnsizedSource source(unhex("020101 0000 020102"));
    DerReader reader(source);
    EXPECT_EQ(reader.top().length, -1);
    EXPECT_EQ(reader.readInt(), 1);
    int tag, form;
    EXPECT_FALSE(reader.peek(tag, form));
    EXPECT_EQ(reader.top().length, 5);

    Reading r("1F8101 8200 05 0102030405");
    ASSERT_TRUE(r.reader.peek(tag, form));
    EXPECT_EQ(tag, 129);
    EXPECT_EQ(hex({r.reader.header(), r.reader.header() + r.reader.headerSize()}),
              hex(unhex("1F8101820005")));
    EXPECT_EQ(copied(r.reader), hex(unhex("1F8101820005 0102030405")));
}

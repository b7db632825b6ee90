// SPDX-License-Identifier: Apache-2.0
// Header, INTEGER, OID and container encodings, including the forced forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "der/der_errors.h"
#include "der/der_header.h"
#include "der/der_oid.h"
#include "der/der_raw.h"
#include "der/der_sequence.h"
#include "der/p7_algorithm_id.h"
#include "base/error.h"
#include "base/memory_stream.h"
#include "support/test_support.h"

using namespace fontseal;
using testsupport::hex;
using testsupport::unhex;

namespace {

std::vector<uint8_t> bytesOf(MemoryStream& stream) {
    return std::vector<uint8_t>(stream.data(), stream.data() + stream.position());
}

std::string header(int tag, int formCode, int length) {
    MemoryStream out;
    int size = writeHeader(&out, tag, formCode, length);
    EXPECT_EQ(size, writeHeader(nullptr, tag, formCode, length));
    EXPECT_EQ(size, out.position());
    return hex(bytesOf(out));
}

template <class Value>
std::string encoded(Value& value) {
    MemoryStream out;
    int size = value.encode(&out);
    EXPECT_EQ(size, value.encode(nullptr));
    EXPECT_EQ(size, out.position());
    return hex(bytesOf(out));
}

using testsupport::errorCodeOf;

}  // namespace

TEST(DerHeader, LengthFormsAroundTheShortFormLimit) {
    EXPECT_EQ(header(16, 1, 127), hex(unhex("307F")));
    EXPECT_EQ(header(16, 1, 128), hex(unhex("308180")));
    EXPECT_EQ(header(16, 1, 255), hex(unhex("3081FF")));
    EXPECT_EQ(header(16, 1, 256), hex(unhex("30820100")));
    EXPECT_EQ(header(16, 1, 0x1000000), hex(unhex("308401000000")));
    EXPECT_EQ(header(16, 1, 0x7FFFFFFF), hex(unhex("30847FFFFFFF")));
    EXPECT_EQ(header(16, 1 | kFormForceLongLength, 5), hex(unhex("308105")));
    EXPECT_EQ(header(4, 0 | kFormForceLongLength, 0), hex(unhex("048100")));
    EXPECT_EQ(errorCodeOf([] { writeHeader(nullptr, 4, 0, -1); }), kErrBadLength);
}

TEST(DerHeader, TagNumberForms) {
    EXPECT_EQ(header(30, 0, 0), hex(unhex("1E00")));
    EXPECT_EQ(header(31, 0, 0), hex(unhex("1F1F00")));
    EXPECT_EQ(header(127, 5, 1), hex(unhex("BF7F01")));
    EXPECT_EQ(header(128, 4, 1), hex(unhex("9F810001")));
    EXPECT_EQ(header(0x7FFFFFFF, 0, 0), hex(unhex("1F87FFFFFF7F00")));
    // The forced high form for a small tag; the option bit never reaches the octet.
    EXPECT_EQ(header(2, kFormForceHighTag, 1), hex(unhex("1F0201")));
    EXPECT_EQ(header(3, 5 | kFormForceHighTag | kFormForceLongLength, 1), hex(unhex("BF038101")));
}

TEST(DerHeader, ReadBackWhatWasWritten) {
    const int tags[] = {0, 30, 31, 127, 128, 16383, 16384, 0x7FFFFFFF};
    const int lengths[] = {0, 127, 128, 255, 256, 65535, 65536, 0x7FFFFFFF};
    for (int tag : tags) {
        for (int length : lengths) {
            for (int options : {0, int(kFormForceHighTag), int(kFormForceLongLength)}) {
                MemoryStream out;
                int size = writeHeader(&out, tag, 5 | options, length);
                MemoryStream in(out.data(), out.position());
                int t = -9, f = -9, l = -9;
                EXPECT_EQ(readHeader(in, t, f, l), size);
                EXPECT_EQ(t, tag);
                EXPECT_EQ(f, 5);
                EXPECT_EQ(l, length);
            }
        }
    }
}

TEST(DerHeader, ReadRejectsWhatCannotBeHeld) {
    auto read = [](const char* hexText) {
        auto bytes = unhex(hexText);
        return errorCodeOf([&] {
            MemoryStream in(bytes.data(), int(bytes.size()));
            int t, f, l;
            readHeader(in, t, f, l);
        });
    };
    EXPECT_EQ(read("04850000000001"), kErrBadLength);
    // Four length octets beyond what a signed 32-bit length holds.
    EXPECT_EQ(read("048480000000"), kErrBadLength);
    EXPECT_EQ(read("0484FFFFFFFF"), kErrBadLength);
    EXPECT_EQ(read("04847FFFFFFF"), 0);
    // Six tag octets; five whose value overflows 32 bits; one above INT32_MAX.
    EXPECT_EQ(read("1F818080808001 00"), kErrTagOverflow);
    EXPECT_EQ(read("1F9F8080800000"), kErrTagOverflow);
    EXPECT_EQ(read("1F8F8080800000"), kErrTagOverflow);
    EXPECT_EQ(read("1F87FFFFFF7F00"), 0);
    EXPECT_EQ(read("30"), kErrReadPastEnd);
    EXPECT_EQ(read("3082 01"), kErrReadPastEnd);
}

TEST(DerInteger, ShortestTwosComplement) {
    auto integer = [](int value) {
        MemoryStream out;
        int size = encodeInteger(&out, value);
        EXPECT_EQ(size, encodeInteger(nullptr, value));
        return hex(bytesOf(out));
    };
    EXPECT_EQ(integer(0), hex(unhex("020100")));
    EXPECT_EQ(integer(1), hex(unhex("020101")));
    EXPECT_EQ(integer(127), hex(unhex("02017F")));
    EXPECT_EQ(integer(128), hex(unhex("02020080")));
    EXPECT_EQ(integer(256), hex(unhex("02020100")));
    EXPECT_EQ(integer(-1), hex(unhex("0201FF")));
    EXPECT_EQ(integer(-128), hex(unhex("020180")));
    EXPECT_EQ(integer(-129), hex(unhex("0202FF7F")));
    EXPECT_EQ(integer(INT32_MAX), hex(unhex("02047FFFFFFF")));
    EXPECT_EQ(integer(INT32_MIN), hex(unhex("020480000000")));
}

TEST(DerOid, EncodesKnownIdentifiers) {
    DerOid rsa("1.2.840.113549.1.1.1");
    EXPECT_EQ(rsa.count(), 7);
    EXPECT_EQ(encoded(rsa), hex(unhex("06092A864886F70D010101")));
    DerOid eku("2.5.29.37");
    EXPECT_EQ(encoded(eku), hex(unhex("0603551D25")));
    DerOid zeroArc("1.3.0.4294967295");
    EXPECT_EQ(encoded(zeroArc), hex(unhex("06072B008FFFFFFF7F")));
    DerOid topArcs("2.39.1");
    EXPECT_EQ(encoded(topArcs), hex(unhex("06027701")));
}

TEST(DerOid, EncodingNeedsThreeArcsInRange) {
    for (const char* text : {"1.2", "1", "4.1.1", "1.40.1"}) {
        DerOid oid(text);
        EXPECT_EQ(errorCodeOf([&] { oid.encode(nullptr); }), kErrBadOid) << text;
    }
}

TEST(DerOid, ParsesAndComparesDottedText) {
    DerOid oid;
    ASSERT_TRUE(oid.fromString(" 1. 2.\t840.+113549"));
    EXPECT_TRUE(oid.equals("1.2.840.113549"));
    EXPECT_FALSE(oid.equals("1.2.840"));
    EXPECT_FALSE(oid.equals("1.2.840.113549.1"));
    EXPECT_FALSE(oid.equals("1.2.840.113548"));
    EXPECT_FALSE(oid.equals(nullptr));
    // Conversion stops at the first non-digit; an arc without digits is 0.
    ASSERT_TRUE(oid.fromString("1.2x.y"));
    EXPECT_TRUE(oid.equals("1.2.0"));
    // Over-long arcs, arcs beyond 32 bits and negative arcs fail and empty it.
    EXPECT_FALSE(oid.fromString("1.2.1234567890123456"));
    EXPECT_EQ(oid.count(), 0);
    EXPECT_TRUE(oid.fromString("1.2.000000000000005"));
    EXPECT_EQ(oid.arc(2), 5u);
    EXPECT_FALSE(oid.fromString("1.2.4294967296"));
    EXPECT_FALSE(oid.fromString("1.-2.3"));
    EXPECT_FALSE(oid.fromString(nullptr));
    EXPECT_EQ(oid.count(), 0);
}

TEST(DerOid, DecodeFromSource) {
    auto bytes = unhex("06092A864886F70D010101");
    MemoryStream in(bytes.data(), int(bytes.size()));
    DerOid oid;
    EXPECT_EQ(oid.decode(in), 11);
    EXPECT_TRUE(oid.equals("1.2.840.113549.1.1.1"));
    auto wrong = unhex("0403010203");
    MemoryStream in2(wrong.data(), int(wrong.size()));
    EXPECT_EQ(errorCodeOf([&] { oid.decode(in2); }), kErrUnexpectedElement);
}

TEST(DerValues, RawSequenceOctetsAndAlgorithmId) {
    const uint8_t member[] = {0x02, 0x01, 0x05};
    DerRaw verbatim(member, 3, false);
    EXPECT_EQ(encoded(verbatim), hex(unhex("020105")));
    DerRaw wrapped(member, 3, true);
    wrapped.setHeader(16, 1);
    EXPECT_EQ(encoded(wrapped), hex(unhex("3003020105")));
    DerRaw copy = wrapped;
    EXPECT_NE(copy.data(), wrapped.data());
    EXPECT_EQ(encoded(copy), hex(unhex("3003020105")));

    DerOctetString octets(member, 3, false);
    EXPECT_EQ(encoded(octets), hex(unhex("0403020105")));
    EXPECT_EQ(encoded(static_cast<DerRaw&>(octets)), hex(unhex("0403020105")));
    EXPECT_EQ(octets.encodeRaw(nullptr), 3);

    DerSequence outer(16, 1);
    outer.add(SharedRef<DerValue>(new DerOid("2.5.29.37")));
    auto* inner = new DerSequence(1, 5);
    outer.add(SharedRef<DerValue>(inner));
    inner->add(SharedRef<DerValue>(new DerRaw(member, 3, true)));
    EXPECT_EQ(encoded(outer), hex(unhex("300A0603551D25A103020105")));
    DerSequence headerless(-1, 0);
    headerless.add(SharedRef<DerValue>(new DerRaw(member, 3, true)));
    headerless.add(SharedRef<DerValue>(new DerRaw(member, 3, true)));
    EXPECT_EQ(encoded(headerless), hex(unhex("020105020105")));

    P7AlgorithmId sha1("1.3.14.3.2.26");
    EXPECT_EQ(encoded(sha1), hex(unhex("300906052B0E03021A0500")));
    P7AlgorithmId bare("1.3.14.3.2.26", false);
    EXPECT_EQ(encoded(bare), hex(unhex("300706052B0E03021A")));
}

TEST(DerValues, OctetStringDecodeReadsOwnedContent) {
    auto bytes = unhex("0403AABBCC 0400");
    MemoryStream in(bytes.data(), int(bytes.size()));
    DerOctetString value;
    EXPECT_EQ(value.decode(in), 5);
    EXPECT_FALSE(value.borrowed());
    EXPECT_EQ(hex({value.data(), value.data() + value.length()}), hex(unhex("AABBCC")));
    EXPECT_EQ(value.decode(in), 2);
    EXPECT_EQ(value.length(), 0);
    // A length beyond what the source holds is refused before reading.
    auto lying = unhex("04847FFFFFFF00");
    MemoryStream in2(lying.data(), int(lying.size()));
    EXPECT_EQ(errorCodeOf([&] { value.decode(in2); }), kErrPastParent);
}

// The identifier, length and OID encodings checked by openssl's parser.
TEST(DerEncode, OpenSslParsesOurStructure) {
    DerSequence outer(16, 1);
    outer.add(SharedRef<DerValue>(new DerOid("1.2.840.113549.1.1.11")));
    std::vector<uint8_t> big(300, 0x41);
    auto* octets = new DerOctetString(big.data(), int(big.size()), true);
    outer.add(SharedRef<DerValue>(octets));
    auto* tagged = new DerSequence(3, 5);
    outer.add(SharedRef<DerValue>(tagged));
    tagged->add(SharedRef<DerValue>(new P7AlgorithmId("1.3.14.3.2.26")));
    MemoryStream out;
    outer.encode(&out);
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("x.der"), bytesOf(out));
    std::string text;
    ASSERT_EQ(testsupport::run("openssl asn1parse -inform DER -in " + dir.file("x.der"), &text), 0);
    EXPECT_NE(text.find("d=0  hl=4 l= 328 cons: SEQUENCE"), std::string::npos) << text;
    EXPECT_NE(text.find("sha256WithRSAEncryption"), std::string::npos) << text;
    EXPECT_NE(text.find("hl=4 l= 300 prim: OCTET STRING"), std::string::npos) << text;
    EXPECT_NE(text.find("cons: cont [ 3 ]"), std::string::npos) << text;
    EXPECT_NE(text.find(":sha1"), std::string::npos) << text;
    EXPECT_NE(text.find("prim: NULL"), std::string::npos) << text;
}

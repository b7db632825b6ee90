// SPDX-License-Identifier: Apache-2.0
// Certificate reading against certificates that openssl makes at test time,
// with the expected fields taken from python's cryptography package.
#include <gtest/gtest.h>

#include "der/der_reader.h"
#include "x509/p7_certificate.h"
#include "base/memory_stream.h"
#include "support/cert_support.h"

namespace fontseal {
namespace {

using testsupport::Bytes;
using testsupport::CertOptions;
using testsupport::hex;

Bytes bytesOf(const uint8_t* data, int length) { return Bytes(data, data + length); }

bool decode(const Bytes& der, P7Certificate& cert) {
    MemoryStream source(der.data(), static_cast<int>(der.size()));
    DerReader reader(source);
    return cert.decodeFrom(reader);
}

Bytes encode(P7Certificate& cert) {
    const int size = cert.encode(nullptr);
    MemoryStream sink(size > 0 ? size : 1, 0);
    EXPECT_EQ(cert.encode(&sink), size);
    return bytesOf(sink.data(), sink.position());
}

class CertificateInfoTest : public ::testing::Test {
protected:
    testsupport::TempDir dir_;
};

struct PurposeCase {
    const char* name;
    const char* extensions;
    int32_t purpose;
};

TEST_F(CertificateInfoTest, CodeSigningPurposeFromExtendedKeyUsage) {
    const PurposeCase cases[] = {
        {"individual", "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21", kPurposeIndividual},
        {"commercial", "extendedKeyUsage=1.3.6.1.4.1.311.2.1.22", kPurposeCommercial},
        {"both", "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21,1.3.6.1.4.1.311.2.1.22",
         kPurposeCommercial},
        {"both_reversed", "extendedKeyUsage=1.3.6.1.4.1.311.2.1.22,1.3.6.1.4.1.311.2.1.21",
         kPurposeCommercial},
        {"generic", "extendedKeyUsage=codeSigning", kPurposeNone},
        {"critical", "extendedKeyUsage=critical,1.3.6.1.4.1.311.2.1.22", kPurposeCommercial},
        {"no_eku", "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature", kPurposeNone},
        // The extended key usage behind three other extensions still counts.
        {"eku_last",
         "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nsubjectKeyIdentifier=hash\n"
         "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21",
         kPurposeIndividual},
        {"version1", "", kPurposeNone},
    };
    for (const PurposeCase& c : cases) {
        SCOPED_TRACE(c.name);
        CertOptions options;
        options.extensions = c.extensions;
        auto made = testsupport::makeCertificate(dir_, c.name, options);
        P7Certificate cert;
        ASSERT_TRUE(decode(testsupport::readFile(made.der), cert));
        EXPECT_EQ(cert.info()->purpose(), c.purpose);
    }
}

TEST_F(CertificateInfoTest, ExtendedKeyUsageReallyComesLast) {
    // Guards the test above: openssl keeps the configured extension order.
    CertOptions options;
    options.extensions =
        "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nsubjectKeyIdentifier=hash\n"
        "extendedKeyUsage=1.3.6.1.4.1.311.2.1.22";
    auto made = testsupport::makeCertificate(dir_, "order", options);
    auto facts = testsupport::certFacts(dir_, made.pem);
    ASSERT_EQ(facts.extensions.size(), 4u);
    EXPECT_EQ(facts.extensions.back(), "2.5.29.37");
    P7Certificate cert;
    ASSERT_TRUE(decode(facts.der, cert));
    EXPECT_EQ(cert.info()->purpose(), kPurposeCommercial);
}

TEST_F(CertificateInfoTest, FieldsEqualWhatCryptographyReads) {
    CertOptions caOptions;
    caOptions.subject = "/CN=fontseal issuing CA/O=Test Issuer";
    auto ca = testsupport::makeCertificate(dir_, "ca", caOptions);

    CertOptions options;
    options.keyBits = 2048;
    options.exponent = "3";
    options.serial = "0xFF8899AABB";  // top bit set: DER adds a 00 octet
    options.caPem = ca.pem;
    options.caKey = ca.key;
    options.extensions = "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21";
    auto made = testsupport::makeCertificate(dir_, "leaf", options);
    auto facts = testsupport::certFacts(dir_, made.pem);

    P7Certificate cert;
    ASSERT_TRUE(decode(facts.der, cert));
    const CertificateInfo& info = *cert.info();
    EXPECT_EQ(info.typeCode(), 0x58353039u);
    EXPECT_EQ(cert.typeCode(), 0x50374543u);
    EXPECT_TRUE(info.publicKeyAlgorithm().equals("1.2.840.113549.1.1.1"));
    EXPECT_EQ(hex(bytesOf(info.modulus(), info.modulusLength())), hex(facts.modulusLe));
    EXPECT_EQ(hex(bytesOf(info.exponent(), info.exponentLength())), hex(facts.exponentLe));
    EXPECT_EQ(hex(bytesOf(info.issuer(), info.issuerLength())), hex(facts.issuer));
    EXPECT_EQ(hex(bytesOf(info.serial(), info.serialLength())), hex(facts.serial));
    EXPECT_EQ(hex(bytesOf(info.serial(), info.serialLength())), "02 06 00 FF 88 99 AA BB");
    // A 2048-bit modulus keeps its leading zero octet as the last byte.
    ASSERT_EQ(info.modulusLength(), 257);
    EXPECT_EQ(info.modulus()[256], 0x00);
    EXPECT_EQ(hex(bytesOf(info.exponent(), info.exponentLength())), "03");
    EXPECT_EQ(info.purpose(), kPurposeIndividual);

    EXPECT_EQ(hex(bytesOf(cert.raw()->data(), cert.raw()->length())), hex(facts.der));
    EXPECT_EQ(encode(cert), facts.der);
}

TEST_F(CertificateInfoTest, SerialOneAndOpensslModulus) {
    auto made = testsupport::makeCertificate(dir_, "one", CertOptions());
    P7Certificate cert;
    ASSERT_TRUE(decode(testsupport::readFile(made.der), cert));
    const CertificateInfo& info = *cert.info();
    EXPECT_EQ(hex(bytesOf(info.serial(), info.serialLength())), "02 01 01");
    ASSERT_GT(info.issuerLength(), 0);
    EXPECT_EQ(info.issuer()[0], 0x30);

    // Second oracle: openssl's own modulus print, most significant first.
    std::string out;
    ASSERT_EQ(testsupport::run("openssl x509 -noout -modulus -in '" + made.pem + "'", &out), 0);
    Bytes expected = testsupport::unhex(out.substr(out.find('=') + 1));
    expected.insert(expected.begin(), 0x00);
    Bytes modulus = bytesOf(info.modulus(), info.modulusLength());
    Bytes reversed(modulus.rbegin(), modulus.rend());
    EXPECT_EQ(hex(reversed), hex(expected));
    EXPECT_EQ(hex(bytesOf(info.exponent(), info.exponentLength())), "01 00 01");
}

TEST_F(CertificateInfoTest, DsaCertificateIsRejected) {
    CertOptions options;
    options.dsa = true;
    auto made = testsupport::makeCertificate(dir_, "dsa", options);
    P7Certificate cert;
    EXPECT_FALSE(decode(testsupport::readFile(made.der), cert));
}

TEST_F(CertificateInfoTest, OtherTopLevelElementIsSkipped) {
    auto made = testsupport::makeCertificate(dir_, "skip", CertOptions());
    const Bytes der = testsupport::readFile(made.der);
    Bytes input{0x02, 0x01, 0x05};
    input.insert(input.end(), der.begin(), der.end());

    MemoryStream source(input.data(), static_cast<int>(input.size()));
    DerReader reader(source);
    P7Certificate first;
    EXPECT_FALSE(first.decodeFrom(reader));
    P7Certificate second;
    ASSERT_TRUE(second.decodeFrom(reader));
    EXPECT_EQ(encode(second), der);
    int tag = 0, form = 0;
    EXPECT_FALSE(reader.peek(tag, form));
    P7Certificate none;
    EXPECT_FALSE(none.decodeFrom(reader));
}

TEST_F(CertificateInfoTest, CertificateCutShortInAnUnknownLengthSource) {
    auto made = testsupport::makeCertificate(dir_, "cut", CertOptions());
    const Bytes der = testsupport::readFile(made.der);
    // A source of unknown length: the cut shows only while the bytes are read.
    class UnknownLength : public MemoryStream {
    public:
        using MemoryStream::MemoryStream;
        int remaining() override { return -1; }
    };
    UnknownLength source(der.data(), static_cast<int>(der.size()) - 20);
    DerReader reader(source);
    P7Certificate cert;
    EXPECT_FALSE(cert.decodeFrom(reader));
}

TEST_F(CertificateInfoTest, NonMinimalLengthsAreWrittenBackUnchanged) {
    auto made = testsupport::makeCertificate(dir_, "long", CertOptions());
    const Bytes der = testsupport::readFile(made.der);
    const Bytes content = testsupport::contentOf(der);
    Bytes input{0x30,
                0x84,
                0,
                0,
                static_cast<uint8_t>(content.size() >> 8),
                static_cast<uint8_t>(content.size() & 0xFF)};
    input.insert(input.end(), content.begin(), content.end());

    P7Certificate cert;
    ASSERT_TRUE(decode(input, cert));
    EXPECT_EQ(encode(cert), input);
    P7Certificate plain;
    ASSERT_TRUE(decode(der, plain));
    EXPECT_EQ(bytesOf(cert.info()->modulus(), cert.info()->modulusLength()),
              bytesOf(plain.info()->modulus(), plain.info()->modulusLength()));
}

TEST_F(CertificateInfoTest, CopiesShareTheCertificate) {
    auto made = testsupport::makeCertificate(dir_, "share", CertOptions());
    P7Certificate empty;
    EXPECT_FALSE(empty.raw());
    EXPECT_FALSE(empty.info());
    EXPECT_EQ(empty.encode(nullptr), -1);

    P7Certificate cert;
    ASSERT_TRUE(decode(testsupport::readFile(made.der), cert));
    P7Certificate copy(cert);
    EXPECT_EQ(copy.raw().get(), cert.raw().get());
    EXPECT_EQ(copy.info().get(), cert.info().get());
    EXPECT_EQ(cert.info().useCount(), 2);
}

TEST(KeyPurposeListTest, DecodesObjectIdentifiersOnly) {
    const Bytes individual = testsupport::unhex("06 0A 2B 06 01 04 01 82 37 02 01 15");
    const Bytes commercial = testsupport::unhex("06 0A 2B 06 01 04 01 82 37 02 01 16");
    auto decodeList = [](const Bytes& der, KeyPurposeList& list) {
        MemoryStream source(der.data(), static_cast<int>(der.size()));
        DerReader reader(source);
        return list.decodeFrom(reader);
    };

    KeyPurposeList both;
    ASSERT_TRUE(
        decodeList(testsupport::tlv(0x30, testsupport::concat({commercial, individual})), both));
    ASSERT_EQ(both.purposes().count(), 2);
    EXPECT_TRUE(both.purposes()[1].equals("1.3.6.1.4.1.311.2.1.21"));
    EXPECT_EQ(both.codeSigningPurpose(), kPurposeCommercial);
    EXPECT_EQ(both.typeCode(), 0x41425354u);  // keeps the base code

    KeyPurposeList empty;
    ASSERT_TRUE(decodeList(testsupport::unhex("30 00"), empty));
    EXPECT_EQ(empty.codeSigningPurpose(), kPurposeNone);

    KeyPurposeList mixed;
    EXPECT_FALSE(decodeList(
        testsupport::tlv(0x30, testsupport::concat({individual, testsupport::unhex("02 01 00")})),
        mixed));
    KeyPurposeList set;
    EXPECT_FALSE(decodeList(testsupport::tlv(0x31, individual), set));
}

}  // namespace
}  // namespace fontseal

// SPDX-License-Identifier: Apache-2.0
// Certificate shapes that openssl does not make on request (empty extension
// lists, unique identifiers, malformed key usage, BER lengths, the extended
// certificate form), built by rearranging the elements of a real one.
#include <gtest/gtest.h>

#include "der/der_reader.h"
#include "x509/p7_certificate.h"
#include "base/memory_stream.h"
#include "support/cert_support.h"

namespace fontseal {
namespace {

using testsupport::Bytes;
using testsupport::concat;
using testsupport::contentOf;
using testsupport::splitElements;
using testsupport::tlv;
using testsupport::unhex;

const Bytes kVersion3 = unhex("A0 03 02 01 02");
const Bytes kEkuOid = unhex("06 03 55 1D 25");
const Bytes kBasicConstraintsOid = unhex("06 03 55 1D 13");
const Bytes kIndividual = unhex("06 0A 2B 06 01 04 01 82 37 02 01 15");
const Bytes kCommercial = unhex("06 0A 2B 06 01 04 01 82 37 02 01 16");

Bytes extension(const Bytes& oid, const Bytes& value) {
    return tlv(0x30, concat({oid, tlv(0x04, value)}));
}

Bytes extensions(const std::vector<Bytes>& list) { return tlv(0xA3, tlv(0x30, concat(list))); }

// A real version 1 certificate taken apart: the TBSCertificate members
// (serial, signature, issuer, validity, subject, subjectPublicKeyInfo) and
// the two elements after it.
class CertShapeTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto made = testsupport::makeCertificate(dir_, "base", testsupport::CertOptions());
        der_ = testsupport::readFile(made.der);
        auto outer = splitElements(contentOf(der_));
        ASSERT_EQ(outer.size(), 3u);
        tbs_ = splitElements(contentOf(outer[0]));
        ASSERT_EQ(tbs_.size(), 6u);
        signatureAlgorithm_ = outer[1];
        signature_ = outer[2];
    }

    Bytes certificate(const std::vector<Bytes>& tbs) const {
        return tlv(0x30, concat({tlv(0x30, concat(tbs)), signatureAlgorithm_, signature_}));
    }

    // Version 3 with the given elements after subjectPublicKeyInfo.
    Bytes version3(const std::vector<Bytes>& tail) const {
        std::vector<Bytes> tbs{kVersion3};
        tbs.insert(tbs.end(), tbs_.begin(), tbs_.end());
        tbs.insert(tbs.end(), tail.begin(), tail.end());
        return certificate(tbs);
    }

    Bytes withPublicKey(const Bytes& spki) const {
        std::vector<Bytes> tbs = tbs_;
        tbs[5] = spki;
        return certificate(tbs);
    }

    // The modulus and exponent INTEGERs of the real key.
    std::vector<Bytes> rsaMembers() const {
        auto spki = splitElements(contentOf(tbs_[5]));
        Bytes bits = contentOf(spki[1]);
        return splitElements(contentOf(Bytes(bits.begin() + 1, bits.end())));
    }

    Bytes publicKeyInfo(const Bytes& algorithm, const std::vector<Bytes>& members) const {
        Bytes bits{0x00};
        Bytes key = tlv(0x30, concat(members));
        bits.insert(bits.end(), key.begin(), key.end());
        return tlv(0x30, concat({tlv(0x30, concat({algorithm, unhex("05 00")})), tlv(0x03, bits)}));
    }

    static bool decode(const Bytes& der, P7Certificate& cert) {
        MemoryStream source(der.data(), static_cast<int>(der.size()));
        DerReader reader(source);
        return cert.decodeFrom(reader);
    }

    static Bytes encode(P7Certificate& cert) {
        MemoryStream sink(cert.encode(nullptr), 0);
        cert.encode(&sink);
        return Bytes(sink.data(), sink.data() + sink.position());
    }

    testsupport::TempDir dir_;
    Bytes der_;
    std::vector<Bytes> tbs_;
    Bytes signatureAlgorithm_;
    Bytes signature_;
};

TEST_F(CertShapeTest, ExtensionListsOfEveryShape) {
    struct Case {
        const char* name;
        Bytes der;
        int32_t purpose;
    };
    const Bytes basic = extension(kBasicConstraintsOid, unhex("30 00"));
    const Bytes critical =
        tlv(0x30, concat({kEkuOid, unhex("01 01 FF"), tlv(0x04, tlv(0x30, kIndividual))}));
    const Case cases[] = {
        {"empty list", version3({extensions({})}), kPurposeNone},
        {"unique ids before the extensions",
         version3({unhex("81 02 00 AB"), unhex("82 02 00 CD"),
                   extensions({extension(kEkuOid, tlv(0x30, kCommercial))})}),
         kPurposeCommercial},
        {"usage after another extension",
         version3({extensions({basic, extension(kEkuOid, tlv(0x30, kIndividual))})}),
         kPurposeIndividual},
        {"critical usage", version3({extensions({basic, critical})}), kPurposeIndividual},
        {"usage not a sequence of oids",
         version3({extensions({extension(kEkuOid, unhex("30 03 02 01 01"))})}), kPurposeNone},
        {"usage not a sequence", version3({extensions({extension(kEkuOid, unhex("02 01 01"))})}),
         kPurposeNone},
        {"empty usage value", version3({extensions({extension(kEkuOid, {})})}), kPurposeNone},
        {"no extensions at all", version3({}), kPurposeNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        P7Certificate cert;
        ASSERT_TRUE(decode(c.der, cert));
        EXPECT_EQ(cert.info()->purpose(), c.purpose);
        EXPECT_EQ(encode(cert), c.der);
    }
}

TEST_F(CertShapeTest, Version2IgnoresExtensions) {
    std::vector<Bytes> tbs{unhex("A0 03 02 01 01")};
    tbs.insert(tbs.end(), tbs_.begin(), tbs_.end());
    tbs.push_back(extensions({extension(kEkuOid, tlv(0x30, kCommercial))}));
    P7Certificate cert;
    ASSERT_TRUE(decode(certificate(tbs), cert));
    EXPECT_EQ(cert.info()->purpose(), kPurposeNone);
}

TEST_F(CertShapeTest, MalformedCertificatesAreRejected) {
    const Bytes algorithmRsa = unhex("06 09 2A 86 48 86 F7 0D 01 01 01");
    auto members = rsaMembers();
    ASSERT_EQ(members.size(), 2u);
    auto trailing = members;
    trailing.push_back(unhex("02 01 00"));

    struct Case {
        const char* name;
        Bytes der;
    };
    const Case cases[] = {
        {"extension that is not a sequence", version3({extensions({unhex("04 00")})})},
        {"extension without its value", version3({extensions({tlv(0x30, kEkuOid)})})},
        {"RSA key with a trailing member", withPublicKey(publicKeyInfo(algorithmRsa, trailing))},
        {"RSA key without exponent", withPublicKey(publicKeyInfo(algorithmRsa, {members[0]}))},
        {"empty modulus", withPublicKey(publicKeyInfo(algorithmRsa, {unhex("02 00"), members[1]}))},
        {"no signature value", tlv(0x30, concat({tlv(0x30, concat(tbs_)), signatureAlgorithm_}))},
        {"signature algorithm not a sequence",
         tlv(0x30, concat({tlv(0x30, concat(tbs_)), unhex("05 00"), signature_}))},
        {"TBSCertificate cut after the subject",
         certificate({tbs_[0], tbs_[1], tbs_[2], tbs_[3], tbs_[4]})},
        {"serial that is not an INTEGER",
         certificate({unhex("04 01 01"), tbs_[1], tbs_[2], tbs_[3], tbs_[4], tbs_[5]})},
        {"bare TBSCertificate", tlv(0x30, concat(tbs_))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        P7Certificate cert;
        EXPECT_FALSE(decode(c.der, cert));
    }
}

TEST_F(CertShapeTest, AcceptedVariants) {
    auto members = rsaMembers();
    P7Certificate x500;
    ASSERT_TRUE(decode(withPublicKey(publicKeyInfo(unhex("06 04 55 08 01 01"), members)), x500));
    EXPECT_TRUE(x500.info()->publicKeyAlgorithm().equals("2.5.8.1.1"));
    const Bytes modulus = contentOf(members[0]);
    EXPECT_EQ(Bytes(x500.info()->modulus(), x500.info()->modulus() + x500.info()->modulusLength()),
              Bytes(modulus.rbegin(), modulus.rend()));

    // Any form of the signature BIT STRING is taken.
    P7Certificate constructed;
    EXPECT_TRUE(decode(
        tlv(0x30, concat({tlv(0x30, concat(tbs_)), signatureAlgorithm_, tlv(0x23, signature_)})),
        constructed));
}

TEST_F(CertShapeTest, IndefiniteLengthCertificateIsWrittenBackUnchanged) {
    Bytes ber = unhex("30 80");
    const Bytes content = contentOf(der_);
    ber.insert(ber.end(), content.begin(), content.end());
    ber.push_back(0);
    ber.push_back(0);
    ber.push_back(0x05);  // something after it

    MemoryStream source(ber.data(), static_cast<int>(ber.size()));
    DerReader reader(source);
    P7Certificate cert;
    ASSERT_TRUE(cert.decodeFrom(reader));
    EXPECT_EQ(encode(cert), Bytes(ber.begin(), ber.end() - 1));
    EXPECT_EQ(source.remaining(), 1);
}

TEST_F(CertShapeTest, ExtendedCertificateForm) {
    const Bytes wrapped = tlv(0xA0, tlv(0x30, tlv(0x30, concat({unhex("02 01 00"), der_}))));
    P7Certificate cert;
    ASSERT_TRUE(decode(wrapped, cert));
    EXPECT_EQ(encode(cert), wrapped);
    P7Certificate plain;
    ASSERT_TRUE(decode(der_, plain));
    EXPECT_EQ(Bytes(cert.info()->issuer(), cert.info()->issuer() + cert.info()->issuerLength()),
              Bytes(plain.info()->issuer(), plain.info()->issuer() + plain.info()->issuerLength()));

    P7Certificate version1;
    EXPECT_FALSE(
        decode(tlv(0xA0, tlv(0x30, tlv(0x30, concat({unhex("02 01 01"), der_})))), version1));
    P7Certificate primitiveTag0;
    EXPECT_FALSE(decode(tlv(0x80, der_), primitiveTag0));
}

}  // namespace
}  // namespace fontseal

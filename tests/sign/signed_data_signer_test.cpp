// SPDX-License-Identifier: Apache-2.0
// Which certificate signs, what happens when none can, and the writer's
// handling of signer infos that the builder itself never makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "der/der_errors.h"
#include "pkcs7/p7_signed_data.h"
#include "base/error.h"
#include "pkcs7/p7_signer_info.h"
#include "signed_data_fixture.h"

using namespace signtest;
using testsupport::hex;
using testsupport::unhex;

namespace {

// A certificate for a public key made in memory.
std::string certificateForKey(const std::string& name, const EVP_PKEY* key, int serial,
                              const char* extensions = kEkuCommercial) {
    SigningWorld& world = SigningWorld::get();
    const std::string publicPem = world.dir.file(name + ".pub.pem");
    testsupport::writePublicKey(key, publicPem);
    return world.pki.makeCert(name, publicPem, serial, extensions, true);
}

// The serial number INTEGER of the signer of a one-signer blob.
Bytes signerSerial(const Asn1Tree& tree) {
    return tree.element(tree.child(tree.child(BlobLayout(tree).signerInfo, 1), 1));
}

}  // namespace

TEST(SignedDataSigner, FirstMatchingCertificateSignsAndAllAreCarried) {
    SigningWorld& world = SigningWorld::get();
    const std::string otherKey = world.pki.makeKey("other");
    const std::string other = world.pki.makeCert("other", otherKey, 31, kEkuCommercial);
    // The publisher's modulus with another exponent is not the publisher's key.
    BIGNUM* n = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(world.key.get(), "n", &n), 1);
    BIGNUM* three = BN_new();
    BN_set_word(three, 3);
    EvpPkeyPtr sameModulus(testsupport::rsaKeyFromNumbers(n, three));
    BN_free(n);
    BN_free(three);
    ASSERT_TRUE(sameModulus);
    const std::string exponent3 = certificateForKey("exponent3", sameModulus.get(), 32);

    struct Case {
        std::vector<std::string> certificates;
        const char* serial;
        const char* statement;  // last byte of the statement type
    } cases[] = {
        {{other, exponent3, world.individualPem, world.commercialPem}, "02010D", "15"},
        {{exponent3, world.commercialPem, other, world.individualPem}, "02010E", "16"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serial);
        SignRequest request;
        request.certificates = c.certificates;
        request.statement = 0;
        SignedBlob s = sign(request);
        ASSERT_GT(s.result, 0);
        Asn1Tree tree(s.path);
        EXPECT_EQ(hex(signerSerial(tree)), hex(unhex(c.serial)));
        auto certificates = tree.children(tree.child(BlobLayout(tree).signedData, 3));
        ASSERT_EQ(certificates.size(), c.certificates.size());
        for (size_t i = 0; i < certificates.size(); ++i) {
            EXPECT_EQ(tree.element(certificates[i]), certificateDer(c.certificates[i])) << i;
        }
        // The statement type attribute, wherever DER order puts it.
        Bytes statement;
        for (size_t a : tree.children(tree.child(BlobLayout(tree).signerInfo, 3))) {
            Bytes element = tree.element(a);
            if (hex(element).find(hex(unhex("060A2B060104018237 02010B"))) != std::string::npos)
                statement = element;
        }
        ASSERT_FALSE(statement.empty());
        EXPECT_EQ(hex({statement.back()}), hex(unhex(c.statement)));
        EXPECT_TRUE(opensslVerifies(s.path, s.contentPath,
                                    "-CAfile '" + world.pki.caPem + "' -purpose any"));
    }
}

TEST(SignedDataSigner, NoMatchingCertificateLeavesOutUntouched) {
    SigningWorld& world = SigningWorld::get();
    const std::string otherKey = world.pki.makeKey("stranger");
    const std::string stranger = world.pki.makeCert("stranger", otherKey, 41, kEkuCommercial);
    fontseal::GrowArray<fontseal::P7Certificate> list;
    loadCertificates({stranger, stranger}, list);
    Bytes content(81, 0x30);
    uint8_t sentinel = 0;
    uint8_t* out = &sentinel;
    const EvpSigningKey signingKey = signingKeyFor(world.key.get());
    auto key = [&]() -> const EvpSigningKey& { return signingKey; };
    EXPECT_EQ(fontseal::build_signed_data(list.begin(), list.count(), content.data(), 81, 1, 2,
                                          u"abc", "x", &out, key()),
              fontseal::kNoMatchingCertificate);
    EXPECT_EQ(fontseal::build_signed_data(list.begin(), 0, content.data(), 81, 1, 2, nullptr,
                                          nullptr, &out, key()),
              fontseal::kNoMatchingCertificate);
    EXPECT_EQ(fontseal::build_signed_data(nullptr, 0, content.data(), 81, 1, 2, nullptr, nullptr,
                                          &out, key()),
              fontseal::kNoMatchingCertificate);
    // Default entries (nothing read into them) never match.
    fontseal::GrowArray<fontseal::P7Certificate> empty;
    empty.setCount(2);
    EXPECT_EQ(fontseal::build_signed_data(empty.begin(), empty.count(), content.data(), 81, 1, 2,
                                          nullptr, nullptr, &out, key()),
              fontseal::kNoMatchingCertificate);
    EXPECT_EQ(out, &sentinel);
}

// PKCS#1 padding needs the DigestInfo (35 bytes with SHA-1, 34 with MD5)
// plus 11 bytes: a 360-bit (45-byte) modulus is enough for MD5 only.
TEST(SignedDataSigner, ModulusTooShortForTheDigestInfo) {
    struct Case {
        int bits;
        int useSha1;
        bool signs;
    } cases[] = {{256, 0, false}, {256, 1, false}, {360, 1, false},
                 {360, 0, true},  {368, 1, true},  {368, 0, true}};
    int serial = 50;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, sha1 " + std::to_string(c.useSha1));
        EvpPkeyPtr key(testsupport::makeSmallKey(c.bits));
        ASSERT_EQ(EVP_PKEY_get_size(key.get()), c.bits / 8);
        const std::string pem =
            certificateForKey("small" + std::to_string(serial), key.get(), serial);
        ++serial;
        SignRequest request;
        request.certificates = {pem};
        request.key = key.get();
        request.useSha1 = c.useSha1;
        SignedBlob s = sign(request);
        if (!c.signs) {
            EXPECT_EQ(s.result, fontseal::kSignedDataEncodingFailed);
            EXPECT_TRUE(s.blob.empty());
            continue;
        }
        ASSERT_GT(s.result, 0);
        Asn1Tree tree(s.path);
        EXPECT_EQ(tree[tree.child(BlobLayout(tree).signerInfo, 5)].length, size_t(c.bits / 8));
        EXPECT_TRUE(opensslVerifies(s.path, s.contentPath));
    }
}

namespace {

// A value that grows between the size pass and the write pass.
class GrowingValue : public fontseal::DerValue {
public:
    int encode(fontseal::ByteSink* sink) override {
        static const uint8_t kBytes[3] = {0x04, 0x01, 0x00};
        if (!sink) return 2;
        sink->write(kBytes, 3);
        return 3;
    }
};

struct SignerParts {
    fontseal::GrowArray<fontseal::P7Certificate> certificates;
    fontseal::SharedRef<fontseal::P7ContentInfo> content{new fontseal::P7ContentInfo()};
    Bytes bytes = Bytes(81);

    SignerParts() {
        const Bytes data(300, 0x41);
        fontseal::build_digest_content(data.data(), int(data.size()), 1, bytes.data(),
                                       int(bytes.size()));
        loadCertificates({SigningWorld::get().commercialPem}, certificates);
        content->setContentType("1.3.6.1.4.1.311.2.1.4");
        content->setContent(bytes.data(), int(bytes.size()), 16, 1, false);
    }

    EvpSigningKey key = signingKeyFor(SigningWorld::get().key.get());

    fontseal::P7SignerInfo* signer(int useSha1) {
        const fontseal::CertificateInfo& info = *certificates[0].info();
        return new fontseal::P7SignerInfo(
            content, &key,
            fontseal::SharedRef<fontseal::DerRaw>(
                new fontseal::DerRaw(info.issuer(), info.issuerLength(), false)),
            fontseal::SharedRef<fontseal::DerRaw>(
                new fontseal::DerRaw(info.serial(), info.serialLength(), false)),
            fontseal::digest_from_use_sha1(useSha1));
    }
};

fontseal::SharedRef<fontseal::P7Attribute> attribute(const char* oid, fontseal::DerValue* value) {
    fontseal::SharedRef<fontseal::P7Attribute> result(new fontseal::P7Attribute(oid));
    result->add(fontseal::SharedRef<fontseal::DerValue>(value));
    return result;
}

Bytes encodeWhole(fontseal::DerValue& value) {
    int size = value.encode(nullptr);
    Bytes bytes(size_t(size) + 8);
    fontseal::MemoryStream sink(bytes.data(), int(bytes.size()));
    EXPECT_EQ(value.encode(&sink), size);
    EXPECT_EQ(sink.position(), size);
    bytes.resize(size_t(size));
    return bytes;
}

}  // namespace

// A size that changes between the two passes is an error, not a blob.
TEST(SignedDataSigner, SizeChangeBetweenPassesIsAnError) {
    SignerParts parts;
    for (bool authenticated : {true, false}) {
        SCOPED_TRACE(authenticated);
        fontseal::SharedRef<fontseal::DerValue> signer(parts.signer(1));
        auto* info = static_cast<fontseal::P7SignerInfo*>(signer.get());
        auto& list =
            authenticated ? info->authenticatedAttributes() : info->unauthenticatedAttributes();
        list.append() = attribute("1.2.3.4", new GrowingValue());
        Bytes bytes(4096);
        fontseal::MemoryStream sink(bytes.data(), int(bytes.size()));
        try {
            info->encode(&sink);
            ADD_FAILURE() << "no error";
        } catch (const fontseal::error& e) {
            EXPECT_TRUE(e.code == fontseal::kErrEncodeMismatch || e.code == 259) << e.code;
        }
    }
}

// Two signers with different digests; one without authenticated
// attributes, whose signature then covers the content digest directly, and
// with an unauthenticated attribute.
TEST(SignedDataSigner, WriterCollectsDigestsOfEverySigner) {
    SigningWorld& world = SigningWorld::get();
    SignerParts parts;
    fontseal::P7SignedData signedData;
    signedData.setContent(parts.content);
    signedData.certificates().append() =
        fontseal::SharedRef<fontseal::DerValue>(new fontseal::P7Certificate(parts.certificates[0]));

    fontseal::P7SignerInfo* sha1 = parts.signer(1);
    signedData.signerInfos().append() = fontseal::SharedRef<fontseal::DerValue>(sha1);
    sha1->unauthenticatedAttributes().append() =
        attribute("1.2.3.4", new fontseal::DerRaw(unhex("0C026869").data(), 4, true));
    fontseal::P7SignerInfo* md5 = parts.signer(0);
    signedData.signerInfos().append() = fontseal::SharedRef<fontseal::DerValue>(md5);
    md5->authenticatedAttributes().append() =
        attribute("1.2.3.5", new fontseal::DerRaw(unhex("0500").data(), 2, true));

    const std::string path = world.dir.file("two-signers.p7");
    const std::string contentPath = world.dir.file("two-signers.content");
    testsupport::writeFile(path, encodeWhole(signedData));
    testsupport::writeFile(contentPath, parts.bytes);
    Asn1Tree tree(path);
    BlobLayout layout(tree);
    EXPECT_EQ(hex(tree.content(layout.digestAlgorithms)),
              hex(unhex("300C06082A864886F70D02050500 300906052B0E03021A0500")));

    auto signers = tree.children(layout.signerInfos);
    ASSERT_EQ(signers.size(), 2u);
    auto first = tree.children(signers[0]);
    ASSERT_EQ(first.size(), 6u);  // no [0], an unauthenticated [1] at the end
    EXPECT_EQ(tree[first[3]].type, "SEQUENCE");
    EXPECT_EQ(tree[first[5]].type, "cont [ 1 ]");
    EXPECT_EQ(hex(tree.content(first[5])), hex(unhex("300B 06032A0304 3104 0C026869")));
    auto second = tree.children(signers[1]);
    ASSERT_EQ(second.size(), 6u);
    EXPECT_EQ(tree[second[3]].type, "cont [ 0 ]");
    EXPECT_EQ(tree.children(second[3]).size(), 3u);  // ours, contentType, messageDigest

    EXPECT_TRUE(opensslVerifies(path, contentPath));
    Bytes tampered = parts.bytes;
    tampered[40] ^= 1;
    testsupport::writeFile(contentPath, tampered);
    EXPECT_FALSE(opensslVerifies(path, contentPath));
}

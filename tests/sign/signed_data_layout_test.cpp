// SPDX-License-Identifier: Apache-2.0
// The blob's structure and attribute bytes, as `openssl asn1parse` splits it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "signed_data_fixture.h"

using namespace signtest;
using testsupport::hex;
using testsupport::unhex;

namespace {

const char* kSignedDataOid = "06092A864886F70D010702";
const char* kSha1AlgId = "3009 06052B0E03021A 0500";
const char* kMd5AlgId = "300C 06082A864886F70D0205 0500";
const char* kRsaAlgId = "300D 06092A864886F70D010101 0500";
const char* kFlagsAttribute = "3014 06092B060104018237 2801 3107 03050003000000";
const char* kCommercialAttribute =
    "301C 060A2B060104018237 02010B 310E 300C 060A2B0601040182370201 16";
const char* kIndividualAttribute =
    "301C 060A2B060104018237 02010B 310E 300C 060A2B0601040182370201 15";
const char* kPublisherNameAndUrl =
    "301F 060A2B0601040182370201 0C 3111 300F A008 8006 006100620063 A103 8001 78";
const char* kPublisherEmpty = "3010 060A2B0601040182370201 0C 3102 3000";
const char* kContentTypeAttribute = "3019 06092A864886F70D010903 310C 060A2B0601040182370201 04";

std::string h(const char* spaced) { return hex(unhex(spaced)); }

// Hex of fixed bytes followed by computed ones.
std::string h(const std::string& spaced, const Bytes& tail) {
    Bytes all = unhex(spaced);
    all.insert(all.end(), tail.begin(), tail.end());
    return hex(all);
}

// The authenticated attributes of the only signer, as whole elements, listed
// by type in the order the signer makes them (publisher information, flags,
// statement, contentType, messageDigest). In the blob they form a SET OF in
// DER order: put back in ascending order of their encodings they give the
// set's bytes unchanged.
std::vector<Bytes> attributesOf(const Asn1Tree& tree) {
    BlobLayout layout(tree);
    size_t set = tree.child(layout.signerInfo, 3);
    EXPECT_EQ(tree[set].type, "cont [ 0 ]");
    std::vector<Bytes> inBlob;
    for (size_t a : tree.children(set)) inBlob.push_back(tree.element(a));
    std::vector<Bytes> sorted = inBlob;
    std::sort(sorted.begin(), sorted.end());
    Bytes reencoded;
    for (const Bytes& a : sorted) reencoded.insert(reencoded.end(), a.begin(), a.end());
    EXPECT_EQ(hex(reencoded), hex(tree.content(set)));

    static const char* const kTypeOrder[] = {"2B0601040182370201 0C", "2B0601040182372801",
                                             "2B0601040182370201 0B", "2A864886F70D010903",
                                             "2A864886F70D010904"};
    auto rank = [](const Bytes& attribute) {
        // SEQUENCE header, then the OID element: 06, length, content.
        const size_t oidAt = attribute[1] < 0x80 ? 2 : 2 + (attribute[1] & 0x7F);
        const Bytes oid(attribute.begin() + long(oidAt) + 2,
                        attribute.begin() + long(oidAt) + 2 + attribute[oidAt + 1]);
        for (size_t i = 0; i < 5; ++i)
            if (hex(oid) == hex(unhex(kTypeOrder[i]))) return i;
        return size_t(5);
    };
    std::vector<Bytes> byType = inBlob;
    std::stable_sort(byType.begin(), byType.end(),
                     [&](const Bytes& a, const Bytes& b) { return rank(a) < rank(b); });
    return byType;
}

int rsaSize() { return EVP_PKEY_get_size(SigningWorld::get().key.get()); }

}  // namespace

TEST(SignedDataLayout, Sha1BlobFieldByField) {
    SigningWorld& world = SigningWorld::get();
    SignRequest request;
    request.certificates = {world.commercialPem};
    request.programName = u"abc";
    request.url = "x";
    SignedBlob s = sign(request);
    ASSERT_GT(s.result, 0);
    Asn1Tree tree(s.path);
    BlobLayout layout(tree);

    EXPECT_EQ(tree[0].end(), s.blob.size());
    EXPECT_EQ(hex(tree.element(tree.child(0, 0))), h(kSignedDataOid));
    EXPECT_EQ(tree[tree.child(0, 1)].type, "cont [ 0 ]");
    EXPECT_EQ(tree.children(0).size(), 2u);

    // version, digestAlgorithms, contentInfo, [0] certificates, signerInfos.
    auto fields = tree.children(layout.signedData);
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(hex(tree.element(fields[0])), h("020101"));
    EXPECT_EQ(hex(tree.content(layout.digestAlgorithms)), h(kSha1AlgId));
    EXPECT_EQ(hex(tree.element(tree.child(layout.contentInfo, 0))), h("060A2B0601040182370201 04"));
    EXPECT_EQ(tree[layout.content].type, "SEQUENCE");
    EXPECT_EQ(hex(tree.content(layout.content)), hex(s.content));
    EXPECT_EQ(tree[fields[3]].type, "cont [ 0 ]");
    EXPECT_EQ(hex(tree.content(fields[3])), hex(certificateDer(world.commercialPem)));
    EXPECT_EQ(tree[layout.signerInfos].type, "SET");
    EXPECT_EQ(tree.children(layout.signerInfos).size(), 1u);

    // SignerInfo: version, issuerAndSerialNumber, digestAlgorithm, [0],
    // digestEncryptionAlgorithm, encryptedDigest; no unauthenticated [1].
    auto signer = tree.children(layout.signerInfo);
    ASSERT_EQ(signer.size(), 6u);
    EXPECT_EQ(hex(tree.element(signer[0])), h("020101"));
    // The issuer Name of the certificate (fourth field of its TBSCertificate)
    // and its serial number 14.
    Bytes issuerAndSerial = tree.element(tree.child(tree.child(tree.child(fields[3], 0), 0), 3));
    EXPECT_EQ(hex(tree.content(signer[1])), h("", issuerAndSerial) + " 02 01 0E");
    EXPECT_EQ(hex(tree.element(signer[2])), h(kSha1AlgId));
    EXPECT_EQ(hex(tree.element(signer[4])), h(kRsaAlgId));
    EXPECT_EQ(tree[signer[5]].type, "OCTET STRING");
    EXPECT_EQ(tree[signer[5]].length, size_t(rsaSize()));
    EXPECT_EQ(tree[signer[5]].end(), s.blob.size());

    auto attributes = attributesOf(tree);
    ASSERT_EQ(attributes.size(), 5u);
    EXPECT_EQ(hex(attributes[0]), h(kPublisherNameAndUrl));
    EXPECT_EQ(hex(attributes[1]), h(kFlagsAttribute));
    EXPECT_EQ(hex(attributes[2]), h(kCommercialAttribute));
    EXPECT_EQ(hex(attributes[3]), h(kContentTypeAttribute));
    EXPECT_EQ(hex(attributes[4]), h("3023 06092A864886F70D010904 3116 0414",
                                    testsupport::opensslDigest(world.dir, s.content, "sha1")));
}

TEST(SignedDataLayout, Md5SelectsMd5Everywhere) {
    SigningWorld& world = SigningWorld::get();
    SignRequest request;
    request.certificates = {world.commercialPem};
    request.useSha1 = 0;
    SignedBlob s = sign(request);
    ASSERT_GT(s.result, 0);
    Asn1Tree tree(s.path);
    BlobLayout layout(tree);

    EXPECT_EQ(s.content.size(), 80u);
    EXPECT_EQ(hex(tree.content(layout.digestAlgorithms)), h(kMd5AlgId));
    EXPECT_EQ(hex(tree.element(tree.child(layout.signerInfo, 2))), h(kMd5AlgId));
    auto attributes = attributesOf(tree);
    ASSERT_EQ(attributes.size(), 5u);
    EXPECT_EQ(hex(attributes[4]), h("301F 06092A864886F70D010904 3112 0410",
                                    testsupport::opensslDigest(world.dir, s.content, "md5")));
    EXPECT_EQ(tree[tree.child(layout.signerInfo, 5)].length, size_t(rsaSize()));
}

// The signature, opened with the public key, is a DigestInfo over the
// attributes written with the SET identifier in place of [0].
TEST(SignedDataLayout, SignatureCoversAttributesAsSet) {
    SigningWorld& world = SigningWorld::get();
    const std::string publicPem = world.dir.file("publisher.pub.pem");
    testsupport::openssl("pkey -in '" + world.keyPem + "' -pubout -out '" + publicPem + "'");
    for (int useSha1 : {1, 0}) {
        SCOPED_TRACE(useSha1);
        SignRequest request;
        request.certificates = {world.individualPem};
        request.useSha1 = useSha1;
        request.programName = u"Font";
        SignedBlob s = sign(request);
        ASSERT_GT(s.result, 0);
        Asn1Tree tree(s.path);
        BlobLayout layout(tree);
        Bytes attributes = tree.element(tree.child(layout.signerInfo, 3));
        ASSERT_EQ(attributes[0], 0xA0);
        attributes[0] = 0x31;
        const std::string signature = s.path + ".sig";
        testsupport::writeFile(signature, tree.content(tree.child(layout.signerInfo, 5)));
        std::string recovered;
        ASSERT_EQ(testsupport::run("openssl pkeyutl -verifyrecover -pubin -inkey '" + publicPem +
                                       "' -in '" + signature + "' | od -An -tx1 -v",
                                   &recovered),
                  0);
        std::string compact;
        for (char c : recovered) {
            if (c != ' ' && c != '\n') compact += c;
        }
        const char* algorithm = useSha1 ? "sha1" : "md5";
        std::string prefix = useSha1 ? std::string("3021") + kSha1AlgId + "0414"
                                     : std::string("3020") + kMd5AlgId + "0410";
        EXPECT_EQ(hex(unhex(compact)),
                  h(prefix, testsupport::opensslDigest(world.dir, attributes, algorithm)));
    }
}

TEST(SignedDataLayout, PublisherInfoShapes) {
    SigningWorld& world = SigningWorld::get();
    struct Case {
        const char16_t* name;
        const char* url;
        std::string expected;
    } cases[] = {
        {nullptr, nullptr, h(kPublisherEmpty)},
        {u"", nullptr, h("3014 060A2B0601040182370201 0C 3106 3004 A002 8000")},
        {nullptr, "x", h("3015 060A2B0601040182370201 0C 3107 3005 A103 8001 78")},
        {u"abc", nullptr, h("301A 060A2B0601040182370201 0C 310C 300A A008 8006 006100620063")},
        {u"abc", "x", h(kPublisherNameAndUrl)},
        // Characters beyond Latin-1 keep both bytes, high byte first.
        {u"\u20AC\u00E9", "",
         h("301C 060A2B0601040182370201 0C 310E 300C A006 8004 20AC00E9 A102 8000")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        SignRequest request;
        request.certificates = {world.commercialPem};
        request.programName = c.name;
        request.url = c.url;
        SignedBlob s = sign(request);
        ASSERT_GT(s.result, 0);
        auto attributes = attributesOf(Asn1Tree(s.path));
        ASSERT_EQ(attributes.size(), 5u);
        EXPECT_EQ(hex(attributes[0]), c.expected);
        EXPECT_EQ(hex(attributes[1]), h(kFlagsAttribute));
    }
}

TEST(SignedDataLayout, StatementFromSelectorAndPurpose) {
    SigningWorld& world = SigningWorld::get();
    struct Case {
        std::string pem;
        int statement;
        const char* expected;
    } cases[] = {
        {world.plainPem, 0, kCommercialAttribute},       // purpose 0: no extensions
        {world.genericPem, 0, kCommercialAttribute},     // purpose 0: generic code signing
        {world.individualPem, 0, kIndividualAttribute},  // purpose 1
        {world.commercialPem, 0, kCommercialAttribute},  // purpose 2
        {world.individualPem, 2, kCommercialAttribute},
        {world.commercialPem, 1, kIndividualAttribute},
        {world.commercialPem, 7, kIndividualAttribute},
        {world.commercialPem, -1, kIndividualAttribute},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pem + " statement " + std::to_string(c.statement));
        SignRequest request;
        request.certificates = {c.pem};
        request.statement = c.statement;
        SignedBlob s = sign(request);
        ASSERT_GT(s.result, 0);
        auto attributes = attributesOf(Asn1Tree(s.path));
        ASSERT_EQ(attributes.size(), 5u);
        EXPECT_EQ(hex(attributes[2]), h(c.expected));
    }
}

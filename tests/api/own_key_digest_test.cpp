// SPDX-License-Identifier: Apache-2.0
// A real font signed with the publisher's own key under each digest
// algorithm: openssl accepts the signature, and the content's DigestInfo
// holds the algorithm's identifier and the digest of the stripped font
// followed by 00 01, as the openssl tool computes it.
#include <gtest/gtest.h>

#include <string>

#include "api/own_key_signing_step.h"
#include "api/sign_job.h"
#include "api/strip_font.h"
#include "key/key_file.h"
#include "pkcs7/p7_read_signer_info.h"
#include "pkcs7/p7_signed_data.h"
#include "sign/signed_data_fixture.h"
#include "support/sfnt_support.h"

using namespace signtest;
using fontseal::DigestAlgorithm;
using testsupport::hex;
using testsupport::unhex;

namespace {

// The PKCS#7 blob of the only signature in a font's DSIG table.
Bytes dsigSignature(const Bytes& font) {
    const testsupport::SfntDirectory directory = testsupport::parseSfntDirectory(font);
    const testsupport::SfntEntry* entry = testsupport::findEntry(directory, "DSIG");
    if (!entry) throw std::runtime_error("no DSIG table");
    const Bytes table = testsupport::tableBytes(font, *entry);
    if (testsupport::be16(table, 4) != 1) throw std::runtime_error("not one signature");
    const uint32_t offset = testsupport::be32(table, 8 + 8);
    const uint32_t length = testsupport::be32(table, offset + 4);
    return Bytes(table.begin() + offset + 8, table.begin() + offset + 8 + length);
}

}  // namespace

TEST(OwnKeyDigest, EveryAlgorithmSignsARealFontThatOpensslVerifies) {
    SigningWorld& world = SigningWorld::get();
    fontseal::KeyFileContents key;
    ASSERT_EQ(fontseal::load_key_file(world.keyPem.c_str(), nullptr, key), 0);
    const std::string font = testsupport::dejavuSansPath();
    const std::string stripped = world.dir.file("digest-stripped.ttf");
    ASSERT_EQ(fontseal::strip_font(font.c_str(), stripped.c_str()), 0);
    Bytes image = testsupport::readFile(stripped);
    image.push_back(0x00);
    image.push_back(0x01);

    struct Case {
        DigestAlgorithm digest;
        const char* name;
        const char* algorithmId;  // AlgorithmIdentifier with NULL parameters
    } cases[] = {
        {DigestAlgorithm::kSha256, "sha256", "300D 0609608648016503040201 0500"},
        {DigestAlgorithm::kSha384, "sha384", "300D 0609608648016503040202 0500"},
        {DigestAlgorithm::kSha512, "sha512", "300D 0609608648016503040203 0500"},
        {DigestAlgorithm::kSha1, "sha1", "3009 06052B0E03021A 0500"},
        {DigestAlgorithm::kMd5, "md5", "300C 06082A864886F70D0205 0500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fontseal::GrowArray<fontseal::P7Certificate> certificates;
        loadCertificates({world.commercialPem}, certificates);
        fontseal::OwnKeySigningStep step(certificates, *key.key);
        fontseal::SignOptions options;
        options.useSha1 = 1;  // overridden by the named algorithm
        options.digest = c.digest;
        const std::string out = world.dir.file(std::string("digest-") + c.name + ".ttf");
        ASSERT_EQ(fontseal::sign_job(font.c_str(), out.c_str(), step, options), 0);

        const std::string blob = out + ".p7";
        testsupport::writeFile(blob, dsigSignature(testsupport::readFile(out)));
        Asn1Tree tree(blob);
        BlobLayout layout(tree);
        const std::string inner = out + ".inner";
        testsupport::writeFile(inner, tree.content(layout.content));
        EXPECT_TRUE(opensslVerifies(blob, inner, "-CAfile '" + world.pki.caPem + "' -purpose any"));

        const std::string algorithmId = hex(unhex(c.algorithmId));
        const size_t digestInfo = tree.child(layout.content, 1);
        EXPECT_EQ(hex(tree.element(tree.child(digestInfo, 0))), algorithmId);
        EXPECT_EQ(hex(tree.content(tree.child(digestInfo, 1))),
                  hex(testsupport::opensslDigest(world.dir, image, c.name)));
        EXPECT_EQ(hex(tree.element(tree.child(layout.signerInfo, 2))), algorithmId);
        EXPECT_EQ(hex(tree.content(layout.digestAlgorithms)), algorithmId);

        // Read back, the signer names the same algorithm, and the blob is
        // written back byte for byte.
        const Bytes bytes = testsupport::readFile(blob);
        fontseal::MemoryStream source(bytes.data(), int(bytes.size()));
        fontseal::DerReader reader(source);
        fontseal::P7SignedData read;
        ASSERT_TRUE(read.decodeFrom(reader));
        ASSERT_EQ(read.signerInfos().count(), 1);
        auto* signer = static_cast<fontseal::P7ReadSignerInfo*>(read.signerInfos()[0].get());
        ASSERT_EQ(signer->typeCode(), fontseal::kTypeReadSignerInfo);
        EXPECT_EQ(signer->digestKind(), c.digest);
        Bytes again(bytes.size() + 16);
        fontseal::MemoryStream sink(again.data(), int(again.size()));
        ASSERT_EQ(read.encode(&sink), int(bytes.size()));
        again.resize(bytes.size());
        EXPECT_EQ(hex(again), hex(bytes));
    }
}

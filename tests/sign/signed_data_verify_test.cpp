// SPDX-License-Identifier: Apache-2.0
// Blobs checked by `openssl smime -verify`: the signature, the message
// digest and the certificate chain, and that tampering is noticed.
#include <gtest/gtest.h>

#include <string>

#include "key/pvk_reader.h"
#include "platform/file_source.h"
#include "signed_data_fixture.h"
#include "support/key_support.h"

using namespace signtest;

namespace {

std::string flipped(const std::string& path, long offsetFromEnd) {
    Bytes bytes = testsupport::readFile(path);
    bytes.at(size_t(long(bytes.size()) - offsetFromEnd)) ^= 0x01;
    const std::string out = path + ".flipped" + std::to_string(offsetFromEnd);
    testsupport::writeFile(out, bytes);
    return out;
}

}  // namespace

TEST(SignedDataVerify, OpensslAcceptsAndNoticesTampering) {
    SigningWorld& world = SigningWorld::get();
    for (int useSha1 : {1, 0}) {
        SCOPED_TRACE(useSha1);
        SignRequest request;
        request.certificates = {world.individualPem};
        request.useSha1 = useSha1;
        request.programName = u"Test Font";
        request.url = "https://example.invalid/font";
        SignedBlob s = sign(request);
        ASSERT_GT(s.result, 0);

        // The detached content is cut out of the blob itself.
        Asn1Tree tree(s.path);
        BlobLayout layout(tree);
        const std::string inner = s.path + ".inner";
        testsupport::writeFile(inner, tree.content(layout.content));
        EXPECT_EQ(tree.content(layout.content), s.content);

        EXPECT_TRUE(opensslVerifies(s.path, inner));
        EXPECT_TRUE(
            opensslVerifies(s.path, inner, "-CAfile '" + world.pki.caPem + "' -purpose any"));

        // One changed bit of the content, of the signature, of a signed
        // attribute (the last character of the URL).
        size_t contentLength = s.content.size();
        EXPECT_FALSE(opensslVerifies(s.path, flipped(inner, long(contentLength) / 2)));
        EXPECT_FALSE(opensslVerifies(s.path, flipped(inner, 1)));
        EXPECT_FALSE(opensslVerifies(flipped(s.path, 1), inner));
        EXPECT_FALSE(
            opensslVerifies(flipped(s.path, 1 + EVP_PKEY_get_size(world.key.get())), inner));
        size_t attributes = tree.child(layout.signerInfo, 3);
        size_t url = tree[attributes].offset + 2;  // inside the publisher info
        while (url + 1 < tree[attributes].end() && !(s.blob[url] == 'n' && s.blob[url + 1] == 't'))
            ++url;
        ASSERT_LT(url + 1, tree[attributes].end());
        EXPECT_FALSE(opensslVerifies(flipped(s.path, long(s.blob.size() - url)), inner));
    }
}

// A certificate of another CA is not trusted by ours.
TEST(SignedDataVerify, ChainCheckNeedsTheIssuingCa) {
    SigningWorld& world = SigningWorld::get();
    SignRequest request;
    request.certificates = {world.commercialPem};
    SignedBlob s = sign(request);
    ASSERT_GT(s.result, 0);
    testsupport::TempDir other;
    testsupport::TestPki otherPki(other);
    EXPECT_TRUE(
        opensslVerifies(s.path, s.contentPath, "-CAfile '" + world.pki.caPem + "' -purpose any"));
    EXPECT_FALSE(
        opensslVerifies(s.path, s.contentPath, "-CAfile '" + otherPki.caPem + "' -purpose any"));
}

// The signature keeps the modulus length also when its first byte is zero.
TEST(SignedDataVerify, SignatureWithLeadingZeroKeepsItsLength) {
    SigningWorld& world = SigningWorld::get();
    const int rsaSize = EVP_PKEY_get_size(world.key.get());
    const EvpSigningKey key = signingKeyFor(world.key.get());
    fontseal::GrowArray<fontseal::P7Certificate> list;
    loadCertificates({world.commercialPem}, list);
    Bytes data(64, 0);
    Bytes blob;
    Bytes content(81);
    for (uint32_t i = 0; i < 20000 && blob.empty(); ++i) {
        for (int b = 0; b < 4; ++b) data[size_t(b)] = uint8_t(i >> (8 * b));
        ASSERT_EQ(fontseal::build_digest_content(data.data(), int(data.size()), 1, content.data(),
                                                 int(content.size())),
                  81);
        uint8_t* out = nullptr;
        int length = fontseal::build_signed_data(list.begin(), list.count(), content.data(), 81, 1,
                                                 2, nullptr, nullptr, &out, key);
        ASSERT_GT(length, rsaSize);
        if (out[length - rsaSize] == 0) blob.assign(out, out + length);
        std::free(out);
    }
    ASSERT_FALSE(blob.empty()) << "no signature with a leading zero byte";
    const std::string path = world.dir.file("leading-zero.p7");
    const std::string contentPath = world.dir.file("leading-zero.content");
    testsupport::writeFile(path, blob);
    testsupport::writeFile(contentPath, content);
    Asn1Tree tree(path);
    size_t signature = tree.child(BlobLayout(tree).signerInfo, 5);
    EXPECT_EQ(tree[signature].length, size_t(rsaSize));
    EXPECT_EQ(tree.content(signature)[0], 0);
    EXPECT_TRUE(opensslVerifies(path, contentPath));
}

// The key as the file-key route reads it: a PVK file through the key reader.
TEST(SignedDataVerify, KeyReadFromPvkFile) {
    SigningWorld& world = SigningWorld::get();
    testsupport::PvkKeySet keys = testsupport::makePvkKeys(world.dir, "pvk", 1024, "secret");
    const std::string pem = world.pki.makeCert("pvk-cert", keys.pem, 21, kEkuCommercial);
    EvpPkeyPtr key;
    fontseal::FileSource file(keys.strong.c_str());
    ASSERT_EQ(fontseal::load_private_key(file, "secret", key), 0);

    SignRequest request;
    request.certificates = {world.commercialPem, pem};
    request.key = key.get();
    SignedBlob s = sign(request);
    ASSERT_GT(s.result, 0);
    EXPECT_TRUE(
        opensslVerifies(s.path, s.contentPath, "-CAfile '" + world.pki.caPem + "' -purpose any"));
}

// The key stays the caller's: the call neither frees nor changes it (the
// leak check run shows nothing is lost), and it signs again afterwards.
TEST(SignedDataVerify, OwnedKeyReferenceIsReleased) {
    SigningWorld& world = SigningWorld::get();
    fontseal::GrowArray<fontseal::P7Certificate> list;
    loadCertificates({world.commercialPem}, list);
    Bytes content(81, 0x30);
    for (bool matching : {true, false, true}) {
        const EvpSigningKey key(
            EvpPkeyPtr(matching ? EVP_PKEY_dup(world.key.get()) : testsupport::makeSmallKey(512)));
        ASSERT_NE(key.get(), nullptr);
        for (int round = 0; round < 2; ++round) {
            uint8_t* out = nullptr;
            int length = fontseal::build_signed_data(list.begin(), list.count(), content.data(), 81,
                                                     1, 2, nullptr, nullptr, &out, key);
            EXPECT_EQ(length > 0, matching);
            std::free(out);
        }
    }
    EXPECT_EQ(EVP_PKEY_get_size(world.key.get()), 128);
}

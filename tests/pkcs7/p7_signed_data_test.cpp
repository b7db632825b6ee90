// SPDX-License-Identifier: Apache-2.0
// PKCS#7 ContentInfo, SignerInfo and SignedData against messages that the
// openssl tool signs at test time.
#include "pkcs7/p7_signed_data.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "der/der_errors.h"
#include "der/der_raw.h"
#include "der/der_reader.h"
#include "der/der_sequence.h"
#include "x509/p7_certificate.h"
#include "pkcs7/p7_content_info.h"
#include "pkcs7/p7_read_signer_info.h"
#include "base/memory_stream.h"
#include "support/cert_support.h"
#include "support/test_support.h"

using namespace fontseal;
using testsupport::Bytes;
using testsupport::hex;
using testsupport::unhex;

namespace {

struct Signed {
    Bytes message;  // the DER ContentInfo
    Bytes certificate;
    Bytes data;
};

// An openssl-signed message over `data` with the given digest.
Signed opensslSign(const testsupport::TempDir& dir, const std::string& digest,
                   const std::string& extra = "") {
    testsupport::CertOptions options;
    options.keyBits = 2048;
    auto cert = testsupport::makeCertificate(dir, "signer-" + digest, options);
    Signed result;
    result.data = {'f', 'o', 'n', 't', 0, 1, 2, 3};
    testsupport::writeFile(dir.file("data"), result.data);
    std::string out = dir.file("msg-" + digest + ".der");
    int status =
        testsupport::run("openssl smime -sign -binary -nodetach -outform DER -md " + digest + " " +
                         extra + " -in " + dir.file("data") + " -signer " + cert.pem + " -inkey " +
                         cert.key + " -out " + out + " 2>/dev/null");
    EXPECT_EQ(status, 0);
    result.message = testsupport::readFile(out);
    result.certificate = testsupport::readFile(cert.der);
    return result;
}

// Offset and total size of elements as `openssl asn1parse` lists them.
struct Parsed {
    size_t offset, depth, size;
    std::string kind;
};
std::vector<Parsed> asn1parse(const testsupport::TempDir& dir, const Bytes& der) {
    testsupport::writeFile(dir.file("parse.der"), der);
    std::string text;
    EXPECT_EQ(testsupport::run("openssl asn1parse -inform DER -in " + dir.file("parse.der"), &text),
              0);
    std::vector<Parsed> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        Parsed p{};
        unsigned long offset, depth, hl, l;
        char kind[32] = {};
        if (std::sscanf(line.c_str(), " %lu:d=%lu hl=%lu l=%lu %*s %31[^\n]", &offset, &depth, &hl,
                        &l, kind) < 4) {
            continue;
        }
        p.offset = offset;
        p.depth = depth;
        p.size = hl + l;
        p.kind = kind;
        lines.push_back(p);
    }
    return lines;
}

// The SignerInfo element, located through openssl's listing: the first
// depth-4 element after the last depth-3 SET.
Bytes signerInfoBytes(const testsupport::TempDir& dir, const Bytes& message) {
    auto lines = asn1parse(dir, message);
    size_t set = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].depth == 3 && lines[i].kind.rfind("SET", 0) == 0) set = i;
    }
    EXPECT_GT(set, 0u);
    const Parsed& signer = lines.at(set + 1);
    EXPECT_EQ(signer.depth, 4u);
    return Bytes(message.begin() + long(signer.offset),
                 message.begin() + long(signer.offset + signer.size));
}

Bytes encoded(DerValue& value) {
    MemoryStream out;
    int size = value.encode(&out);
    EXPECT_EQ(size, value.encode(nullptr));
    EXPECT_EQ(size, out.position());
    return Bytes(out.data(), out.data() + out.position());
}

bool decode(DerValue& value, const Bytes& bytes) {
    MemoryStream in(bytes.data(), int(bytes.size()));
    DerReader reader(in);
    return value.decodeFrom(reader);
}

Bytes octets(const DerValue* raw) {
    auto* r = static_cast<const DerRaw*>(raw);
    return Bytes(r->data(), r->data() + r->length());
}

}  // namespace

TEST(P7SignedData, DecodesAnOpenSslMessage) {
    testsupport::TempDir dir;
    Signed msg = opensslSign(dir, "sha1");
    P7SignedData signedData;
    ASSERT_TRUE(decode(signedData, msg.message)) << signedData.decodeError();
    EXPECT_TRUE(signedData.contentType().equals("1.2.840.113549.1.7.2"));

    ASSERT_EQ(signedData.certificates().count(), 1);
    auto& certificate = signedData.certificates()[0];
    ASSERT_EQ(certificate->typeCode(), kTypeCertificate);
    EXPECT_EQ(hex(encoded(*certificate)), hex(msg.certificate));

    auto& content = signedData.content();
    ASSERT_TRUE(content);
    EXPECT_TRUE(content->contentType().equals("1.2.840.113549.1.7.1"));
    EXPECT_EQ(content->contentTag(), -1);
    Bytes inner(content->content(), content->content() + content->contentLength());
    EXPECT_EQ(hex(inner), hex(testsupport::tlv(0x04, msg.data)));

    ASSERT_EQ(signedData.signerInfos().count(), 1);
    auto* signer = static_cast<P7ReadSignerInfo*>(signedData.signerInfos()[0].get());
    ASSERT_EQ(signer->typeCode(), kTypeReadSignerInfo);
    EXPECT_EQ(signer->digestKind(), kDigestSha1);
    EXPECT_TRUE(signer->authenticatedAttributes());
    EXPECT_FALSE(signer->unauthenticatedAttributes());
    EXPECT_EQ(hex(octets(signer->version().get())), hex(unhex("020101")));
    EXPECT_EQ(signer->encryptedDigest()->typeCode(), kTypeRaw);
    EXPECT_EQ(octets(signer->encryptedDigest().get()).size(), 4u + 256u);
    EXPECT_EQ(hex(encoded(*signer)), hex(signerInfoBytes(dir, msg.message)));
}

TEST(P7SignedData, ReencodedMessageVerifiesWithOpenSsl) {
    testsupport::TempDir dir;
    Signed msg = opensslSign(dir, "sha1");
    P7SignedData signedData;
    ASSERT_TRUE(decode(signedData, msg.message));
    Bytes again = encoded(signedData);
    // openssl writes the same DER for everything the decoder keeps.
    EXPECT_EQ(hex(again), hex(msg.message));
    testsupport::writeFile(dir.file("again.der"), again);
    std::string out;
    EXPECT_EQ(testsupport::run("openssl smime -verify -noverify -inform DER -in " +
                                   dir.file("again.der") + " 2>/dev/null",
                               &out),
              0);
    EXPECT_EQ(out, std::string(msg.data.begin(), msg.data.end()));
    // Decoding what we wrote gives the same bytes again.
    P7SignedData second;
    ASSERT_TRUE(decode(second, again));
    EXPECT_EQ(hex(encoded(second)), hex(again));
}

TEST(P7SignedData, Md5AndUnknownDigests) {
    testsupport::TempDir dir;
    Signed md5 = opensslSign(dir, "md5");
    P7SignedData signedData;
    ASSERT_TRUE(decode(signedData, md5.message));
    ASSERT_EQ(signedData.signerInfos().count(), 1);
    auto* signer = static_cast<P7ReadSignerInfo*>(signedData.signerInfos()[0].get());
    EXPECT_EQ(signer->digestKind(), kDigestMd5);
    EXPECT_NE(hex(encoded(signedData)).find(hex(unhex("300C06082A864886F70D02050500"))),
              std::string::npos);

    // The SHA-2 digests that signing offers are read too.
    for (const auto& known : {std::make_pair("sha256", DigestAlgorithm::kSha256),
                              std::make_pair("sha384", DigestAlgorithm::kSha384),
                              std::make_pair("sha512", DigestAlgorithm::kSha512)}) {
        SCOPED_TRACE(known.first);
        Signed sha2 = opensslSign(dir, known.first);
        ASSERT_TRUE(decode(signedData, sha2.message));
        ASSERT_EQ(signedData.signerInfos().count(), 1);
        signer = static_cast<P7ReadSignerInfo*>(signedData.signerInfos()[0].get());
        EXPECT_EQ(signer->digestKind(), known.second);
        EXPECT_EQ(hex(encoded(signedData)), hex(sha2.message));
    }

    // A signer with any other digest (SHA-224) is not read, but the
    // SignedData still is.
    Signed sha224 = opensslSign(dir, "sha224");
    ASSERT_TRUE(decode(signedData, sha224.message));
    EXPECT_EQ(signedData.certificates().count(), 1);
    EXPECT_EQ(signedData.signerInfos().count(), 0);
    P7ReadSignerInfo direct;
    EXPECT_FALSE(decode(direct, signerInfoBytes(dir, sha224.message)));
    EXPECT_EQ(direct.decodeError(), kErrBadDigestAlgorithm);
}

TEST(P7SignedData, RejectsOtherVersionsAndContentTypes) {
    testsupport::TempDir dir;
    Signed msg = opensslSign(dir, "sha1");
    // The SignedData version is the first depth-3 element.
    Bytes patched = msg.message;
    for (const auto& line : asn1parse(dir, msg.message)) {
        if (line.depth == 3) {
            ASSERT_EQ(hex(Bytes(patched.begin() + long(line.offset),
                                patched.begin() + long(line.offset) + 3)),
                      hex(unhex("020101")));
            patched[line.offset + 2] = 3;
            break;
        }
    }
    P7SignedData signedData;
    EXPECT_FALSE(decode(signedData, patched));
    EXPECT_EQ(signedData.decodeError(), kErrBadVersion);

    P7ContentInfo data;
    data.setContentType("1.2.840.113549.1.7.1");
    const uint8_t text[] = {'h', 'i'};
    data.setContent(text, 2, 4, 0, false);
    EXPECT_FALSE(decode(signedData, encoded(data)));
    EXPECT_EQ(signedData.decodeError(), kErrNotSignedData);

    // The inner content is no ContentInfo.
    Bytes broken = testsupport::tlv(
        0x30, testsupport::concat(
                  {unhex("06092A864886F70D010702"),
                   testsupport::tlv(0xA0, testsupport::tlv(0x30, unhex("020101 3100 3000")))}));
    EXPECT_FALSE(decode(signedData, broken));
    EXPECT_EQ(signedData.decodeError(), kErrBadInnerContent);
}

TEST(P7SignedData, CertificateFieldShapes) {
    testsupport::TempDir dir;
    Signed msg = opensslSign(dir, "sha1");
    Bytes header = unhex("020101 3100 300B06092A864886F70D010701");
    auto wrap = [&](const Bytes& signedDataBody) {
        return testsupport::tlv(
            0x30,
            testsupport::concat({unhex("06092A864886F70D010702"),
                                 testsupport::tlv(0xA0, testsupport::tlv(0x30, signedDataBody))}));
    };
    P7SignedData signedData;
    // Without certificates decoding stops, successfully, with empty lists;
    // without anything after the content it fails.
    EXPECT_FALSE(decode(signedData, wrap(header)));
    EXPECT_EQ(signedData.decodeError(), kErrUnexpectedElement);
    ASSERT_TRUE(decode(signedData, wrap(testsupport::concat({header, unhex("3100")}))));
    EXPECT_EQ(signedData.certificates().count(), 0);
    EXPECT_EQ(signedData.signerInfos().count(), 0);
    ASSERT_TRUE(signedData.content());
    EXPECT_EQ(signedData.content()->contentTag(), 4);
    EXPECT_EQ(signedData.content()->contentLength(), 0);

    // A certificate, an attribute certificate ([1]) and the certificate again,
    // then revocation lists and a non-SEQUENCE member of the signer set.
    Bytes certificates = testsupport::tlv(
        0xA0, testsupport::concat({msg.certificate, unhex("A103020101"), msg.certificate}));
    Bytes body = testsupport::concat({header, certificates, unhex("A1020500"), unhex("3102 0500")});
    ASSERT_TRUE(decode(signedData, wrap(body))) << signedData.decodeError();
    ASSERT_EQ(signedData.certificates().count(), 2);
    EXPECT_EQ(hex(encoded(*signedData.certificates()[1])), hex(msg.certificate));
    EXPECT_EQ(signedData.signerInfos().count(), 0);
    // A [1] that is not constructed is refused.
    body = testsupport::concat({header, certificates, unhex("8100"), unhex("3100")});
    EXPECT_FALSE(decode(signedData, wrap(body)));
    EXPECT_EQ(signedData.decodeError(), kErrUnexpectedElement);
}

TEST(P7ReadSignerInfo, BothAttributeSetsRoundTrip) {
    testsupport::TempDir dir;
    Signed msg = opensslSign(dir, "sha1");
    Bytes signer = signerInfoBytes(dir, msg.message);
    auto members = testsupport::splitElements(testsupport::contentOf(signer));
    members.push_back(unhex("A10F 300D 0603551D25 3106 0404DEADBEEF"));
    Bytes withBoth = testsupport::tlv(0x30, testsupport::concat(members));
    P7ReadSignerInfo info;
    ASSERT_TRUE(decode(info, withBoth)) << info.decodeError();
    ASSERT_TRUE(info.unauthenticatedAttributes());
    EXPECT_EQ(hex(encoded(info)), hex(withBoth));

    // The time-stamp merge replaces the [1] with its own value.
    auto* counter = new DerSequence(1, 5);
    SharedRef<DerValue> counterRef(counter);
    const uint8_t member[] = {0x05, 0x00};
    counter->add(SharedRef<DerValue>(new DerRaw(member, 2, true)));
    info.setUnauthenticatedAttributes(counterRef);
    members.back() = unhex("A1020500");
    EXPECT_EQ(hex(encoded(info)), hex(testsupport::tlv(0x30, testsupport::concat(members))));

    // Something after the unauthenticated attributes is refused.
    members.push_back(unhex("0500"));
    EXPECT_FALSE(decode(info, testsupport::tlv(0x30, testsupport::concat(members))));
    EXPECT_EQ(info.decodeError(), kErrUnexpectedElement);
}

TEST(P7ContentInfo, DecodeAndEncode) {
    // No [0]: no content, written back as an empty OCTET STRING.
    Bytes bare = unhex("300B 06092A864886F70D010701");
    P7ContentInfo info;
    ASSERT_TRUE(decode(info, bare));
    EXPECT_EQ(info.contentTag(), 4);
    EXPECT_EQ(info.contentLength(), 0);
    EXPECT_EQ(hex(encoded(info)), hex(unhex("300F 06092A864886F70D010701 A002 0400")));

    // A [0] with an OCTET STRING in non-minimal form is reproduced exactly.
    Bytes wrapped = unhex("3012 06092A864886F70D010701 A005 048102AABB");
    ASSERT_TRUE(decode(info, wrapped));
    EXPECT_EQ(info.contentTag(), -1);
    EXPECT_EQ(hex(encoded(info)), hex(wrapped));

    // Two elements inside the [0], or a [1] instead of it, are refused.
    EXPECT_FALSE(decode(info, unhex("3011 06092A864886F70D010701 A004 0400 0400")));
    EXPECT_FALSE(decode(info, unhex("300F 06092A864886F70D010701 A102 0400")));

    // Content written as a SEQUENCE around pre-encoded members, long form.
    Bytes members(200, 0x00);
    for (size_t i = 0; i < members.size(); i += 2) members[i] = 0x05;
    info.setContentType("1.3.6.1.4.1.311.2.1.4");
    info.setContent(members.data(), int(members.size()), 16, 1, true);
    Bytes out = encoded(info);
    Bytes expected = testsupport::tlv(
        0x30, testsupport::concat({unhex("060A2B0601040182370201 04"),
                                   testsupport::tlv(0xA0, testsupport::tlv(0x30, members))}));
    EXPECT_EQ(hex(out), hex(expected));
}

TEST(P7SignedData, WriterListsDigestsAndOptionalFields) {
    testsupport::TempDir dir;
    Signed sha1 = opensslSign(dir, "sha1");
    Signed md5 = opensslSign(dir, "md5");
    P7SignedData signedData, md5Data;
    ASSERT_TRUE(decode(signedData, sha1.message));
    ASSERT_TRUE(decode(md5Data, md5.message));
    signedData.signerInfos().append() = md5Data.signerInfos()[0];
    const uint8_t crl[] = {0x30, 0x00};
    signedData.revocationLists().append() = SharedRef<DerValue>(new DerRaw(crl, 2, false));

    Bytes out = encoded(signedData);
    auto outer = testsupport::splitElements(testsupport::contentOf(out));
    ASSERT_EQ(outer.size(), 2u);
    auto fields =
        testsupport::splitElements(testsupport::contentOf(testsupport::contentOf(outer[1])));
    ASSERT_EQ(fields.size(), 6u);
    // MD5 is listed before SHA-1 whatever the order of the signers.
    EXPECT_EQ(hex(fields[1]),
              hex(unhex("3119 300C06082A864886F70D02050500 300906052B0E03021A0500")));
    EXPECT_EQ(fields[3][0], 0xA0);
    EXPECT_EQ(hex(fields[4]), hex(unhex("A1023000")));
    auto signers = testsupport::splitElements(testsupport::contentOf(fields[5]));
    ASSERT_EQ(signers.size(), 2u);
    EXPECT_EQ(hex(signers[1]), hex(signerInfoBytes(dir, md5.message)));
}

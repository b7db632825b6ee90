// SPDX-License-Identifier: Apache-2.0
// The one digest table that signing, time stamps, external signers and
// verification read, held row by row against OpenSSL's own view of each
// algorithm: a wrong OID, size or DigestInfo in a row would sign fonts no
// verifier accepts.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cctype>
#include <string>
#include <vector>

#include "base/ossl_ptr.h"
#include "der/digest_algorithm.h"
#include "key/external_signing_key.h"

namespace fontseal {
namespace {

// OpenSSL's DigestInfo (what RSA_sign builds) for `digest`.
std::vector<uint8_t> openssl_digest_info(int nid, const std::vector<uint8_t>& digest) {
    X509SigPtr sig(X509_SIG_new());
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* octets = nullptr;
    X509_SIG_getm(sig.get(), &algorithm, &octets);
    X509_ALGOR_set0(algorithm, OBJ_nid2obj(nid), V_ASN1_NULL, nullptr);
    ASN1_OCTET_STRING_set(octets, digest.data(), static_cast<int>(digest.size()));
    unsigned char* der = nullptr;
    const int length = i2d_X509_SIG(sig.get(), &der);
    OsslBytes owned(der);
    return length > 0 ? std::vector<uint8_t>(der, der + length) : std::vector<uint8_t>();
}

std::string lower_without_dash(const char* name) {
    std::string out;
    for (const char* p = name; *p; ++p)
        if (*p != '-') out += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return out;
}

TEST(DigestTable, EveryRowAgreesWithOpenSslAndRoundTrips) {
    static const uint8_t kText[] = "a font's signed image";
    for (const DigestFacts& row : kDigestTable) {
        SCOPED_TRACE(row.name);
        const EVP_MD* md = row.md();
        ASSERT_NE(md, nullptr);
        EXPECT_EQ(EVP_MD_get_type(md), row.nid);
        EXPECT_EQ(EVP_MD_get_size(md), row.size);
        char oid[64];
        ASSERT_GT(OBJ_obj2txt(oid, sizeof oid, OBJ_nid2obj(row.nid), 1), 0);
        EXPECT_STREQ(oid, row.oid);

        EXPECT_EQ(digest_by_nid(row.nid), &row);
        EXPECT_EQ(digest_by_name(row.name), &row);
        EXPECT_EQ(digest_by_name(lower_without_dash(row.name)), &row);  // "sha256", as the CLI says
        DigestAlgorithm found = DigestAlgorithm::kMd5;
        ASSERT_TRUE(digest_from_hash_value(row.hashValue, found));
        EXPECT_EQ(found, row.algorithm);

        std::vector<uint8_t> digest(static_cast<size_t>(row.size));
        ASSERT_TRUE(digest_bytes(row.algorithm, kText, sizeof kText, digest.data()));
        std::vector<uint8_t> expected(digest.size());
        unsigned int length = 0;
        ASSERT_TRUE(EVP_Digest(kText, sizeof kText, expected.data(), &length, md, nullptr));
        EXPECT_EQ(digest, expected);

        // The DigestInfo we sign is OpenSSL's, byte for byte, and the
        // external key finds the algorithm and the digest in it again.
        const std::vector<uint8_t> info = digest_info(row.algorithm, digest.data());
        EXPECT_EQ(info, openssl_digest_info(row.nid, digest));
        DigestAlgorithm split = DigestAlgorithm::kMd5;
        size_t offset = 0;
        ASSERT_TRUE(split_digest_info(info.data(), info.size(), split, offset));
        EXPECT_EQ(split, row.algorithm);
        EXPECT_EQ(offset, info.size() - digest.size());
        EXPECT_FALSE(split_digest_info(info.data(), info.size() - 1, split, offset));
        std::vector<uint8_t> longer = info;
        longer.push_back(0);
        EXPECT_FALSE(split_digest_info(longer.data(), longer.size(), split, offset));
    }
    // What the table does not hold is refused, not mapped to a neighbour.
    DigestAlgorithm untouched = DigestAlgorithm::kSha384;
    for (int32_t value : {0, 6, -1}) EXPECT_FALSE(digest_from_hash_value(value, untouched));
    EXPECT_EQ(untouched, DigestAlgorithm::kSha384);
    for (const char* name : {"", "sha224", "sha3-256", "sha2561", "SHA-"})
        EXPECT_EQ(digest_by_name(name), nullptr) << name;
    EXPECT_EQ(digest_by_nid(NID_sha224), nullptr);
    EXPECT_EQ(digest_by_nid(NID_undef), nullptr);
    // Later rows are never weaker: verification's minimum relies on it.
    for (size_t i = 1; i < sizeof kDigestTable / sizeof kDigestTable[0]; ++i)
        EXPECT_LT(kDigestTable[i - 1].algorithm, kDigestTable[i].algorithm);
}

}  // namespace
}  // namespace fontseal

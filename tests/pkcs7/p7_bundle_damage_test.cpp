// SPDX-License-Identifier: Apache-2.0
// Damaged bundles read from sources of unknown length: a member that fails
// must be dropped or end the decoding, never be met again and again.
#include <gtest/gtest.h>

#include <vector>

#include "der/der_reader.h"
#include "pkcs7/p7_signed_data.h"
#include "support/cert_support.h"
#include "support/key_support.h"

namespace fontseal {
namespace {

TEST(P7BundleDamage, TruncatedMembersOfAnUnsizedSourceEndTheWalk) {
    testsupport::TempDir dir;
    testsupport::CertOptions options;
    testsupport::TestCert a = testsupport::makeCertificate(dir, "a", options);
    testsupport::TestCert b = testsupport::makeCertificate(dir, "b", options);
    std::vector<uint8_t> bundle =
        testsupport::readFile(testsupport::makeBundle(dir, "ab", {a.pem, b.pem}, true));

    // Every cut inside the certificates leaves a member claiming more bytes
    // than the source still holds.
    int decoded = 0;
    for (size_t cut = 60; cut < bundle.size(); cut += 37) {
        std::vector<uint8_t> head(bundle.begin(), bundle.begin() + cut);
        testsupport::UnsizedSource source(head);
        DerReader reader(source);
        P7SignedData data;
        decoded += data.decodeFrom(reader) ? 1 : 0;
    }
    EXPECT_EQ(decoded, 0);

    testsupport::UnsizedSource whole(bundle);
    DerReader reader(whole);
    P7SignedData data;
    ASSERT_TRUE(data.decodeFrom(reader));
    EXPECT_EQ(data.certificates().count(), 2);
}

}  // namespace
}  // namespace fontseal

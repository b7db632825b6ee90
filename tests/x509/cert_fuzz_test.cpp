// SPDX-License-Identifier: Apache-2.0
// Mutated certificates and bundles through the certificate decoder and the
// file loader, under the address, undefined-behaviour and leak sanitizers.
// Deterministic seeds, so a failure reproduces.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "api/cert_file_loader.h"
#include "der/der_reader.h"
#include "x509/p7_certificate.h"
#include "pkcs7/p7_signed_data.h"
#include "base/memory_stream.h"
#include "support/cert_support.h"

namespace fontseal {
namespace {

using testsupport::Bytes;

class Mutator {
public:
    explicit Mutator(uint32_t seed) : random_(seed) {}

    int below(int n) { return static_cast<int>(random_() % static_cast<uint32_t>(n)); }

    // One to four edits: byte changes (biased to values that matter in
    // headers), truncation, insertion, deletion or a repeated chunk.
    Bytes mutate(Bytes data, const std::string& alphabet = "") {
        static const uint8_t kInteresting[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                               0x1F, 0x30, 0x31, 0x7F, 0x80, 0x81, 0x82,
                                               0x83, 0x84, 0x85, 0xA0, 0xA3, 0xFF};
        auto pick = [&]() -> uint8_t {
            if (!alphabet.empty())
                return static_cast<uint8_t>(alphabet[below(int(alphabet.size()))]);
            return below(2) ? kInteresting[below(sizeof kInteresting)] : uint8_t(below(256));
        };
        const int edits = 1 + below(4);
        for (int e = 0; e < edits && !data.empty(); ++e) {
            const int at = below(static_cast<int>(data.size()));
            switch (below(6)) {
                case 0:
                case 1:
                    data[at] = pick();
                    break;
                case 2:
                    data.resize(static_cast<size_t>(at));
                    break;
                case 3:
                    data.insert(data.begin() + at, pick());
                    break;
                case 4:
                    data.erase(data.begin() + at,
                               data.begin() + std::min<size_t>(data.size(), at + 1 + below(16)));
                    break;
                default: {
                    const int length = std::min<int>(1 + below(64), int(data.size()) - at);
                    Bytes chunk(data.begin() + at, data.begin() + at + length);
                    data.insert(data.begin() + below(int(data.size())), chunk.begin(), chunk.end());
                    break;
                }
            }
        }
        return data;
    }

private:
    std::mt19937 random_;
};

class CertFuzzTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new testsupport::TempDir();
        testsupport::CertOptions a;
        a.extensions =
            "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nsubjectKeyIdentifier=hash\n"
            "extendedKeyUsage=critical,1.3.6.1.4.1.311.2.1.21,1.3.6.1.4.1.311.2.1.22";
        auto certA = testsupport::makeCertificate(*dir_, "a", a);
        auto certB = testsupport::makeCertificate(*dir_, "b", testsupport::CertOptions());
        certDer_ = new Bytes(testsupport::readFile(certA.der));
        certPem_ = new Bytes(testsupport::readFile(certA.pem));
        bundleDer_ = new Bytes(testsupport::readFile(
            testsupport::makeBundle(*dir_, "ab.p7b", {certA.pem, certB.pem, certA.pem}, true)));
        bundleBase64_ = new std::string(testsupport::pemBody(
            testsupport::makeBundle(*dir_, "ab.p7c", {certA.pem, certB.pem}, false)));
    }
    static void TearDownTestSuite() {
        delete certDer_;
        delete certPem_;
        delete bundleDer_;
        delete bundleBase64_;
        delete dir_;
    }

    // Decodes every element of `data` in turn; checks what a successful
    // decoding promises. Counts the certificates read.
    static void decodeAll(const Bytes& data, int* read = nullptr) {
        MemoryStream source(data.data(), static_cast<int>(data.size()));
        DerReader reader(source);
        int tag = 0, form = 0;
        for (int i = 0; i < 4; ++i) {
            P7Certificate cert;
            try {
                if (!reader.peek(tag, form)) return;
                if (!cert.decodeFrom(reader)) continue;
            } catch (const error&) {
                return;  // the reader is stuck: give up on it
            }
            ASSERT_TRUE(cert.raw() && cert.info());
            ASSERT_EQ(cert.encode(nullptr), cert.raw()->length());
            const CertificateInfo& info = *cert.info();
            ASSERT_GT(info.modulusLength(), 0);
            ASSERT_GT(info.exponentLength(), 0);
            ASSERT_GT(info.serialLength(), 2);
            ASSERT_GE(info.purpose(), kPurposeNone);
            ASSERT_LE(info.purpose(), kPurposeCommercial);
            if (read) ++*read;
        }
    }

    // The bundle path: the SignedData decoder holds certificate entries.
    static void decodeBundle(const Bytes& data, int* read) {
        MemoryStream source(data.data(), static_cast<int>(data.size()));
        DerReader reader(source);
        P7SignedData bundle;
        if (!bundle.decodeFrom(reader)) return;
        for (const SharedRef<DerValue>& member : bundle.certificates()) {
            ASSERT_EQ(member->typeCode(), kTypeCertificate);
            const auto* cert = static_cast<const P7Certificate*>(member.get());
            ASSERT_TRUE(cert->raw() && cert->info());
            ++*read;
        }
    }

    static void loadFile(const Bytes& data, int* loaded) {
        const std::string path = dir_->file("fuzz.cer");
        testsupport::writeFile(path, data);
        GrowArray<P7Certificate> list;
        int attempt = -2;
        const int count = load_certificates(path.c_str(), list, &attempt);
        ASSERT_EQ(count, list.count());
        ASSERT_GE(attempt, count > 0 ? 0 : -1);
        for (const P7Certificate& entry : list) ASSERT_TRUE(entry.raw() && entry.info());
        if (count > 0) ++*loaded;
    }

    static testsupport::TempDir* dir_;
    static Bytes* certDer_;
    static Bytes* certPem_;
    static Bytes* bundleDer_;
    static std::string* bundleBase64_;
};

testsupport::TempDir* CertFuzzTest::dir_ = nullptr;
Bytes* CertFuzzTest::certDer_ = nullptr;
Bytes* CertFuzzTest::certPem_ = nullptr;
Bytes* CertFuzzTest::bundleDer_ = nullptr;
std::string* CertFuzzTest::bundleBase64_ = nullptr;

TEST_F(CertFuzzTest, MutatedCertificatesDecodeOrFailCleanly) {
    decodeAll(*certDer_);
    const Bytes extended = testsupport::tlv(
        0xA0, testsupport::tlv(
                  0x30, testsupport::tlv(0x30, testsupport::concat(
                                                   {testsupport::unhex("02 01 00"), *certDer_}))));
    Mutator mutator(20261208);
    int read = 0;
    for (int i = 0; i < 4000; ++i) {
        const Bytes& seed = i % 4 == 3 ? extended : *certDer_;
        ASSERT_NO_FATAL_FAILURE(decodeAll(mutator.mutate(seed), &read)) << "iteration " << i;
    }
    // Some mutations (in the signature, in names) leave a readable certificate.
    EXPECT_GT(read, 100);
    EXPECT_LT(read, 4000);
}

TEST_F(CertFuzzTest, MutatedBundlesDecodeOrFailCleanly) {
    Mutator mutator(7);
    int read = 0;
    for (int i = 0; i < 3000; ++i)
        ASSERT_NO_FATAL_FAILURE(decodeBundle(mutator.mutate(*bundleDer_), &read))
            << "iteration " << i;
    EXPECT_GT(read, 100);
}

TEST_F(CertFuzzTest, MutatedFilesLoadOrFailCleanly) {
    const std::string base64Alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=-\r\n \t";
    const Bytes bundleText(bundleBase64_->begin(), bundleBase64_->end());
    Mutator mutator(1234);
    int loaded = 0;
    for (int i = 0; i < 1600; ++i) {
        Bytes file;
        switch (i % 5) {
            case 0:
                file = mutator.mutate(*certDer_);
                break;
            case 1:
                file = mutator.mutate(*bundleDer_);
                break;
            case 2:
                file = mutator.mutate(*certPem_, base64Alphabet);
                break;
            case 3:
                file = mutator.mutate(bundleText, base64Alphabet);
                break;
            default:
                file = testsupport::toUtf16Le(std::string(
                    reinterpret_cast<const char*>(bundleText.data()), bundleText.size()));
                file = mutator.mutate(file, mutator.below(2) ? base64Alphabet : std::string());
                break;
        }
        ASSERT_NO_FATAL_FAILURE(loadFile(file, &loaded)) << "iteration " << i;
    }
    EXPECT_GT(loaded, 100);
}

}  // namespace
}  // namespace fontseal

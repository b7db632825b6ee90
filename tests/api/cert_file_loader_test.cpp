// SPDX-License-Identifier: Apache-2.0
// Certificate files in every accepted form, made with openssl at test time:
// each must load at its own attempt, with the certificates in file order.
#include "api/cert_file_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "support/cert_support.h"

namespace fontseal {
namespace {

using testsupport::Bytes;

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string textOf(const std::string& path) {
    Bytes bytes = testsupport::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class CertFileLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::CertOptions a;
        a.extensions = "extendedKeyUsage=1.3.6.1.4.1.311.2.1.21";
        a.subject = "/CN=first";
        a_ = testsupport::makeCertificate(dir_, "a", a);
        testsupport::CertOptions b;
        b.subject = "/CN=second";
        b.serial = "2";
        b_ = testsupport::makeCertificate(dir_, "b", b);
        aDer_ = testsupport::certFacts(dir_, a_.pem).der;
        bDer_ = testsupport::certFacts(dir_, b_.pem).der;
    }

    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = dir_.file(name);
        testsupport::writeFile(path, bytes);
        return path;
    }

    // The DER bytes of the loaded entries, in list order.
    static std::vector<Bytes> load(const std::string& path, int* attempt, bool every = false) {
        GrowArray<P7Certificate> list;
        const int count = load_certificates(path.c_str(), list, attempt, every);
        EXPECT_EQ(count, list.count());
        std::vector<Bytes> out;
        for (const P7Certificate& entry : list) {
            EXPECT_TRUE(entry.raw() && entry.info());
            if (entry.raw())
                out.emplace_back(entry.raw()->data(), entry.raw()->data() + entry.raw()->length());
        }
        return out;
    }

    testsupport::TempDir dir_;
    testsupport::TestCert a_;
    testsupport::TestCert b_;
    Bytes aDer_;
    Bytes bDer_;
};

TEST_F(CertFileLoaderTest, EveryAcceptedFormLoadsAtItsAttempt) {
    const std::string pem = textOf(a_.pem);
    const std::string body = testsupport::pemBody(a_.pem);
    // A bundle of three certificates, one of them twice, in this order.
    const std::string bundleDer =
        testsupport::makeBundle(dir_, "bundle.p7b", {a_.pem, b_.pem, a_.pem}, true);
    const std::string bundlePem =
        testsupport::makeBundle(dir_, "bundle.p7c", {a_.pem, b_.pem, a_.pem}, false);
    const std::string bundleBody = testsupport::pemBody(bundlePem);

    struct Case {
        const char* name;
        Bytes file;
        int attempt;
        std::vector<Bytes> certificates;
    };
    const std::vector<Case> cases = {
        {"DER", testsupport::readFile(a_.der), 0, {aDer_}},
        {"PEM", bytesOf(pem), 1, {aDer_}},
        {"PEM with CR LF", bytesOf(replaceAll(pem, "\n", "\r\n")), 1, {aDer_}},
        {"two PEM blocks: the first only", bytesOf(pem + textOf(b_.pem)), 1, {aDer_}},
        {"bare base64", bytesOf(body), 2, {aDer_}},
        {"bare base64 on one line", bytesOf(replaceAll(body, "\n", "")), 2, {aDer_}},
        {"16-bit base64", testsupport::toUtf16Le(body), 3, {aDer_}},
        {"16-bit base64 with CR LF",
         testsupport::toUtf16Le(replaceAll(body, "\n", "\r\n")),
         3,
         {aDer_}},
        {"DER bundle", testsupport::readFile(bundleDer), 4, {aDer_, bDer_, aDer_}},
        {"PEM bundle",
         bytesOf("-----BEGIN CERTIFICATE-----\n" + bundleBody + "-----END CERTIFICATE-----\n"),
         5,
         {aDer_, bDer_, aDer_}},
        {"bare base64 bundle", bytesOf(bundleBody), 6, {aDer_, bDer_, aDer_}},
        {"16-bit base64 bundle", testsupport::toUtf16Le(bundleBody), 7, {aDer_, bDer_, aDer_}},
        {"PEM PKCS7 bundle",
         testsupport::readFile(bundlePem),
         kPemBundleAttempt,
         {aDer_, bDer_, aDer_}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int attempt = -2;
        std::vector<Bytes> loaded = load(write("form.cer", c.file), &attempt);
        EXPECT_EQ(attempt, c.attempt);
        ASSERT_EQ(loaded.size(), c.certificates.size());
        for (size_t i = 0; i < loaded.size(); ++i)
            EXPECT_EQ(testsupport::hex(loaded[i]), testsupport::hex(c.certificates[i])) << i;
    }
}

TEST_F(CertFileLoaderTest, FilesWithoutCertificatesGiveAnEmptyList) {
    const std::string pem = textOf(a_.pem);
    const std::string body = testsupport::pemBody(a_.pem);
    Bytes bomBody{0xFF, 0xFE};
    const Bytes wide = testsupport::toUtf16Le(body);
    bomBody.insert(bomBody.end(), wide.begin(), wide.end());
    testsupport::CertOptions dsa;
    dsa.dsa = true;
    const auto dsaCert = testsupport::makeCertificate(dir_, "dsa", dsa);
    const Bytes der = testsupport::readFile(a_.der);

    struct Case {
        const char* name;
        Bytes file;
        int attempt;  // a bundle without certificates still ends the attempts
    };
    const std::vector<Case> cases = {
        {"empty file", {}, -1},
        {"plain text", bytesOf("This is not a certificate, only some text.\n"), -1},
        {"16-bit base64 with a byte-order mark", bomBody, -1},
        {"PEM with a byte-order mark", bytesOf("\xEF\xBB\xBF" + pem), -1},
        {"PEM after a blank line", bytesOf("\n" + pem), -1},
        {"PEM header in lower case",
         bytesOf(replaceAll(pem, "BEGIN CERTIFICATE", "begin certificate")), -1},
        {"truncated PEM body",
         bytesOf("-----BEGIN CERTIFICATE-----\n" + body.substr(0, body.size() / 2) +
                 "\n-----END CERTIFICATE-----\n"),
         -1},
        {"truncated DER", Bytes(der.begin(), der.end() - 10), -1},
        {"DSA certificate", testsupport::readFile(dsaCert.der), -1},
        {"bundle without certificates",
         testsupport::readFile(testsupport::makeBundle(dir_, "none.p7b", {}, true)), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int attempt = -2;
        EXPECT_TRUE(load(write("nothing.cer", c.file), &attempt).empty());
        EXPECT_EQ(attempt, c.attempt);
    }
}

// Base64 text has no known length, so a bundle whose certificate claims
// more bytes than the text holds is found out only while it is copied.
TEST_F(CertFileLoaderTest, TruncatedBase64BundleEndsTheLoad) {
    const std::string bundle = testsupport::makeBundle(dir_, "cut.p7c", {a_.pem, b_.pem}, false);
    const std::string body = testsupport::pemBody(bundle);
    int attempt = -2;
    EXPECT_TRUE(
        load(write("cut.cer", bytesOf(body.substr(0, body.size() * 2 / 3))), &attempt).empty());
    EXPECT_EQ(attempt, -1);
    EXPECT_TRUE(
        load(write("cut16.cer", testsupport::toUtf16Le(body.substr(0, body.size() / 2))), &attempt)
            .empty());
    EXPECT_EQ(attempt, -1);
}

TEST_F(CertFileLoaderTest, EntriesShareTheExtractedFields) {
    const std::string bundle = testsupport::makeBundle(dir_, "two.p7b", {a_.pem, b_.pem}, true);
    GrowArray<P7Certificate> list;
    list.append();  // whatever the list held before is dropped
    ASSERT_EQ(load_certificates(bundle.c_str(), list), 2);
    EXPECT_EQ(list[0].info()->purpose(), kPurposeIndividual);
    EXPECT_EQ(list[1].info()->purpose(), kPurposeNone);
    EXPECT_EQ(list[1].info()->serialLength(), 3);
    EXPECT_EQ(list[0].info().useCount(), 1);  // the bundle is gone, the entry holds it alone

    ASSERT_EQ(load_certificates(a_.der.c_str(), list), 1);
    EXPECT_EQ(list.count(), 1);
}

TEST_F(CertFileLoaderTest, MissingFileRaisesTheOpenError) {
    GrowArray<P7Certificate> list;
    list.append();
    int attempt = -2;
    try {
        load_certificates(dir_.file("missing.cer").c_str(), list, &attempt);
        FAIL() << "no error raised";
    } catch (const error& e) {
        EXPECT_EQ(e.code, kErrCannotOpen);
    }
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(attempt, -1);
}

}  // namespace
// Every certificate block of a PEM file, on request: what a chain file or
// openssl's own output (text around the blocks) holds. Files of the other
// forms load as they always did.
TEST_F(CertFileLoaderTest, EveryPemCertificateOnRequest) {
    const std::string a = textOf(a_.pem), b = textOf(b_.pem);
    struct Case {
        const char* name;
        Bytes file;
        int attempt;
        std::vector<Bytes> certificates;
    };
    const std::vector<Case> cases = {
        {"two blocks", bytesOf(a + b), kEveryPemCertificateAttempt, {aDer_, bDer_}},
        {"text around and between",
         bytesOf("subject=/CN=a\r\n" + a + "Bag Attributes\n" + b + a + "trailer"),
         kEveryPemCertificateAttempt,
         {aDer_, bDer_, aDer_}},
        {"one block", bytesOf(a), kEveryPemCertificateAttempt, {aDer_}},
        {"DER", testsupport::readFile(a_.der), 0, {aDer_}},
        {"bare base64", bytesOf(testsupport::pemBody(a_.pem)), 2, {aDer_}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int attempt = -2;
        std::vector<Bytes> loaded = load(write("every.cer", c.file), &attempt, true);
        EXPECT_EQ(attempt, c.attempt);
        ASSERT_EQ(loaded.size(), c.certificates.size());
        for (size_t i = 0; i < loaded.size(); ++i)
            EXPECT_EQ(testsupport::hex(loaded[i]), testsupport::hex(c.certificates[i])) << i;
    }
}

}  // namespace fontseal

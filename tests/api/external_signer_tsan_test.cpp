// SPDX-License-Identifier: Apache-2.0
// The external-signer route of fontseal_sign under ThreadSanitizer: eight
// requests at once, each calling back into one shared signer (OpenSSL with
// the key, as a host's key-service client would hold it), give the bytes of
// the key file signing alone; a signer that fails, answers with another
// key's signature or with half a signature fails that font alone with its
// own code and writes nothing.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fontseal/fontseal.h"
#include "support/key_support.h"
#include "support/test_support.h"

namespace {

using testsupport::TempDir;

struct Signer {
    EVP_PKEY* key = nullptr;
    std::atomic<int> calls{0};
    enum { kSign, kRefuse, kHalf } mode = kSign;
};

EVP_PKEY* read_key(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return nullptr;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>("pw"));
    std::fclose(f);
    return key;
}

int sign_digest_info(void* context, int32_t hash, const uint8_t* digest, size_t digest_length,
                     const uint8_t* info, size_t info_length, uint8_t* out, size_t* out_length) {
    Signer& s = *static_cast<Signer*>(context);
    ++s.calls;
    if (s.mode == Signer::kRefuse || hash == FONTSEAL_HASH_DEFAULT) return 1;
    // The bare digest ends the DigestInfo.
    if (digest_length >= info_length ||
        std::memcmp(info + info_length - digest_length, digest, digest_length) != 0)
        return 1;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(s.key, nullptr);
    size_t length = *out_length;
    const bool ok = ctx && EVP_PKEY_sign_init(ctx) > 0 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
                    EVP_PKEY_sign(ctx, out, &length, info, info_length) > 0;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) return 1;
    *out_length = s.mode == Signer::kHalf ? length / 2 : length;
    return 0;
}

TEST(ExternalSigner, EightThreadsShareOneSignerAndFaultsStayTheirOwn) {
    TempDir dir;
    testsupport::PvkKeySet keys = testsupport::makePvkKeys(dir, "k", 2048, "pw");
    testsupport::PvkKeySet other = testsupport::makePvkKeys(dir, "o", 2048, "pw");
    const std::string cert = dir.file("cert.pem");
    ASSERT_EQ(testsupport::run("openssl req -x509 -new -key " + keys.pem +
                               " -subj /CN=external -days 2 -out " + cert +
                               " -addext extendedKeyUsage=codeSigning 2>/dev/null"),
              0);
    Signer good, foreign, refusing, half;
    good.key = half.key = refusing.key = read_key(keys.pem);
    foreign.key = read_key(other.pem);
    foreign.mode = Signer::kSign;
    refusing.mode = Signer::kRefuse;
    half.mode = Signer::kHalf;
    ASSERT_TRUE(good.key && foreign.key);
    const std::string font = testsupport::dejavuSansPath();
    const int32_t digests[] = {FONTSEAL_HASH_SHA256, FONTSEAL_HASH_SHA384, FONTSEAL_HASH_SHA512,
                               FONTSEAL_HASH_SHA1};

    auto sign = [&](int i, const std::string& out, Signer* signer) {
        fontseal_sign_request request{};
        request.size = sizeof request;
        request.input_path = font.c_str();
        request.output_path = out.c_str();
        request.cert_path = cert.c_str();
        request.digest = digests[i % 4];
        if (signer) {
            request.signer = sign_digest_info;
            request.signer_context = signer;
        } else {
            request.key_path = keys.pem.c_str();
            request.password = "pw";
            request.password_length = 2;
        }
        fontseal_report report{};
        report.size = sizeof report;
        return fontseal_sign(&request, &report);
    };

    constexpr int kThreads = 8;
    std::vector<int32_t> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(
            [&, i] { results[i] = sign(i, dir.file("ext" + std::to_string(i)), &good); });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(good.calls.load(), kThreads);
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(results[i], FONTSEAL_OK) << i;
        const std::string alone = dir.file("key" + std::to_string(i));
        ASSERT_EQ(sign(i, alone, nullptr), FONTSEAL_OK);
        EXPECT_EQ(testsupport::readFile(dir.file("ext" + std::to_string(i))),
                  testsupport::readFile(alone))
            << i;
    }

    const struct {
        Signer* signer;
        int32_t result;
    } faults[] = {{&refusing, FONTSEAL_E_SIGNER},
                  {&foreign, FONTSEAL_E_SIGNER_SIGNATURE},
                  {&half, FONTSEAL_E_SIGNER_SIGNATURE}};
    for (const auto& fault : faults) {
        const std::string out = dir.file("fault");
        EXPECT_EQ(sign(0, out, fault.signer), fault.result);
        // Nothing written, not even a temporary beside it.
        std::string listing;
        EXPECT_NE(testsupport::run("ls -a " + dir.path() + " | grep fault", &listing), 0);
        EXPECT_EQ(listing, "");
    }
    EVP_PKEY_free(good.key);
    EVP_PKEY_free(foreign.key);
}

}  // namespace

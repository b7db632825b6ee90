// fontseal_sign from several threads at once, under ThreadSanitizer: every
// font signs, and each output is byte for byte what the same request gives
// when it runs alone (RSA PKCS#1 v1.5 signatures are deterministic), so no
// call saw another's state.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fontseal/fontseal.h"
#include "support/key_support.h"
#include "support/test_support.h"

namespace {

using testsupport::TempDir;

TEST(SignThreads, EightFontsAtOnceMatchTheirSerialSignatures) {
    TempDir dir;
    testsupport::PvkKeySet keys = testsupport::makePvkKeys(dir, "k", 2048, "pw");
    const std::string cert = dir.file("cert.pem");
    ASSERT_EQ(testsupport::run("openssl req -x509 -new -key " + keys.pem +
                               " -subj /CN=threads -days 2 -out " + cert +
                               " -addext extendedKeyUsage=codeSigning 2>/dev/null"),
              0);
    const std::vector<std::string> fonts = {testsupport::dejavuSansPath(),
                                            testsupport::latinModernOtfPath()};
    constexpr int kThreads = 8;
    const int32_t digests[] = {FONTSEAL_HASH_SHA256, FONTSEAL_HASH_SHA384, FONTSEAL_HASH_SHA1,
                               FONTSEAL_HASH_SHA512};

    auto sign = [&](int i, const std::string& out, fontseal_report& report) {
        fontseal_sign_request request{};
        request.size = sizeof request;
        request.input_path = fonts[i % fonts.size()].c_str();
        request.output_path = out.c_str();
        request.cert_path = cert.c_str();
        request.key_path = (i % 2 ? keys.strong : keys.pem).c_str();
        request.password = "pw";
        request.password_length = 2;
        request.digest = digests[i % 4];
        request.program_name = "Thread test";
        report = fontseal_report();
        report.size = sizeof report;
        return fontseal_sign(&request, &report);
    };

    std::vector<int32_t> results(kThreads);
    std::vector<fontseal_report> reports(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(
            [&, i] { results[i] = sign(i, dir.file("par" + std::to_string(i)), reports[i]); });
    }
    for (std::thread& t : threads) t.join();

    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(results[i], FONTSEAL_OK) << reports[i].message;
        fontseal_report report;
        const std::string alone = dir.file("ser" + std::to_string(i));
        ASSERT_EQ(sign(i, alone, report), FONTSEAL_OK) << report.message;
        EXPECT_EQ(testsupport::readFile(dir.file("par" + std::to_string(i))),
                  testsupport::readFile(alone))
            << "thread " << i;
    }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// fontseal_sign from several threads at once, under ThreadSanitizer: every
// font signs, and each output is byte for byte what the same request gives
// when it runs alone (RSA PKCS#1 v1.5 signatures are deterministic), so no
// call saw another's state. Every fourth call signs with the same key and
// certificate taken from the user's store instead of the files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "fontseal/fontseal.h"
#include "fontseal/store.h"
#include "support/key_support.h"
#include "support/test_support.h"
#include "support/tsa_process.h"

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
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1), 0);
    fontseal_store_import_request import{};
    import.size = sizeof import;
    import.cert_path = cert.c_str();
    import.key_path = keys.pem.c_str();
    fontseal_store_report imported{};
    imported.size = sizeof imported;
    ASSERT_EQ(fontseal_store_import(&import, &imported), FONTSEAL_OK) << imported.message;
    const std::string thumbprint = imported.thumbprint;
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
        if (i % 4 == 3) {
            request.cert_path = nullptr;
            request.key_path = nullptr;
            request.store_thumbprint = thumbprint.c_str();
        }
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

// Time stamps on eight threads at once, each from the second of two servers
// (the first refuses the connection), alternating the two protocols: the
// HTTP exchanges, the RFC 3161 requests and checks, and the merges share
// nothing between calls.
TEST(SignThreads, EightFontsStampedAtOnce) {
    TempDir dir;
    testsupport::PvkKeySet keys = testsupport::makePvkKeys(dir, "k", 2048, "pw");
    const std::string cert = dir.file("cert.pem");
    ASSERT_EQ(testsupport::run("openssl req -x509 -new -key " + keys.pem +
                               " -subj /CN=threads -days 2 -out " + cert +
                               " -addext extendedKeyUsage=codeSigning 2>/dev/null"),
              0);
    testsupport::TsaServerProcess server(dir, "tsa", false);
    // Nothing listens on port 1 here: the connection is refused at once.
    const std::string refused = "http://127.0.0.1:1/ts";
    const std::string font = testsupport::dejavuSansPath();
    const std::string good = server.url("/delay=0.2");
    constexpr int kThreads = 8;

    std::vector<int32_t> results(kThreads);
    std::vector<fontseal_report> reports(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const int32_t protocol =
                i % 2 ? FONTSEAL_TIMESTAMP_RFC3161 : FONTSEAL_TIMESTAMP_COUNTER_SIGNATURE;
            const fontseal_timestamp_server servers[2] = {{refused.c_str(), protocol},
                                                          {good.c_str(), protocol}};
            const std::string out = dir.file("stamped" + std::to_string(i));
            fontseal_sign_request request{};
            request.size = sizeof request;
            request.input_path = font.c_str();
            request.output_path = out.c_str();
            request.cert_path = cert.c_str();
            request.key_path = keys.strong.c_str();
            request.password = "pw";
            request.password_length = 2;
            request.timestamp_servers = servers;
            request.timestamp_server_count = 2;
            request.require_timestamp = 1;
            reports[i] = fontseal_report();
            reports[i].size = sizeof reports[i];
            results[i] = fontseal_sign(&request, &reports[i]);
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], FONTSEAL_OK) << reports[i].message;
        EXPECT_EQ(reports[i].timestamp_server, 1) << "thread " << i;
        EXPECT_GT(reports[i].timestamp_time, 0) << "thread " << i;
    }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// timestamp_signature against real servers: time-outs against sockets that
// never answer, TLS against the test server with and without trust in its
// certificate, and stamping a stamped blob again.
#include "timestamp/timestamp_signature.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/heap_bytes.h"
#include "support/cert_support.h"
#include "support/signing_support.h"
#include "support/tsa_process.h"

namespace fontseal {
namespace {

using testsupport::Bytes;
using testsupport::TempDir;

const Bytes kCounterSignatureOid = testsupport::unhex("06 09 2A 86 48 86 F7 0D 01 09 06");

// A signature blob made by openssl: SHA-1, one signer, its certificate.
struct World {
    TempDir dir;
    Bytes blob;
    std::unique_ptr<testsupport::TsaServerProcess> tls;

    World() {
        testsupport::CertOptions options;
        options.subject = "/CN=fontseal stamped publisher";
        testsupport::TestCert cert = testsupport::makeCertificate(dir, "publisher", options);
        testsupport::writeText(dir.file("data.bin"), "the content that was signed");
        testsupport::openssl("smime -sign -binary -nodetach -nosmimecap -md sha1 -signer " +
                             cert.pem + " -inkey " + cert.key + " -in " + dir.file("data.bin") +
                             " -outform DER -out " + dir.file("blob.der"));
        blob = testsupport::readFile(dir.file("blob.der"));
    }

    testsupport::TsaServerProcess& tlsServer() {
        if (!tls) tls.reset(new testsupport::TsaServerProcess(dir, "tls-tsa", true));
        return *tls;
    }

    static World& get() {
        static World world;
        return world;
    }
};

// Runs timestamp_signature and returns the new blob (empty for -1).
// `failures` receives why no stamp was had.
Bytes stamp(const Bytes& blob, const std::string& url, const TransferOptions& transfer,
            std::string* failures = nullptr) {
    uint8_t* out = nullptr;
    const TimestampServer server{url.c_str(), &kCounterSignatureProtocol};
    TimestampOutcome outcome;
    int32_t n = timestamp_signature(blob.data(), static_cast<int32_t>(blob.size()), &out, &server,
                                    1, DigestAlgorithm::kSha256, transfer, outcome);
    if (failures) *failures = outcome.failures;
    HeapBytes owned(out);
    if (n < 0) return Bytes();
    return Bytes(out, out + n);
}

size_t occurrences(const Bytes& haystack, const Bytes& needle) {
    size_t count = 0;
    for (auto it = haystack.begin();
         (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end();
         ++it)
        ++count;
    return count;
}

// A loopback listener that never accepts. With `full`, its one-place queue is
// taken by a connection of our own, so further connections are never
// established at all.
class SilentListener {
public:
    explicit SilentListener(bool full) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) ||
            ::listen(listener_, full ? 0 : 8) ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length))
            throw std::runtime_error("cannot listen");
        port_ = ntohs(address.sin_port);
        if (full) {
            filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
            if (filler_ < 0 ||
                ::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address))
                throw std::runtime_error("cannot fill the queue");
        }
    }
    ~SilentListener() {
        if (filler_ >= 0) ::close(filler_);
        if (listener_ >= 0) ::close(listener_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ts"; }

private:
    int listener_ = -1;
    int filler_ = -1;
    int port_ = 0;
};

TEST(TimestampSignatureTest, NoUrlOrNoReadableBlobGivesMinusOne) {
    const Bytes& blob = World::get().blob;
    uint8_t sentinel = 0;
    uint8_t* out = &sentinel;
    EXPECT_EQ(timestamp_signature(blob.data(), static_cast<int32_t>(blob.size()), &out, nullptr),
              -1);
    EXPECT_EQ(out, &sentinel);
    Bytes junk(blob.begin(), blob.begin() + blob.size() / 2);
    EXPECT_EQ(timestamp_signature(junk.data(), static_cast<int32_t>(junk.size()), &out,
                                  "http://127.0.0.1:9/ts"),
              -1);
    EXPECT_EQ(out, &sentinel);
}

TEST(TimestampSignatureTest, GivesUpWithinTheTimeOuts) {
    const Bytes& blob = World::get().blob;
    struct {
        bool fullQueue;  // the connection is never established
        uint32_t connectMs, transferMs;
        double atLeast, below;
    } cases[] = {
        {false, 1000, 2000, 1.9, 6.0},  // connected, but no answer ever
        {true, 1000, 30000, 0.9, 6.0},  // no connection ever
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fullQueue);
        SilentListener listener(c.fullQueue);
        TransferOptions transfer;
        transfer.connectTimeoutMs = c.connectMs;
        transfer.transferTimeoutMs = c.transferMs;
        auto start = std::chrono::steady_clock::now();
        std::string failures;
        Bytes result = stamp(blob, listener.url(), transfer, &failures);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result, blob);  // the blob encoded again, unchanged
        EXPECT_EQ(failures, listener.url() + ": timed out");
        EXPECT_GE(seconds, c.atLeast);
        EXPECT_LT(seconds, c.below);
    }
}

TEST(TimestampSignatureTest, HttpsTrustsOnlyVerifiedServers) {
    World& world = World::get();
    testsupport::TsaServerProcess& server = world.tlsServer();
    TransferOptions trusting;
    trusting.caFile = nullptr;
    // The system's authorities do not know the test CA.
    std::string failures;
    EXPECT_EQ(stamp(world.blob, server.url("/ts"), trusting, &failures), world.blob);
    EXPECT_NE(failures.find(": TLS failed"), std::string::npos) << failures;
    // Plain HTTP to a TLS port is no exchange either.
    std::string plain = server.url("/ts");
    plain.replace(0, 5, "http");
    EXPECT_EQ(stamp(world.blob, plain, trusting), world.blob);

    const std::string ca = server.caPem();
    trusting.caFile = ca.c_str();
    Bytes stamped = stamp(world.blob, server.url("/ts"), trusting);
    EXPECT_GT(stamped.size(), world.blob.size());
    EXPECT_EQ(occurrences(stamped, kCounterSignatureOid), 1u);
    EXPECT_NE(server.lastRequestJson().find("POST /ts HTTP/1.0"), std::string::npos);

    // Stamped again: the new time stamp replaces the old one, and the
    // server's certificates, already there, are not added twice.
    Bytes again = stamp(stamped, server.url("/ts"), trusting);
    EXPECT_EQ(occurrences(again, kCounterSignatureOid), 1u);
    EXPECT_EQ(again.size(), stamped.size());
}

}  // namespace
}  // namespace fontseal

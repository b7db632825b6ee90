// SPDX-License-Identifier: Apache-2.0
// The test time-stamp server (tests/support/tsa_server.py) as a child
// process of a C++ test: started on an ephemeral loopback port, stopped (and
// reaped) when the object goes.
#pragma once
#include <sys/types.h>

#include <string>

#include "support/test_support.h"

namespace testsupport {

class TsaServerProcess {
public:
    // Keys and certificates are made in dir/<name>; `tls` serves https.
    // Throws std::runtime_error when the server does not come up in time.
    TsaServerProcess(const TempDir& dir, const std::string& name, bool tls);
    ~TsaServerProcess();
    TsaServerProcess(const TsaServerProcess&) = delete;
    TsaServerProcess& operator=(const TsaServerProcess&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port><path>" (https with tls).
    std::string url(const std::string& path) const;
    // The CA that issued the server's time-stamping and TLS certificates.
    std::string caPem() const { return directory_ + "/tsa-ca.pem"; }
    // The last request as the server recorded it (JSON), or "".
    std::string lastRequestJson() const;

private:
    void stop();

    std::string directory_;
    bool tls_;
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int port_ = 0;
};

}  // namespace testsupport

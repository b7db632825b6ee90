// SPDX-License-Identifier: Apache-2.0
// Bounded HTTP(S) fetches for what a verifier looks up on its own: issuer
// certificates, revocation lists and OCSP answers named by certificates. A
// certificate names any URL it likes, so every fetch is held to limits a
// hostile or broken server cannot stretch: a connection time, a time for the
// whole exchange, a reply size and a few redirects (a loop ends there).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace fontseal {

struct FetchLimits {
    uint32_t connectMs = 10000;
    uint32_t totalMs = 30000;
    size_t maxBytes = 1 << 20;
    long maxRedirects = 4;
};

struct FetchResult {
    bool ok = false;  // a 2xx reply within the limits
    std::vector<uint8_t> body;
    std::string error;  // why not, for a person: names the URL's failure
};

// GET `url`, or POST `body` with `contentType` when `contentType` is not
// empty. Only http and https, also after a redirect.
FetchResult http_fetch(const std::string& url, const std::vector<uint8_t>& body = {},
                       const std::string& contentType = "", const FetchLimits& limits = {});

// http_fetch of a GET, answered from this process's earlier fetch of the same
// URL when there was one (failures included): a family of fonts signed by one
// publisher costs each server one request per run.
FetchResult http_get_cached(const std::string& url, const FetchLimits& limits = {});

}  // namespace fontseal

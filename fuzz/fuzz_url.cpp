// SPDX-License-Identifier: Apache-2.0
// The time-stamp URL splitter and the check every URL passes before it is
// asked. Input: the URL text (a NUL ends it early, as it would a C string).
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "timestamp/url_parts.h"

using namespace fontseal;

namespace {

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    const std::string url(reinterpret_cast<const char*>(data), size);
    const UrlParts parts(url.c_str());
    FUZZ_CHECK(parts.text() == url.c_str());
    // The pieces come from the text; a path's segments join to at most the
    // path itself.
    FUZZ_CHECK(parts.scheme().size() + parts.host().size() + parts.path().size() +
                   parts.query().size() + parts.fragment().size() <=
               parts.text().size());
    FUZZ_CHECK(parts.joined_path().size() <= parts.path().size());
    std::string name;
    uint16_t port = 1;
    if (split_host_port(parts.host(), name, port)) FUZZ_CHECK(name.size() <= parts.host().size());

    // A URL that passes names an http or https server by host (and a port
    // that parses): what the exchange will connect to.
    const std::string fault = timestamp_url_fault(url.c_str());
    if (fault.empty()) {
        const std::string scheme = lowered(parts.scheme());
        FUZZ_CHECK(scheme == "http" || scheme == "https");
        FUZZ_CHECK(parts.hasAuthority() && !parts.isOpaque());
        FUZZ_CHECK(split_host_port(parts.host(), name, port));
        FUZZ_CHECK(!name.empty());
    }
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// A time-stamp server URL taken apart the way the exchange uses it: scheme,
// authority (host), path and its segments, query and fragment.
#pragma once
#include <cstdint>
#include <string>

#include "base/grow_array.h"

namespace fontseal {

class UrlParts {
public:
    // A null url parses as the empty string.
    explicit UrlParts(const char* url);
    UrlParts(const UrlParts&) = delete;
    UrlParts& operator=(const UrlParts&) = delete;

    const std::string& text() const { return text_; }
    const std::string& scheme() const { return scheme_; }
    // The whole authority: a port or user information stays part of it.
    const std::string& host() const { return host_; }
    const std::string& path() const { return path_; }
    const std::string& directory() const { return directory_; }
    const std::string& query() const { return query_; }
    const std::string& fragment() const { return fragment_; }
    const std::string& opaque() const { return opaque_; }
    bool absolute() const { return absolute_; }
    bool hasScheme() const { return hasScheme_; }
    bool hasAuthority() const { return hasAuthority_; }
    bool hasQuery() const { return hasQuery_; }
    bool hasFragment() const { return hasFragment_; }
    bool isOpaque() const { return isOpaque_; }
    // The path split at every '/' and '\', empty segments kept.
    const GrowArray<std::string>& segments() const { return segments_; }

    // The segments joined with "/"; empty when there are none.
    std::string joined_path() const;

private:
    void parse(std::string rest);

    std::string text_;
    std::string scheme_;
    std::string host_;
    std::string path_;
    std::string directory_;
    std::string query_;
    std::string fragment_;
    std::string opaque_;
    bool absolute_ = false;
    bool hasScheme_ = false;
    bool hasAuthority_ = false;
    bool hasQuery_ = false;
    bool hasFragment_ = false;
    bool isOpaque_ = false;
    GrowArray<std::string> segments_{16, 0xDF};
};

// Splits an authority into the host name and the port that follows its
// last colon ("tsa.example:8080", "[::1]:8080"). Without a port (or with an
// empty one), port is 0. False for a port that is not a number from 1 to
// 65535.
bool split_host_port(const std::string& authority, std::string& name, uint16_t& port);

// Why `url` cannot name a time-stamp server, for a person ("it has no
// scheme: write http://HOST/... or https://HOST/..."); empty when it can: an
// http or https scheme (any case), a host, and a port from 1 to 65535 if any.
std::string timestamp_url_fault(const char* url);

}  // namespace fontseal

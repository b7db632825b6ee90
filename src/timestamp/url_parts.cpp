// SPDX-License-Identifier: Apache-2.0
#include "timestamp/url_parts.h"

namespace fontseal {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// A scheme is a letter and then letters, digits, '+', '-' or '.'; what else
// stands before the first colon ("127.0.0.1:8080", "tsa.example:80") is a
// host written without one.
bool isSchemeName(const std::string& text) {
    if (text.empty()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!letter && (i == 0 || !other)) return false;
    }
    return true;
}

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

UrlParts::UrlParts(const char* url) : text_(url ? url : "") { parse(text_); }

void UrlParts::parse(std::string rest) {
    size_t at = rest.find('#');
    if (at != std::string::npos) {
        fragment_ = rest.substr(at + 1);
        rest.erase(at);
        hasFragment_ = true;
    }
    at = rest.find(':');
    if (at != std::string::npos) {
        scheme_ = rest.substr(0, at);
        rest.erase(0, at + 1);
        hasScheme_ = true;
    }
    if (hasScheme_ && !rest.empty() && !isSeparator(rest[0])) {
        opaque_ = rest;
        isOpaque_ = true;
        return;
    }
    at = rest.find('?');
    if (at != std::string::npos) {
        query_ = rest.substr(at + 1);
        rest.erase(at);
        hasQuery_ = true;
    }

    bool hasPath = true;
    if (rest.empty() || (!hasScheme_ && !isSeparator(rest[0]))) {
        absolute_ = false;
        path_ = rest;
    } else if (rest.size() >= 2 && isSeparator(rest[0]) && rest[1] == rest[0]) {
        hasAuthority_ = true;
        absolute_ = true;
        size_t end = rest.find_first_of("/\\", 2);
        if (end != std::string::npos) {
            host_ = rest.substr(2, end - 2);
            path_ = rest.substr(end + 1);
        } else {
            host_ = rest.substr(2);
            hasPath = false;
        }
    } else {
        absolute_ = true;
        path_ = rest.substr(1);
    }
    if (!hasPath) return;

    size_t start = 0;
    for (;;) {
        size_t end = path_.find_first_of("/\\", start);
        segments_.append() = path_.substr(start, end == std::string::npos ? end : end - start);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    size_t last = path_.find_last_of("/\\");
    if (last != std::string::npos) directory_ = path_.substr(0, last);
}

std::string UrlParts::joined_path() const {
    std::string joined;
    for (int i = 0; i < segments_.count(); ++i) {
        if (i > 0) joined += '/';
        joined += segments_[i];
    }
    return joined;
}

bool split_host_port(const std::string& authority, std::string& name, uint16_t& port) {
    port = 0;
    size_t colon = authority.rfind(':');
    // A colon inside an IPv6 address in brackets is not a port separator.
    size_t bracket = authority.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
        name = authority;
        return true;
    }
    std::string digits = authority.substr(colon + 1);
    name = authority.substr(0, colon);
    if (digits.empty()) return true;  // "host:" names the default port
    if (digits.size() > 5) return false;
    uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

std::string timestamp_url_fault(const char* url) {
    const UrlParts parts(url);
    static const char kWrite[] = ": write http://HOST/PATH or https://HOST/PATH";
    if (parts.text().empty()) return std::string("it is empty") + kWrite;
    // "host:8080/ts" reads as scheme "host" with an opaque part of digits.
    const std::string& opaque = parts.opaque();
    const size_t digits = opaque.find_first_not_of("0123456789");
    const bool portAfterHost =
        parts.isOpaque() && !opaque.empty() && digits != 0 &&
        (digits == std::string::npos || isSeparator(opaque[digits]) || opaque[digits] == '?');
    if (!parts.hasScheme() || !isSchemeName(parts.scheme()) || portAfterHost)
        return std::string("it has no scheme") + kWrite;
    const std::string scheme = lowered(parts.scheme());
    if (scheme != "http" && scheme != "https")
        return "its scheme " + parts.scheme() + ": is not http: or https:";
    std::string name;
    uint16_t port = 0;
    if (parts.isOpaque() || !parts.hasAuthority() || parts.host().empty())
        return std::string("it names no host") + kWrite;
    if (!split_host_port(parts.host(), name, port))
        return "its port is not a number from 1 to 65535";
    if (name.empty() || name == "[]") return std::string("it names no host") + kWrite;
    return "";
}

}  // namespace fontseal

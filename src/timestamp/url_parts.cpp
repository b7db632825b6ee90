#include "timestamp/url_parts.h"

namespace fontseal {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

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

}  // namespace fontseal

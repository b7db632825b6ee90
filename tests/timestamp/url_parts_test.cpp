// SPDX-License-Identifier: Apache-2.0
// URL splitting as the time-stamp exchange uses it, over the edge cases that
// decide where a request goes: authority, object name, query, fragment.
#include "timestamp/url_parts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace fontseal {
namespace {

struct UrlCase {
    const char* url;
    const char* scheme;
    const char* host;
    const char* path;
    const char* directory;
    const char* query;
    const char* fragment;
    const char* opaque;
    // absolute, scheme, authority, query, fragment, opaque as "01" digits
    const char* flags;
    std::vector<std::string> segments;
};

std::string flagsOf(const UrlParts& p) {
    std::string f;
    for (bool b : {p.absolute(), p.hasScheme(), p.hasAuthority(), p.hasQuery(), p.hasFragment(),
                   p.isOpaque()})
        f += b ? '1' : '0';
    return f;
}

TEST(UrlPartsTest, SplitsLikeTheExchangeNeeds) {
    const UrlCase cases[] = {
        // Host only: no path, no segments (object name "/").
        {"http://tsa.example", "http", "tsa.example", "", "", "", "", "", "111000", {}},
        {"http://tsa.example/", "http", "tsa.example", "", "", "", "", "", "111000", {""}},
        // The port stays in the authority.
        {"http://tsa.example:8080/ts",
         "http",
         "tsa.example:8080",
         "ts",
         "",
         "",
         "",
         "",
         "111000",
         {"ts"}},
        // Backslashes separate too; query and fragment are cut off.
        {"http://host/a\\b?q=1#frag",
         "http",
         "host",
         "a\\b",
         "a",
         "q=1",
         "frag",
         "",
         "111110",
         {"a", "b"}},
        // The fragment goes first, so '?' and ':' inside it mean nothing.
        {"http://h/a/b/?x#y?z:w",
         "http",
         "h",
         "a/b/",
         "a/b",
         "x",
         "y?z:w",
         "",
         "111110",
         {"a", "b", ""}},
        {"https://h?only", "https", "h", "", "", "only", "", "", "111100", {}},
        // Without the two slashes there is no host at all.
        {"http:tsa.example/ts", "http", "", "", "", "", "", "tsa.example/ts", "010001", {}},
        {"tsa.example/ts",
         "",
         "",
         "tsa.example/ts",
         "tsa.example",
         "",
         "",
         "",
         "000000",
         {"tsa.example", "ts"}},
        {"\\\\server\\dir\\x", "", "server", "dir\\x", "dir", "", "", "", "101000", {"dir", "x"}},
        {"/abs/path", "", "", "abs/path", "abs", "", "", "", "100000", {"abs", "path"}},
        {"http:", "http", "", "", "", "", "", "", "010000", {""}},
        {"", "", "", "", "", "", "", "", "000000", {""}},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.url);
        UrlParts p(c.url);
        EXPECT_EQ(p.text(), c.url);
        EXPECT_EQ(p.scheme(), c.scheme);
        EXPECT_EQ(p.host(), c.host);
        EXPECT_EQ(p.path(), c.path);
        EXPECT_EQ(p.directory(), c.directory);
        EXPECT_EQ(p.query(), c.query);
        EXPECT_EQ(p.fragment(), c.fragment);
        EXPECT_EQ(p.opaque(), c.opaque);
        EXPECT_EQ(flagsOf(p), c.flags);
        std::vector<std::string> segments(p.segments().begin(), p.segments().end());
        EXPECT_EQ(segments, c.segments);
        std::string joined;
        for (size_t i = 0; i < c.segments.size(); ++i) joined += (i ? "/" : "") + c.segments[i];
        EXPECT_EQ(p.joined_path(), joined);
    }
    EXPECT_EQ(UrlParts(nullptr).text(), "");
}

TEST(UrlPartsTest, SplitsTheAuthorityIntoHostAndPort) {
    struct {
        const char* authority;
        bool ok;
        const char* name;
        int port;
    } cases[] = {
        {"tsa.example:8080", true, "tsa.example", 8080},
        {"tsa.example", true, "tsa.example", 0},
        {"tsa.example:", true, "tsa.example", 0},
        {"[::1]:8443", true, "[::1]", 8443},
        {"[::1]", true, "[::1]", 0},
        {"h:65535", true, "h", 65535},
        {"h:0", false, "", 0},
        {"h:65536", false, "", 0},
        {"h:8a", false, "", 0},
        {"h:-1", false, "", 0},
        {"h:000080", false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.authority);
        std::string name;
        uint16_t port = 1;
        ASSERT_EQ(split_host_port(c.authority, name, port), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(port, c.port);
    }
}

// Only URLs that can reach a server over http or https are asked; the
// others would be posted as plain HTTP to whatever they name.
TEST(UrlPartsTest, TimeStampUrlsNeedHttpOrHttpsAndAHost) {
    const struct {
        const char* url;
        const char* fault;  // the start of the reason; "" for none
    } cases[] = {
        {"http://tsa.example/ts", ""},
        {"HTTPS://tsa.example:8443", ""},
        {"http://[::1]:8080/ts?x=1", ""},
        {"http://127.0.0.1:80", ""},
        {"tsa.example:8080/ts", "it has no scheme"},
        {"127.0.0.1:8080", "it has no scheme"},
        {"/ts", "it has no scheme"},
        {"", "it is empty"},
        {"ftp://tsa.example/ts", "its scheme ftp: is not"},
        {"htps://tsa.example/ts", "its scheme htps: is not"},
        {"file:///etc/passwd", "its scheme file: is not"},
        {"http:///ts", "it names no host"},
        {"http://:8080/ts", "it names no host"},
        {"https:tsa.example", "it names no host"},
        {"http://tsa.example:99999/", "its port is not"},
        {"http://tsa.example:http/", "its port is not"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string fault = timestamp_url_fault(c.url);
        EXPECT_EQ(fault.compare(0, std::strlen(c.fault), c.fault), 0) << fault;
        EXPECT_EQ(fault.empty(), *c.fault == 0) << fault;
    }
}

}  // namespace
}  // namespace fontseal

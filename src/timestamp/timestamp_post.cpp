#include "timestamp/timestamp_post.h"

#include <cstdio>
#include <memory>
#include <string>

#include "timestamp/url_parts.h"

namespace fontseal {

namespace {

struct InternetCloser {
    void operator()(InternetHandle* handle) const { InternetCloseHandle(handle); }
};
using InternetPtr = std::unique_ptr<InternetHandle, InternetCloser>;

constexpr int kReadChunk = 4096;
constexpr int kContentTypeBuffer = 1024;

bool isHttps(const std::string& scheme) {
    static const char kHttps[] = "https";
    if (scheme.size() != sizeof kHttps - 1) return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        char c = scheme[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kHttps[i]) return false;
    }
    return true;
}

bool applyOptions(HINTERNET root, const TransferOptions& options) {
    uint32_t connect = options.connectTimeoutMs, transfer = options.transferTimeoutMs;
    if (!InternetSetOptionA(root, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect) ||
        !InternetSetOptionA(root, INTERNET_OPTION_TRANSFER_TIMEOUT, &transfer, sizeof transfer))
        return false;
    if (options.caFile && !InternetSetOptionA(root, INTERNET_OPTION_CA_FILE, options.caFile, 0))
        return false;
    return true;
}

}  // namespace

bool post_to_timestamp_server(const char* url, const PostBody& body, const TransferOptions& options,
                              MemoryStream& reply) {
    UrlParts parts(url);
    // The authority may carry a port; the connection takes it separately.
    std::string server;
    uint16_t port = INTERNET_INVALID_PORT_NUMBER;
    if (!split_host_port(parts.host(), server, port)) return false;

    InternetPtr root(InternetOpenA("Transport", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root || !applyOptions(root.get(), options)) return false;
    InternetPtr connection(InternetConnectA(root.get(), server.c_str(), port, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) return false;

    const std::string object = "/" + parts.joined_path();
    uint32_t flags = INTERNET_FLAG_NO_CACHE_WRITE;
    if (isHttps(parts.scheme())) flags |= INTERNET_FLAG_SECURE;
    InternetPtr http(HttpOpenRequestA(connection.get(), "POST", object.c_str(), "HTTP/1.0", nullptr,
                                      nullptr, flags, 0));
    if (!http) return false;

    const std::string headers = std::string("Content-Type: ") + body.contentType +
                                "\r\nContent-Length: " + std::to_string(body.length) +
                                "\r\nAccept: " + body.accept + "\r\n";
    if (!HttpSendRequestA(http.get(), headers.c_str(), uint32_t(-1), body.data,
                          static_cast<uint32_t>(body.length)))
        return false;

    // Only the presence of a Content-Type matters; the status is not looked
    // at, because the reply's decoder rejects whatever is no time stamp.
    char contentType[kContentTypeBuffer];
    uint32_t typeLength = sizeof contentType;
    uint32_t index = 0;
    if (!HttpQueryInfoA(http.get(), HTTP_QUERY_CONTENT_TYPE, contentType, &typeLength, &index))
        return false;

    uint8_t chunk[kReadChunk];
    const int start = reply.position();
    for (;;) {
        uint32_t got = 0;
        if (!InternetReadFile(http.get(), chunk, kReadChunk, &got)) return false;
        if (got == 0) break;
        if (static_cast<int64_t>(reply.position() - start) + got > options.maxReplyBytes)
            return false;
        reply.write(chunk, static_cast<int>(got));
    }
    return true;
}

bool post_timestamp_request(TimeStampRequest& request, const char* url,
                            const TransferOptions& options) {
    MemoryStream body(0, MemoryStream::kDefaultGrowth);
    encode_timestamp_request(request, body);
    const PostBody post{"application/octet-stream", "application/octet-stream", body.data(),
                        body.position()};
    MemoryStream reply(0, MemoryStream::kDefaultGrowth);
    if (!post_to_timestamp_server(url, post, options, reply)) return false;

    static const uint8_t kNul = 0;
    reply.write(&kNul, 1);
    const int size = reply.position();
    request.setReply(reply.detach(), size);
    return true;
}

}  // namespace fontseal

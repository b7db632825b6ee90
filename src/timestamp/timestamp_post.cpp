// SPDX-License-Identifier: Apache-2.0
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

// The platform's reason for the last failed call, for a person.
std::string transfer_fault() {
    switch (InternetLastError()) {
        case ERROR_INTERNET_TIMEOUT:
            return "timed out";
        case ERROR_INTERNET_NAME_NOT_RESOLVED:
            return "host not found";
        case ERROR_INTERNET_CANNOT_CONNECT:
            return "connection refused";
        case ERROR_INTERNET_INVALID_URL:
            return "not a usable URL";
        case ERROR_INTERNET_SECURE_FAILURE:
            return "TLS failed (the server's certificate is not trusted, or the handshake failed)";
        case ERROR_INTERNET_CONNECTION_RESET:
            return "the connection broke off";
        default:
            return "the exchange failed";
    }
}

}  // namespace

bool post_to_timestamp_server(const char* url, const PostBody& body, const TransferOptions& options,
                              MemoryStream& reply) {
    ServerReply about;
    std::string fault;
    return post_to_timestamp_server(url, body, options, reply, about, fault);
}

bool post_to_timestamp_server(const char* url, const PostBody& body, const TransferOptions& options,
                              MemoryStream& reply, ServerReply& about, std::string& fault) {
    about = ServerReply();
    // Only http and https go out: any other scheme would be sent as plain
    // HTTP to whatever host it names.
    fault = timestamp_url_fault(url);
    if (!fault.empty()) return false;
    UrlParts parts(url);
    // The authority may carry a port; the connection takes it separately.
    std::string server;
    uint16_t port = INTERNET_INVALID_PORT_NUMBER;
    split_host_port(parts.host(), server, port);

    fault = "the exchange could not be set up";
    InternetPtr root(InternetOpenA("Transport", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root || !applyOptions(root.get(), options)) return false;
    InternetPtr connection(InternetConnectA(root.get(), server.c_str(), port, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        fault = "it names no usable host";
        return false;
    }

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
                          static_cast<uint32_t>(body.length))) {
        fault = transfer_fault();
        return false;
    }

    uint32_t status = 0;
    uint32_t statusLength = sizeof status;
    if (HttpQueryInfoA(http.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &statusLength, nullptr))
        about.status = status;
    char contentType[kContentTypeBuffer];
    uint32_t typeLength = sizeof contentType;
    uint32_t index = 0;
    const bool typed =
        HttpQueryInfoA(http.get(), HTTP_QUERY_CONTENT_TYPE, contentType, &typeLength, &index);
    if (typed) about.contentType.assign(contentType, typeLength);

    uint8_t chunk[kReadChunk];
    const int start = reply.position();
    for (;;) {
        uint32_t got = 0;
        if (!InternetReadFile(http.get(), chunk, kReadChunk, &got)) {
            fault = transfer_fault();
            return false;
        }
        if (got == 0) break;
        if (static_cast<int64_t>(reply.position() - start) + got > options.maxReplyBytes) {
            fault = "not a time-stamp reply (longer than " + std::to_string(options.maxReplyBytes) +
                    " bytes)";
            return false;
        }
        reply.write(chunk, static_cast<int>(got));
    }
    // A server that failed says so by its status; what came with it is
    // mostly a page for people (the body is kept for a protocol whose
    // servers send their refusal along).
    if (about.status < 200 || about.status > 299) {
        fault = "HTTP status " + std::to_string(about.status);
        return false;
    }
    if (!typed) {
        fault = "not a time-stamp reply (it has no Content-Type)";
        return false;
    }
    fault.clear();
    return true;
}

bool post_timestamp_request(TimeStampRequest& request, const char* url,
                            const TransferOptions& options) {
    ServerReply about;
    std::string fault;
    return post_timestamp_request(request, url, options, about, fault);
}

bool post_timestamp_request(TimeStampRequest& request, const char* url,
                            const TransferOptions& options, ServerReply& about,
                            std::string& fault) {
    MemoryStream body(0, MemoryStream::kDefaultGrowth);
    encode_timestamp_request(request, body);
    const PostBody post{"application/octet-stream", "application/octet-stream", body.data(),
                        body.position()};
    MemoryStream reply(0, MemoryStream::kDefaultGrowth);
    if (!post_to_timestamp_server(url, post, options, reply, about, fault)) return false;

    static const uint8_t kNul = 0;
    reply.write(&kNul, 1);
    const int size = reply.position();
    request.setReply(reply.detach(), size);
    return true;
}

}  // namespace fontseal

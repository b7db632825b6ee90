// SPDX-License-Identifier: Apache-2.0
// The HTTP exchange with a time-stamp server: one POST of the request text,
// the whole reply body back.
#pragma once
#include <cstdint>
#include <string>

#include "base/memory_stream.h"
#include "platform/internet.h"
#include "timestamp/timestamp_request.h"

namespace fontseal {

struct TransferOptions {
    uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs;
    // The whole exchange, connection included.
    uint32_t transferTimeoutMs = kDefaultTransferTimeoutMs;
    // A longer reply is no time stamp: real replies are a few kilobytes.
    int32_t maxReplyBytes = 4 * 1024 * 1024;
    // PEM file of trusted certificate authorities for https; null: the
    // system's.
    const char* caFile = nullptr;
};

// A request body and the media types it goes with.
struct PostBody {
    const char* contentType;  // the body's Content-Type
    const char* accept;       // the Accept header: the reply's expected type
    const uint8_t* data;
    int length;
};

// What a server sent back.
struct ServerReply {
    uint32_t status = 0;      // the HTTP status, 0 when none arrived
    std::string contentType;  // empty when the reply named none
};

// Posts `body` to `url` with HTTP/1.0 (TLS for an https URL). True when a
// reply with a 2xx status and a Content-Type header was read whole: its body
// is then appended to `reply`. False for any failure on the way, with
// `reply` holding whatever part of a body had arrived and `fault` saying
// why for a person ("connection refused", "HTTP status 500", ...). A URL that
// timestamp_url_fault refuses is never sent.
bool post_to_timestamp_server(const char* url, const PostBody& body, const TransferOptions& options,
                              MemoryStream& reply, ServerReply& about, std::string& fault);
bool post_to_timestamp_server(const char* url, const PostBody& body, const TransferOptions& options,
                              MemoryStream& reply);

// Posts the base64 request text of `request` to `url` with HTTP/1.0 (TLS for
// an https URL). True when a reply with a 2xx status and a Content-Type
// header was read whole: the request then holds the body plus a NUL as its
// reply. False, with the reply untouched and `fault` saying why, for any
// failure on the way.
bool post_timestamp_request(TimeStampRequest& request, const char* url,
                            const TransferOptions& options, ServerReply& about, std::string& fault);
bool post_timestamp_request(TimeStampRequest& request, const char* url,
                            const TransferOptions& options = TransferOptions());

}  // namespace fontseal

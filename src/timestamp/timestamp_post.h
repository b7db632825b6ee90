// The HTTP exchange with a time-stamp server: one POST of the request text,
// the whole reply body back.
#pragma once
#include <cstdint>

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

// Posts `body` to `url` with HTTP/1.0 (TLS for an https URL). True when a
// reply with a Content-Type header was read whole, whatever its status: its
// body is then appended to `reply`. False for any failure on the way, with
// `reply` holding whatever part of a body had arrived.
bool post_to_timestamp_server(const char* url, const PostBody& body, const TransferOptions& options,
                              MemoryStream& reply);

// Posts the base64 request text of `request` to `url` with HTTP/1.0 (TLS for
// an https URL). True when a reply with a Content-Type header was read whole,
// whatever its status: the request then holds the body plus a NUL as its
// reply. False, with the reply untouched, for any failure on the way.
bool post_timestamp_request(TimeStampRequest& request, const char* url,
                            const TransferOptions& options = TransferOptions());

}  // namespace fontseal

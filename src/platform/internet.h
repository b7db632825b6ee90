// SPDX-License-Identifier: Apache-2.0
// The few HTTP client calls the time-stamp exchange is written against, with
// the argument values and meanings of the Windows internet functions of the
// same names, carried out with libcurl.
//
// Handles form a chain: a root handle (agent and settings), a connection
// (host and port) and a request (verb, object name, version). Every handle is
// closed on its own with InternetCloseHandle. A request runs the transfer in
// the caller's thread: HttpSendRequestA returns once the reply headers have
// arrived, and InternetReadFile pulls the body a piece at a time, so no more
// of a reply is held in memory than the caller has asked for plus a small
// read-ahead.
#pragma once
#include <cstdint>

namespace fontseal {

struct InternetHandle;
using HINTERNET = InternetHandle*;

enum : uint32_t {
    INTERNET_OPEN_TYPE_PRECONFIG = 0,  // the system's proxy settings (the proxy environment)
    INTERNET_SERVICE_HTTP = 3,
    INTERNET_FLAG_SECURE = 0x00800000,          // TLS, with the peer's certificate verified
    INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000,  // nothing is cached here anyway
    HTTP_QUERY_CONTENT_TYPE = 1,
    HTTP_QUERY_STATUS_CODE = 19,
    HTTP_QUERY_FLAG_NUMBER = 0x20000000,  // the value as a uint32_t, not text
};

// Why the last call of this thread failed, as InternetLastError reports it.
enum : uint32_t {
    ERROR_INTERNET_NONE = 0,
    ERROR_INTERNET_TIMEOUT = 12002,
    ERROR_INTERNET_INTERNAL_ERROR = 12004,
    ERROR_INTERNET_INVALID_URL = 12005,
    ERROR_INTERNET_NAME_NOT_RESOLVED = 12007,
    ERROR_INTERNET_CANNOT_CONNECT = 12029,
    ERROR_INTERNET_CONNECTION_RESET = 12031,
    ERROR_HTTP_HEADER_NOT_FOUND = 12150,
    ERROR_INTERNET_SECURE_FAILURE = 12175,
};

enum : uint16_t {
    INTERNET_INVALID_PORT_NUMBER = 0,  // the scheme's default port
};

// Options of InternetSetOptionA, each a uint32_t or a NUL-terminated string.
// A root handle passes its settings on to the connections and requests made
// from it afterwards.
enum : uint32_t {
    INTERNET_OPTION_CONNECT_TIMEOUT = 2,  // milliseconds to establish the connection
    // Milliseconds for the whole exchange, connection included.
    INTERNET_OPTION_TRANSFER_TIMEOUT = 0x10001,
    // PEM file of the certificate authorities trusted for TLS, instead of the
    // system's.
    INTERNET_OPTION_CA_FILE = 0x10002,
};

constexpr uint32_t kDefaultConnectTimeoutMs = 30000;
constexpr uint32_t kDefaultTransferTimeoutMs = 120000;

// A root handle, or null. `agent` is sent as the User-Agent header; only
// INTERNET_OPEN_TYPE_PRECONFIG is supported, and no proxy name or bypass list.
HINTERNET InternetOpenA(const char* agent, uint32_t accessType, const char* proxy,
                        const char* proxyBypass, uint32_t flags);

// A connection handle for `server` (a host name or address, an IPv6 address
// in brackets), or null. Nothing is sent yet. Only INTERNET_SERVICE_HTTP.
HINTERNET InternetConnectA(HINTERNET root, const char* server, uint16_t port, const char* user,
                           const char* password, uint32_t service, uint32_t flags,
                           uintptr_t context);

// A request handle, or null. A null version means "HTTP/1.1"; a null or empty
// object name means "/". Referrer and accept types are not supported (null).
HINTERNET HttpOpenRequestA(HINTERNET connection, const char* verb, const char* objectName,
                           const char* version, const char* referrer, const char** acceptTypes,
                           uint32_t flags, uintptr_t context);

// Sends the request with the extra header lines (CR LF separated; length
// uint32_t(-1): NUL-terminated) and the body. True once the reply's headers
// have arrived, whatever its status.
bool HttpSendRequestA(HINTERNET request, const char* headers, uint32_t headersLength,
                      const void* body, uint32_t bodyLength);

// HTTP_QUERY_CONTENT_TYPE copies the reply's Content-Type value and its
// NUL into `buffer` (*length in: its size; out: the characters copied, or the
// size needed when it is too small). False when the reply has no such header.
// HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER stores the reply's status
// as a uint32_t (*length at least 4).
bool HttpQueryInfoA(HINTERNET request, uint32_t infoLevel, void* buffer, uint32_t* length,
                    uint32_t* index);

// Up to `toRead` bytes of the reply body; *read is 0 at its end. False when
// the transfer failed (broken connection, time-out, TLS failure).
bool InternetReadFile(HINTERNET request, void* buffer, uint32_t toRead, uint32_t* read);

bool InternetSetOptionA(HINTERNET handle, uint32_t option, const void* value, uint32_t length);

bool InternetCloseHandle(HINTERNET handle);

// The ERROR_INTERNET_* reason of this thread's last failed call (what
// GetLastError tells on the system these calls come from); a call that
// succeeds leaves it as it was.
uint32_t InternetLastError();

}  // namespace fontseal

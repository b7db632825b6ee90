// SPDX-License-Identifier: Apache-2.0
#include "platform/internet.h"

#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace fontseal {

namespace {

enum class HandleKind { kRoot, kConnection, kRequest };

// Body bytes received but not yet read. Beyond this the transfer is paused
// until the reader catches up, so a huge reply never piles up in memory.
constexpr size_t kReadAhead = 64 * 1024;
// Poll interval of the transfer loop; curl shortens it for its own timers.
constexpr int kPollMs = 1000;
// The loops also watch the clock themselves, a little after curl's own
// transfer time-out, so that no fault of the transfer can hold them forever.
constexpr std::chrono::milliseconds kDeadlineMargin{5000};

thread_local uint32_t last_error = ERROR_INTERNET_NONE;

bool fail_with(uint32_t reason) {
    last_error = reason;
    return false;
}

uint32_t reason_of(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_INTERNET_TIMEOUT;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_INTERNET_INVALID_URL;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
            return ERROR_INTERNET_SECURE_FAILURE;
        default:
            return ERROR_INTERNET_CONNECTION_RESET;
    }
}

bool global_init() {
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

// Bytes that cannot stand in a request line are percent-encoded; everything
// else (reserved characters included) goes out as the caller wrote it.
std::string request_path(const std::string& object) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : object) {
        if (c <= 0x20 || c >= 0x7F || c == '#') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
    return out;
}

bool plausible_host(const char* server) {
    if (!server || !*server) return false;
    for (const char* p = server; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c >= 0x7F || c == '/' || c == '\\' || c == '?' || c == '#' || c == '@')
            return false;
    }
    return true;
}

}  // namespace

struct InternetHandle {
    explicit InternetHandle(HandleKind k) : kind(k) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() {
        if (multi && easy) curl_multi_remove_handle(multi, easy);
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
        if (headerList) curl_slist_free_all(headerList);
    }

    // Settings handed down from the root.
    void inherit(const InternetHandle& parent) {
        agent = parent.agent;
        connectTimeoutMs = parent.connectTimeoutMs;
        transferTimeoutMs = parent.transferTimeoutMs;
        caFile = parent.caFile;
        host = parent.host;
        port = parent.port;
    }

    size_t buffered() const { return pending.size() - pendingRead; }

    HandleKind kind;
    std::string agent;
    uint32_t connectTimeoutMs = kDefaultConnectTimeoutMs;
    uint32_t transferTimeoutMs = kDefaultTransferTimeoutMs;
    std::string caFile;
    // Connections and requests.
    std::string host;
    uint16_t port = INTERNET_INVALID_PORT_NUMBER;
    // Requests.
    std::string verb;
    std::string object;
    std::string version;
    uint32_t flags = 0;
    std::vector<uint8_t> body;
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* headerList = nullptr;
    bool sent = false;
    bool headersDone = false;
    bool paused = false;
    bool finished = false;
    CURLcode result = CURLE_OK;
    std::vector<uint8_t> pending;
    size_t pendingRead = 0;
    std::chrono::steady_clock::time_point deadline;
};

namespace {

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* request = static_cast<InternetHandle*>(user);
    size_t bytes = size * count;
    bool blank =
        (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
    if (blank) {
        // The end of a header block; interim replies (1xx) are followed by
        // the real one.
        long status = 0;
        curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200) request->headersDone = true;
    }
    return bytes;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* request = static_cast<InternetHandle*>(user);
    size_t bytes = size * count;
    if (request->buffered() >= kReadAhead) {
        request->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (request->pendingRead == request->pending.size()) {
        request->pending.clear();
        request->pendingRead = 0;
    }
    try {
        request->pending.insert(request->pending.end(), data, data + bytes);
    } catch (const std::bad_alloc&) {
        return 0;  // aborts the transfer
    }
    return bytes;
}

void finish(InternetHandle& request, CURLcode result) {
    request.finished = true;
    request.result = result;
}

// One round of the transfer: let curl work, note its completion, and wait
// for activity unless `ready` already holds.
template <class Ready>
void run_until(InternetHandle& request, Ready ready) {
    while (!request.finished && !ready()) {
        if (std::chrono::steady_clock::now() > request.deadline) {
            finish(request, CURLE_OPERATION_TIMEDOUT);
            break;
        }
        if (request.paused) {
            request.paused = false;
            curl_easy_pause(request.easy, CURLPAUSE_CONT);
            if (request.paused || ready()) continue;
        }
        int running = 0;
        if (curl_multi_perform(request.multi, &running) != CURLM_OK) {
            finish(request, CURLE_FAILED_INIT);
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(request.multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == request.easy)
                finish(request, message->data.result);
        }
        if (request.finished || ready() || request.paused) continue;
        curl_multi_poll(request.multi, nullptr, 0, kPollMs, nullptr);
    }
}

bool configure(InternetHandle& request, const char* headers, uint32_t headersLength,
               const void* body, uint32_t bodyLength) {
    CURL* easy = request.easy;
    long version = CURL_HTTP_VERSION_1_1;
    if (request.version == "HTTP/1.0") {
        version = CURL_HTTP_VERSION_1_0;
    } else if (request.version != "HTTP/1.1") {
        return false;
    }
    const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
    std::string host = request.host;
    std::string url = std::string(secure ? "https://" : "http://") + host;
    if (request.port != INTERNET_INVALID_PORT_NUMBER) url += ":" + std::to_string(request.port);
    url += request_path(request.object);

    if (headers) {
        size_t length = headersLength == uint32_t(-1) ? std::strlen(headers) : headersLength;
        std::string text(headers, length);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find_first_of("\r\n", start);
            if (end == std::string::npos) end = text.size();
            if (end > start) {
                curl_slist* list =
                    curl_slist_append(request.headerList, text.substr(start, end - start).c_str());
                if (!list) return false;
                request.headerList = list;
            }
            start = end + 1;
        }
    }
    // No 100-continue round trip: the body goes out with the request.
    curl_slist* list = curl_slist_append(request.headerList, "Expect:");
    if (!list) return false;
    request.headerList = list;

    request.body.assign(static_cast<const uint8_t*>(body),
                        static_cast<const uint8_t*>(body) + (body ? bodyLength : 0));
    static const uint8_t kEmpty = 0;
    const void* bodyData = request.body.empty() ? &kEmpty : request.body.data();

    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, version) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_USERAGENT, request.agent.c_str()) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.headerList) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                               static_cast<curl_off_t>(request.body.size())) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_POSTFIELDS, bodyData) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                               static_cast<long>(request.connectTimeoutMs)) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                               static_cast<long>(request.transferTimeoutMs)) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERDATA, &request) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request) == CURLE_OK;
    if (ok && request.verb != "POST")
        ok = curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb.c_str()) == CURLE_OK;
    if (ok && !request.caFile.empty())
        ok = curl_easy_setopt(easy, CURLOPT_CAINFO, request.caFile.c_str()) == CURLE_OK;
    return ok;
}

}  // namespace

HINTERNET InternetOpenA(const char* agent, uint32_t accessType, const char* proxy,
                        const char* proxyBypass, uint32_t flags) {
    if (accessType != INTERNET_OPEN_TYPE_PRECONFIG || proxy || proxyBypass || flags != 0)
        return nullptr;
    if (!global_init()) return nullptr;
    auto* root = new (std::nothrow) InternetHandle(HandleKind::kRoot);
    if (!root) return nullptr;
    try {
        root->agent = agent ? agent : "";
    } catch (const std::bad_alloc&) {
        delete root;
        return nullptr;
    }
    return root;
}

HINTERNET InternetConnectA(HINTERNET root, const char* server, uint16_t port, const char* user,
                           const char* password, uint32_t service, uint32_t flags,
                           uintptr_t context) {
    (void)flags;
    (void)context;
    if (!root || root->kind != HandleKind::kRoot || service != INTERNET_SERVICE_HTTP)
        return nullptr;
    if (user || password) return nullptr;
    if (!plausible_host(server)) {
        fail_with(ERROR_INTERNET_INVALID_URL);
        return nullptr;
    }
    auto* connection = new (std::nothrow) InternetHandle(HandleKind::kConnection);
    if (!connection) return nullptr;
    try {
        connection->inherit(*root);
        connection->host = server;
        connection->port = port;
    } catch (const std::bad_alloc&) {
        delete connection;
        return nullptr;
    }
    return connection;
}

HINTERNET HttpOpenRequestA(HINTERNET connection, const char* verb, const char* objectName,
                           const char* version, const char* referrer, const char** acceptTypes,
                           uint32_t flags, uintptr_t context) {
    (void)context;
    if (!connection || connection->kind != HandleKind::kConnection || referrer || acceptTypes)
        return nullptr;
    auto* request = new (std::nothrow) InternetHandle(HandleKind::kRequest);
    if (!request) return nullptr;
    try {
        request->inherit(*connection);
        request->verb = verb && *verb ? verb : "GET";
        request->object = objectName && *objectName ? objectName : "/";
        request->version = version ? version : "HTTP/1.1";
        request->flags = flags;
    } catch (const std::bad_alloc&) {
        delete request;
        return nullptr;
    }
    request->easy = curl_easy_init();
    request->multi = curl_multi_init();
    if (!request->easy || !request->multi) {
        delete request;
        return nullptr;
    }
    return request;
}

bool HttpSendRequestA(HINTERNET request, const char* headers, uint32_t headersLength,
                      const void* body, uint32_t bodyLength) {
    if (!request || request->kind != HandleKind::kRequest || request->sent)
        return fail_with(ERROR_INTERNET_INTERNAL_ERROR);
    request->sent = true;
    try {
        if (!configure(*request, headers, headersLength, body, bodyLength))
            return fail_with(ERROR_INTERNET_INTERNAL_ERROR);
    } catch (const std::bad_alloc&) {
        return fail_with(ERROR_INTERNET_INTERNAL_ERROR);
    }
    if (curl_multi_add_handle(request->multi, request->easy) != CURLM_OK)
        return fail_with(ERROR_INTERNET_INTERNAL_ERROR);
    request->deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(request->transferTimeoutMs) + kDeadlineMargin;
    run_until(*request, [request] { return request->headersDone; });
    if (request->headersDone) return true;
    return fail_with(request->finished && request->result != CURLE_OK
                         ? reason_of(request->result)
                         : ERROR_INTERNET_CONNECTION_RESET);
}

bool HttpQueryInfoA(HINTERNET request, uint32_t infoLevel, void* buffer, uint32_t* length,
                    uint32_t* index) {
    if (!request || request->kind != HandleKind::kRequest || !request->headersDone) return false;
    if (infoLevel == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        long status = 0;
        if (!buffer || !length || *length < sizeof(uint32_t) ||
            curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
            return fail_with(ERROR_INTERNET_INTERNAL_ERROR);
        const uint32_t value = static_cast<uint32_t>(status);
        std::memcpy(buffer, &value, sizeof value);
        *length = sizeof value;
        return true;
    }
    if (infoLevel != HTTP_QUERY_CONTENT_TYPE || !length) return false;
    if (index && *index != 0) return false;
    char* type = nullptr;
    if (curl_easy_getinfo(request->easy, CURLINFO_CONTENT_TYPE, &type) != CURLE_OK || !type)
        return fail_with(ERROR_HTTP_HEADER_NOT_FOUND);
    size_t needed = std::strlen(type) + 1;
    if (!buffer || needed > *length) {
        *length = static_cast<uint32_t>(needed);
        return false;
    }
    std::memcpy(buffer, type, needed);
    *length = static_cast<uint32_t>(needed - 1);
    if (index) ++*index;
    return true;
}

bool InternetReadFile(HINTERNET request, void* buffer, uint32_t toRead, uint32_t* read) {
    if (!read) return fail_with(ERROR_INTERNET_INTERNAL_ERROR);
    *read = 0;
    if (!request || request->kind != HandleKind::kRequest || !request->headersDone)
        return fail_with(ERROR_INTERNET_INTERNAL_ERROR);
    if (toRead == 0) return true;
    run_until(*request, [request] { return request->buffered() > 0; });
    size_t available = request->buffered();
    if (available == 0) {
        if (request->finished && request->result == CURLE_OK) return true;
        return fail_with(request->finished ? reason_of(request->result)
                                           : ERROR_INTERNET_CONNECTION_RESET);
    }
    size_t count = available < toRead ? available : toRead;
    std::memcpy(buffer, request->pending.data() + request->pendingRead, count);
    request->pendingRead += count;
    *read = static_cast<uint32_t>(count);
    return true;
}

bool InternetSetOptionA(HINTERNET handle, uint32_t option, const void* value, uint32_t length) {
    if (!handle || !value) return false;
    switch (option) {
        case INTERNET_OPTION_CONNECT_TIMEOUT:
        case INTERNET_OPTION_TRANSFER_TIMEOUT: {
            if (length != sizeof(uint32_t)) return false;
            uint32_t ms;
            std::memcpy(&ms, value, sizeof ms);
            if (ms == 0) return false;
            if (option == INTERNET_OPTION_CONNECT_TIMEOUT) {
                handle->connectTimeoutMs = ms;
            } else {
                handle->transferTimeoutMs = ms;
            }
            return true;
        }
        case INTERNET_OPTION_CA_FILE:
            try {
                handle->caFile = static_cast<const char*>(value);
            } catch (const std::bad_alloc&) {
                return false;
            }
            return true;
        default:
            return false;
    }
}

bool InternetCloseHandle(HINTERNET handle) {
    if (!handle) return false;
    delete handle;
    return true;
}

uint32_t InternetLastError() { return last_error; }

}  // namespace fontseal

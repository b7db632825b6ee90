// SPDX-License-Identifier: Apache-2.0
#include "platform/http_fetch.h"

#include <curl/curl.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

namespace fontseal {

namespace {

bool curl_ready() {
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result == CURLE_OK;
}

struct Reply {
    std::vector<uint8_t>* body;
    size_t maxBytes;
    bool tooLarge = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    Reply& reply = *static_cast<Reply*>(user);
    const size_t n = size * count;
    if (reply.body->size() + n > reply.maxBytes) {
        reply.tooLarge = true;
        return 0;  // ends the transfer
    }
    reply.body->insert(reply.body->end(), data, data + n);
    return n;
}

using EasyPtr = std::unique_ptr<CURL, void (*)(CURL*)>;
using ListPtr = std::unique_ptr<curl_slist, void (*)(curl_slist*)>;

}  // namespace

FetchResult http_fetch(const std::string& url, const std::vector<uint8_t>& body,
                       const std::string& contentType, const FetchLimits& limits) {
    FetchResult out;
    if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) {
        out.error = url + ": not an http or https URL";
        return out;
    }
    if (!curl_ready()) {
        out.error = url + ": the HTTP client cannot start";
        return out;
    }
    EasyPtr easy(curl_easy_init(), curl_easy_cleanup);
    ListPtr headers(nullptr, curl_slist_free_all);
    if (!contentType.empty()) {
        headers.reset(curl_slist_append(nullptr, ("Content-Type: " + contentType).c_str()));
    }
    Reply reply{&out.body, limits.maxBytes};
    char error[CURL_ERROR_SIZE] = "";
    CURL* e = easy.get();
    bool ok = e && curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_MAXREDIRS, limits.maxRedirects) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long{limits.connectMs}) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, long{limits.totalMs}) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE,
                               static_cast<curl_off_t>(limits.maxBytes)) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_USERAGENT, "fontseal") == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_WRITEDATA, &reply) == CURLE_OK;
    if (ok && !contentType.empty()) {
        ok = curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                              static_cast<curl_off_t>(body.size())) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data()) == CURLE_OK;
    }
    if (!ok) {
        out.error = url + ": the HTTP client cannot be set up";
        return out;
    }
    const CURLcode done = curl_easy_perform(e);
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    if (reply.tooLarge || done == CURLE_FILESIZE_EXCEEDED) {
        out.error =
            url + ": the reply is larger than " + std::to_string(limits.maxBytes) + " bytes";
    } else if (done == CURLE_TOO_MANY_REDIRECTS) {
        out.error = url + ": more than " + std::to_string(limits.maxRedirects) +
                    " redirects (a redirect loop?)";
    } else if (done == CURLE_OPERATION_TIMEDOUT) {
        out.error = url + ": no complete reply within the time allowed (" +
                    std::to_string(limits.connectMs / 1000) + " s to connect, " +
                    std::to_string(limits.totalMs / 1000) + " s in all)";
    } else if (done != CURLE_OK) {
        out.error = url + ": " + (error[0] ? error : curl_easy_strerror(done));
    } else if (status < 200 || status > 299) {
        out.error = url + ": the server answered HTTP " + std::to_string(status);
    } else {
        out.ok = true;
        return out;
    }
    out.body.clear();
    return out;
}

FetchResult http_get_cached(const std::string& url, const FetchLimits& limits) {
    // A run of the CLI lasts seconds; a host that keeps the library loaded
    // for days must not judge by a CRL fetched then, nor by a server's
    // failure of long ago.
    using Clock = std::chrono::steady_clock;
    constexpr auto kKeepAnswer = std::chrono::minutes(30);
    constexpr auto kKeepFailure = std::chrono::minutes(2);
    struct Kept {
        FetchResult result;
        Clock::time_point until;
    };
    static std::mutex lock;
    static std::map<std::string, Kept> fetched;
    {
        std::lock_guard<std::mutex> hold(lock);
        auto found = fetched.find(url);
        if (found != fetched.end() && Clock::now() < found->second.until) {
            return found->second.result;
        }
    }
    // Not held while fetching: another thread's fetch of another URL need
    // not wait for this one; two of the same URL at once both fetch.
    FetchResult result = http_fetch(url, {}, "", limits);
    std::lock_guard<std::mutex> hold(lock);
    fetched[url] = Kept{result, Clock::now() + (result.ok ? kKeepAnswer : kKeepFailure)};
    return result;
}

}  // namespace fontseal

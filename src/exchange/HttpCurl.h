#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "exchange/HttpConnect.h"

namespace mv {

// How long a request may take. Every request ends: one that gets no connection within `connect`,
// that moves no byte for `stall` once connected, or that still runs after `total` (however it
// moves), fails with libcurl's text.
struct HttpLimits {
    std::chrono::seconds connect{60};
    std::chrono::seconds stall{60};
    std::chrono::seconds total{600};
};

// The HTTP transport over libcurl. The proxy is the one the environment names for the scheme of the
// address (http_proxy, https_proxy, then ALL_PROXY), for every redirect of the request, except
// for hosts that NO_PROXY names; credentials in its address answer its challenge. MV_PROXY_USERNAME
// and MV_PROXY_PASSWORD, when set and not empty, are the user name and password of the connection
// to the server, sent only when the server asks for them, in the scheme it asks for, and only
// with a user name; TLS peers are always verified against the system trust store, or the one
// named by SSL_CERT_FILE / SSL_CERT_DIR.
//
// One process-wide lock is held from construction to destruction, so that the HTTP transactions
// of the process run one after the other. The lock is recursive: the thread that holds it may
// build a second transport without waiting for itself.
class HttpCurl : public HttpConnect {
public:
    // Waits, without a time-out, for the transport lock.
    explicit HttpCurl(HttpLimits limits = {});
    // Closes as `close` does and releases the lock.
    ~HttpCurl() override;
    HttpCurl(const HttpCurl&) = delete;
    HttpCurl& operator=(const HttpCurl&) = delete;

    // -2001 for an unusable URL, -1001 when libcurl gives no handle, -1002 for an empty host;
    // -9998 / -9999 for an exception ("mv::HttpCurl::open : unkown exception.").
    int open(const std::string& url) override;
    int requestBody(const ByteBuffer& body, ByteBuffer& reply, std::string headers) override;
    // -2002 before open; -1007, -1003 (also for a negative size or a missing body), -1005 (the
    // library's text; also a request ended by its limits or by the run's end, exchangesAborted,
    // before any status), -1006 (the library's text whenever libcurl ended the transfer after a
    // status, also one of a response it was going past: its limits, the run's end, more than
    // 16 MiB of body over the whole exchange, redirects and challenges included, or a failure of
    // its own; "Maximum file size exceeded" for a 200 that announces more), -2005 ("HTTP STATUS =
    // <code>" as soon as a status other than 200 is final, its body unread), -2003, -2004; -9998
    // / -9999 for an exception ("mv::HttpCurl::request : unkown exception.").
    int request(const unsigned char* body, int size, ByteBuffer& reply,
                std::string headers) override;
    const char* errorMessage() override;
    void close() override;

private:
    int openUnguarded(const std::string& url);
    int requestUnguarded(const unsigned char* body, int size, ByteBuffer& reply,
                         const std::string& headers);
    // Sets `error` from a libcurl failure: the detail text of the transfer, else the library's
    // text for the code, else "HTTP error(<code>)".
    void setCurlError(CURLcode code);

    HttpLimits limits;
    std::string error;
    std::string path;
    bool secure = false;
    std::string host;
    std::uint16_t port = 0;
    CURL* curl = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::unique_lock<std::recursive_mutex> transportLock;
};

}  // namespace mv

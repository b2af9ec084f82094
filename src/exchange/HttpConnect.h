#pragma once

#include <string>

#include "foundation/Bytes.h"

namespace mv {

// Result codes of an HTTP transport's open and request.
constexpr int HTTP_ERR_BAD_URL = -2001;          // a scheme other than http/https
constexpr int HTTP_ERR_INTERNET_OPEN = -1001;    // the client library could not start
constexpr int HTTP_ERR_CONNECT = -1002;          // no connection to the host could be prepared
constexpr int HTTP_ERR_NOT_OPEN = -2002;         // request without a successful open
constexpr int HTTP_ERR_CREDENTIALS = -1007;      // the server's user name or password not set
constexpr int HTTP_ERR_OPEN_REQUEST = -1003;     // the request could not be prepared
constexpr int HTTP_ERR_SEND = -1005;             // sending failed (error text: the library's)
constexpr int HTTP_ERR_READ = -1006;             // reading the status or the body failed
constexpr int HTTP_ERR_STATUS = -2005;           // status not 200 ("HTTP STATUS = <code>")
constexpr int HTTP_ERR_EMPTY_LENGTH = -2003;     // Content-Length 0
constexpr int HTTP_ERR_SHORT_BODY = -2004;       // fewer bytes than Content-Length announced
constexpr int HTTP_ERR_STD_EXCEPTION = -9998;    // error text: the exception's message
constexpr int HTTP_ERR_OTHER_EXCEPTION = -9999;  // error text: "<class>::<op> : unkown exception."

// The abstract HTTP transport: one POST of a body to an http or https URL, status 200 required,
// the whole response body returned. The operations keep this order.
class HttpConnect {
public:
    // 0, or one of the codes above.
    virtual int open(const std::string& url) = 0;
    // `request` with the buffer's data and length.
    virtual int requestBody(const ByteBuffer& body, ByteBuffer& reply, std::string headers) = 0;
    // POST of `size` bytes (a request without a body when size is 0) with the additional header
    // lines `headers` (CR LF separated); the body of the answer goes to `reply`, which is empty at
    // the call, and empty again after a failure. 0, or one of the codes above.
    virtual int request(const unsigned char* body, int size, ByteBuffer& reply,
                        std::string headers) = 0;
    // The text of the last failure, or "No message." when none was recorded.
    virtual const char* errorMessage() = 0;
    virtual void close() = 0;
    virtual ~HttpConnect() = default;
};

// Splits a URL into host, object path (from the first '/', query included) and port text, cut
// from the URL as given; outputs that have no part in the URL are left untouched.
// Returns 1 for https, 0 for http or no scheme, -1 (outputs untouched) for a URL that has another
// scheme or a ':' without a scheme.
int splitUrl(const std::string& url, std::string& host, std::string& path, std::string& port);

}  // namespace mv

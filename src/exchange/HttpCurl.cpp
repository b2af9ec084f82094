#include "exchange/HttpCurl.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "platform/ExchangeAbort.h"

namespace mv {
namespace {

const char* const USER_AGENT = "Mozilla/4.0 (compatible; MSIE 6.0; Win32)";
// Environment values of this length or longer count as absent, as they did not fit the buffer
// the server credentials were read into.
constexpr size_t CREDENTIAL_LIMIT = 1024;
// The largest answer kept. An answer document holds a hash, a redirect address or a signed
// document of a few hundred KiB at most; without a bound a hostile server could make the agent
// hold any amount, which the "http" command would then relay to the page whole.
constexpr size_t ANSWER_LIMIT = 16u << 20;

// The process-wide transport lock, made on first use (safely, also when two threads build their
// first transport at once) and never destroyed, so that no exit order can pull it away from a
// transport still alive. libcurl's global set-up happens under the same one-time guard.
std::recursive_mutex& transportMutex() {
    static std::recursive_mutex* mutex = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return new std::recursive_mutex;
    }();
    return *mutex;
}

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

struct CurlUrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// atoi's reading of a number (leading blanks, a sign, digits), without its undefined behaviour
// on overflow: out-of-range values are clamped.
long long leadingNumber(const char* text) {
    return std::strtoll(text, nullptr, 10);
}

long seconds(std::chrono::seconds limit) {
    return static_cast<long>(limit.count());
}

std::string credential(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || std::strlen(value) >= CREDENTIAL_LIMIT) {
        return {};
    }
    return value;
}

// The proxy that libcurl takes from the environment for an address of this scheme, by its own
// rule: the scheme's variable, then its upper-case form (never HTTP_PROXY, which a web server can
// set from a request's Proxy header), then all_proxy and ALL_PROXY; an empty value is no value.
// libcurl chooses the proxy of each hop itself, NO_PROXY applied; this names the one whose
// credentials decide about a 407 on a hop of this scheme, which, coming from a proxy, went through
// it. (A 407 from a server that NO_PROXY takes past the proxy is judged as the proxy's: it waits
// for its first body byte, as every challenge libcurl may answer does.)
std::string environmentProxy(bool secure) {
    const char* const names[] = {secure ? "https_proxy" : "http_proxy",
                                 secure ? "HTTPS_PROXY" : nullptr, "all_proxy", "ALL_PROXY"};
    for (const char* name : names) {
        const char* value = name == nullptr ? nullptr : std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

// Whether libcurl finds credentials in the proxy's address (a user name, a password or both),
// read the way libcurl reads that address.
bool namesCredentials(const std::string& proxy) {
    if (proxy.empty()) {
        return false;
    }
    std::unique_ptr<CURLU, CurlUrlFree> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, proxy.c_str(),
                                CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) != CURLUE_OK) {
        return false;
    }
    bool found = false;
    for (CURLUPart part : {CURLUPART_USER, CURLUPART_PASSWORD}) {
        char* text = nullptr;
        found = curl_url_get(parsed.get(), part, &text, 0) == CURLUE_OK || found;
        curl_free(text);
    }
    return found;
}

// libcurl of this age follows a redirect loop for ever.
constexpr long MAX_REDIRECTS = 10;

// The schemes of a challenge that libcurl can answer with a user name and password. It also finds
// Bearer, which needs a token that is never set here, and takes NTLM and Negotiate only where it
// was built with them.
unsigned long answerableSchemes() {
    static const unsigned long schemes = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        unsigned long found = CURLAUTH_BASIC | CURLAUTH_DIGEST;
        found |= (info->features & CURL_VERSION_NTLM) != 0 ? CURLAUTH_NTLM : 0;
        found |= (info->features & CURL_VERSION_SPNEGO) != 0 ? CURLAUTH_NEGOTIATE : 0;
        return found;
    }();
    return schemes;
}

// An address's scheme, host and port (the default port where it names none), as libcurl reads
// them; empty when it does not parse.
std::string originOf(const char* url) {
    std::unique_ptr<CURLU, CurlUrlFree> parsed(curl_url());
    if (!parsed || url == nullptr ||
        curl_url_set(parsed.get(), CURLUPART_URL, url, 0) != CURLUE_OK) {
        return {};
    }
    std::string origin;
    for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), part, &text, CURLU_DEFAULT_PORT) != CURLUE_OK) {
            return {};
        }
        origin += text;
        origin += ' ';
        curl_free(text);
    }
    return origin;
}

// One request as it runs, with every response libcurl reads on the way (redirects, challenges).
struct Transfer {
    CURL* curl = nullptr;
    ByteBuffer* reply = nullptr;
    // Body bytes of the responses before the current one, and of the current one as the progress
    // callback last saw them: the answer bound holds for the whole exchange, not for each hop.
    size_t earlierBodies = 0;
    size_t hopBody = 0;
    // The server's user name, which libcurl sends only to the scheme, host and port where the
    // request starts (`origin`), never to another that a redirect names.
    bool serverCredentials = false;
    std::string origin;
    // Whether libcurl has sent the request of the current hop: before it has, every response is a
    // proxy's answer to CONNECT, since libcurl sends a request only once its tunnel stands.
    bool requestSent = false;
    // The last challenge that libcurl was let go past (401 or 407, 0: the last response was
    // none), and the address it came for.
    long lastChallenge = 0;
    std::string lastChallengeUrl;
    // Why this side ended the transfer: a final status other than 200 (0: none), or an answer
    // announced above the bound.
    long finalStatus = 0;
    bool announcedTooLarge = false;
    std::exception_ptr failure;

    size_t bodySoFar() const { return earlierBodies + hopBody; }
    // How many more body bytes the answer may have.
    size_t room() const {
        const size_t taken = earlierBodies + reply->size();
        return taken >= ANSWER_LIMIT ? 0 : ANSWER_LIMIT - taken;
    }
};

// Where the current response sends the request: its first Location that is not blank, as libcurl
// follows it, from the headers libcurl keeps of the latest request (neither a 1xx before the
// response nor a proxy's answer to CONNECT). libcurl's header API gives an empty Location as
// "\r"; libcurl itself passes over it.
std::string location(CURL* curl) {
    curl_header* found = nullptr;
    for (size_t index = 0;
         curl_easy_header(curl, "Location", index, CURLH_HEADER, -1, &found) == CURLHE_OK;
         ++index) {
        const char* value = found->value;
        if (value[std::strspn(value, " \t\r\n")] != '\0') {
            return value;
        }
    }
    return {};
}

// Whether libcurl can answer this challenge (401 from the server, 407 from a proxy) of the hop it
// is on: it has credentials for that party, and among the schemes it found in the challenges
// (libcurl's report, over the whole exchange) one that it answers with them. A second challenge
// in a row for the same address, after libcurl answered the first, refuses the credentials when
// every scheme offered takes a single round (Basic): libcurl gives up then. Schemes of several
// rounds (Digest's stale nonce, NTLM, Negotiate) stay libcurl's to judge.
bool answerable(const Transfer& transfer, long status) {
    const bool proxy = status == 407;
    char* hop = nullptr;
    curl_easy_getinfo(transfer.curl, CURLINFO_EFFECTIVE_URL, &hop);
    const std::string hopUrl = hop != nullptr ? hop : "";
    const bool credentials =
        proxy ? namesCredentials(environmentProxy(hopUrl.rfind("https:", 0) == 0))
              : transfer.serverCredentials && originOf(hop) == transfer.origin;
    long offered = 0;
    curl_easy_getinfo(transfer.curl, proxy ? CURLINFO_PROXYAUTH_AVAIL : CURLINFO_HTTPAUTH_AVAIL,
                      &offered);
    const unsigned long schemes = static_cast<unsigned long>(offered) & answerableSchemes();
    const bool refused = transfer.lastChallenge == status && transfer.lastChallengeUrl == hopUrl &&
                         (schemes & ~CURLAUTH_BASIC) == 0;
    return credentials && schemes != 0 && !refused;
}

// Records that libcurl goes past this response to another request: the next one's headers may
// first come from a proxy's tunnel.
void goesOn(Transfer& transfer, long challenge) {
    char* hop = nullptr;
    curl_easy_getinfo(transfer.curl, CURLINFO_EFFECTIVE_URL, &hop);
    transfer.lastChallenge = challenge;
    transfer.lastChallengeUrl = hop != nullptr ? hop : "";
}

// Whether libcurl stops at this redirect rather than following it: no place to go, the redirect
// that passes the limit, or a place it may not go (neither http nor https, or no URL at all).
bool redirectEndsHere(const Transfer& transfer) {
    long followed = 0;
    curl_easy_getinfo(transfer.curl, CURLINFO_REDIRECT_COUNT, &followed);
    const std::string target = location(transfer.curl);
    if (target.empty() || followed >= MAX_REDIRECTS) {
        return true;
    }
    char* current = nullptr;
    curl_easy_getinfo(transfer.curl, CURLINFO_EFFECTIVE_URL, &current);
    std::unique_ptr<CURLU, CurlUrlFree> next(curl_url());
    char* scheme = nullptr;
    const bool resolved =
        next && current != nullptr &&
        curl_url_set(next.get(), CURLUPART_URL, current, 0) == CURLUE_OK &&
        curl_url_set(next.get(), CURLUPART_URL, target.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE | CURLU_URLENCODE) == CURLUE_OK &&
        curl_url_get(next.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
    const bool web =
        resolved && (std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0);
    curl_free(scheme);
    return !web;
}

// Judges each response once its headers are read. A status other than 200 that libcurl will not
// go past is the answer: the transfer ends at once, whatever body follows. libcurl goes past an
// informational response, a redirect it follows and a challenge it answers; whether it answers a
// challenge shows only in what it does next, so a challenge that it can answer (`answerable`) is
// judged by its first body byte (see `receive`). A 200 that announces more than the bound is
// refused before its body arrives.
//
// Only the blank line that ends a response's headers is read here: libcurl passes one after each
// header block and none after the trailers of a chunked body, and what the block held (its status,
// its Location) is asked of libcurl, so no header line can pass for the start of a response.
size_t header(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    const size_t n = size * count;
    try {
        const bool blank =
            (n == 1 && data[0] == '\n') || (n == 2 && data[0] == '\r' && data[1] == '\n');
        if (!blank) {
            return n;  // a status line, a header or a trailer
        }
        // The response's body starts here; the bytes of those before it are all counted.
        transfer->earlierBodies += transfer->hopBody;
        transfer->hopBody = 0;
        if (!transfer->requestSent) {
            // A proxy's answer to CONNECT (the status of the request is still an earlier hop's).
            // libcurl judges its tunnel itself, but would read the body of a challenge it cannot
            // answer.
            long tunnel = 0;
            curl_easy_getinfo(transfer->curl, CURLINFO_HTTP_CONNECTCODE, &tunnel);
            if (tunnel == 407 && !answerable(*transfer, tunnel)) {
                transfer->finalStatus = tunnel;
                return 0;  // ends the transfer
            }
            goesOn(*transfer, tunnel == 407 ? tunnel : 0);
            return n;
        }
        long status = 0;
        curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200) {
            curl_off_t length = -1;
            curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (length > 0 && static_cast<unsigned long long>(length) > transfer->room()) {
                transfer->announcedTooLarge = true;
                return 0;  // ends the transfer
            }
            return n;
        }
        if (status < 200) {
            return n;  // informational: the response to the same request follows
        }
        const bool redirect = status >= 300 && status < 400;
        const bool challenge = (status == 401 || status == 407) && answerable(*transfer, status);
        if ((redirect && !redirectEndsHere(*transfer)) || challenge) {
            transfer->requestSent = false;
            goesOn(*transfer, challenge ? status : 0);
            return n;
        }
        transfer->finalStatus = status;
        return 0;  // ends the transfer
    } catch (...) {
        transfer->failure = std::current_exception();
        return 0;  // ends the transfer
    }
}

// Collects the body of a 200 answer. libcurl passes on no body of a response it goes past, so a
// body byte of any other status is the answer: the transfer ends there, the body unread. Every
// body counts toward the bound, with those of the redirects and challenges before it. No
// exception may cross libcurl, so one is carried out and raised again after the transfer.
size_t receive(char* data, size_t size, size_t count, void* userData) {
    auto* transfer = static_cast<Transfer*>(userData);
    const size_t n = size * count;
    try {
        long status = 0;
        curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200) {
            transfer->finalStatus = status;
            return 0;  // ends the transfer
        }
        // Also an answer without a Content-Length (chunked) stops at the bound.
        if (n > transfer->room()) {
            return 0;  // ends the transfer: CURLE_WRITE_ERROR
        }
        transfer->reply->insert(transfer->reply->end(), data, data + n);
        return n;
    } catch (...) {
        transfer->failure = std::current_exception();
        return 0;  // ends the transfer
    }
}

// libcurl calls this right before it sends each request, once the connection (and the tunnel
// through a proxy) stands.
int beforeRequest(void* userData, char*, char*, int, int) {
    static_cast<Transfer*>(userData)->requestSent = true;
    return CURL_PREREQFUNC_OK;
}

// libcurl asks this at least once a second while a transfer runs: the end of the run stops it.
// `received` counts the body of the current response only, and starts again from 0 with the next
// one; the bodies libcurl reads past on its own (a redirect, a challenge) never reach `receive`,
// so the bound over the whole exchange is kept here.
int progress(void* userData, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(userData);
    const auto now = static_cast<size_t>(received);
    if (now < transfer->hopBody) {
        transfer->earlierBodies += transfer->hopBody;  // a new response began
    }
    transfer->hopBody = now;
    return exchangesAborted() || transfer->bodySoFar() > ANSWER_LIMIT ? 1 : 0;
}

// The caller's header text, one header a line (CR LF, or LF alone).
SlistPtr headerList(const std::string& headers) {
    SlistPtr list;
    auto append = [&list](const std::string& line) {
        curl_slist* grown = curl_slist_append(list.get(), line.c_str());
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        (void)list.release();  // now owned by `grown`
        list.reset(grown);
    };
    bool contentType = false;
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos) {
            end = headers.size();
        }
        std::string line = headers.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            if (strncasecmp(line.c_str(), "Content-Type:", 13) == 0) {
                contentType = true;
            }
            append(line);
        }
        start = end + 1;
    }
    // libcurl would add a form Content-Type to every POST and an "Expect: 100-continue" to large
    // ones; the server gets only the headers the caller gives.
    if (!contentType) {
        append("Content-Type:");
    }
    append("Expect:");
    return list;
}

}  // namespace

HttpCurl::HttpCurl(HttpLimits limits) : limits(limits), transportLock(transportMutex()) {}

HttpCurl::~HttpCurl() {
    close();
}

int HttpCurl::open(const std::string& url) {
    try {
        return openUnguarded(url);
    } catch (const std::exception& e) {
        error = e.what();
        return HTTP_ERR_STD_EXCEPTION;
    } catch (...) {
        error = "mv::HttpCurl::open : unkown exception.";
        return HTTP_ERR_OTHER_EXCEPTION;
    }
}

int HttpCurl::openUnguarded(const std::string& url) {
    close();
    std::string hostText;
    std::string portText;
    int scheme = splitUrl(url, hostText, path, portText);
    if (scheme < 0) {
        return HTTP_ERR_BAD_URL;
    }
    secure = scheme == 1;
    curl = curl_easy_init();
    if (curl == nullptr) {
        return HTTP_ERR_INTERNET_OPEN;
    }
    // atoi's number cut to 16 bits, as the port field holds it; no port text, or one that reads
    // as port 0, means the scheme's default port.
    port = static_cast<std::uint16_t>(
        static_cast<unsigned long long>(leadingNumber(portText.c_str())) & 0xFFFF);
    if (port == 0) {
        port = secure ? 443 : 80;
    }
    if (hostText.empty()) {
        close();
        return HTTP_ERR_CONNECT;
    }
    host = hostText;
    return 0;
}

int HttpCurl::requestBody(const ByteBuffer& body, ByteBuffer& reply, std::string headers) {
    return request(body.data(), static_cast<int>(body.size()), reply, std::move(headers));
}

int HttpCurl::request(const unsigned char* body, int size, ByteBuffer& reply, std::string headers) {
    if (curl == nullptr) {
        return HTTP_ERR_NOT_OPEN;
    }
    int result = 0;
    try {
        result = requestUnguarded(body, size, reply, headers);
    } catch (const std::exception& e) {
        error = e.what();
        result = HTTP_ERR_STD_EXCEPTION;
    } catch (...) {
        error = "mv::HttpCurl::request : unkown exception.";
        result = HTTP_ERR_OTHER_EXCEPTION;
    }
    // The request lives only for this call; the handle may serve another one.
    curl_easy_reset(curl);
    if (result != 0) {
        reply.clear();  // part of a body is no answer
    }
    return result;
}

int HttpCurl::requestUnguarded(const unsigned char* body, int size, ByteBuffer& reply,
                               const std::string& headers) {
    errorBuffer[0] = '\0';
    // A size that names no bytes would have libcurl read the body from standard input.
    if (size < 0 || (size > 0 && body == nullptr)) {
        return HTTP_ERR_OPEN_REQUEST;
    }
    // These are the credentials of the server itself, not of a proxy. They answer the server's
    // challenge in whatever scheme it names, Basic included, over http as over https: the
    // signing servers this agent talks to may offer nothing else. With more than one scheme
    // allowed libcurl sends none before the server asks. A proxy's credentials, in its address,
    // answer the proxy's challenge the same way.
    const unsigned long authSchemes = CURLAUTH_ANY;
    const std::string user = credential("MV_PROXY_USERNAME");
    if (!user.empty() && curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str()) != CURLE_OK) {
        return HTTP_ERR_CREDENTIALS;
    }
    const std::string password = credential("MV_PROXY_PASSWORD");
    if (!password.empty() &&
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str()) != CURLE_OK) {
        return HTTP_ERR_CREDENTIALS;
    }

    // Preparing the request: the URL from the parts that open took apart, checked by libcurl's
    // parser so that a host text cannot smuggle in user information or another host.
    // Blanks in the path go out escaped, as the Windows agent's client library sent them;
    // libcurl would refuse the URL.
    std::string target = (secure ? "https://" : "http://") + host + ":" + std::to_string(port);
    for (char c : path) {
        target += c == ' ' ? std::string("%20") : std::string(1, c);
    }
    std::unique_ptr<CURLU, CurlUrlFree> parsed(curl_url());
    if (!parsed) {
        return HTTP_ERR_OPEN_REQUEST;
    }
    char* parsedHost = nullptr;
    if (curl_url_set(parsed.get(), CURLUPART_URL, target.c_str(), 0) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_HOST, &parsedHost, 0) != CURLUE_OK ||
        host != parsedHost) {
        curl_free(parsedHost);
        setCurlError(CURLE_URL_MALFORMAT);
        return HTTP_ERR_SEND;
    }
    curl_free(parsedHost);

    SlistPtr headerLines = headerList(headers);
    Transfer transfer;
    transfer.curl = curl;
    transfer.reply = &reply;
    // libcurl answers the server only with a user name; a password alone is never sent.
    transfer.serverCredentials = !user.empty();
    transfer.origin = originOf(target.c_str());
    bool ok = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_URL, target.c_str()) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, seconds(limits.connect)) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, seconds(limits.stall)) == CURLE_OK &&
              // A server that trickles bytes never stalls; this ends it.
              curl_easy_setopt(curl, CURLOPT_TIMEOUT, seconds(limits.total)) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_USERAGENT, USER_AGENT) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerLines.get()) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_HTTPAUTH, authSchemes) == CURLE_OK &&
              // No CURLOPT_PROXY: libcurl reads the environment for each hop, a redirect to
              // another scheme or host included.
              curl_easy_setopt(curl, CURLOPT_PROXYAUTH, authSchemes) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, beforeRequest) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_PREREQDATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receive) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
              // Not CURLOPT_MAXFILESIZE: it refuses a Content-Length before the status is known,
              // so a failure status would read as an oversized answer.
              curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, header) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer) == CURLE_OK &&
              // Peers are always verified; there is no retry with the checks off.
              curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    // Another trust store, named the way OpenSSL programs take it.
    const char* caFile = std::getenv("SSL_CERT_FILE");
    if (ok && caFile != nullptr && *caFile != '\0') {
        ok = curl_easy_setopt(curl, CURLOPT_CAINFO, caFile) == CURLE_OK;
    }
    const char* caDir = std::getenv("SSL_CERT_DIR");
    if (ok && caDir != nullptr && *caDir != '\0') {
        ok = curl_easy_setopt(curl, CURLOPT_CAPATH, caDir) == CURLE_OK;
    }
    if (ok && size != 0) {
        ok = curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size)) ==
                 CURLE_OK &&
             curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body) == CURLE_OK;
    }
    if (!ok) {
        return HTTP_ERR_OPEN_REQUEST;
    }

    CURLcode code = curl_easy_perform(curl);
    if (transfer.failure) {
        std::rethrow_exception(transfer.failure);
    }
    if (transfer.finalStatus != 0) {
        error = "HTTP STATUS = " + std::to_string(transfer.finalStatus);
        return HTTP_ERR_STATUS;
    }
    if (transfer.announcedTooLarge) {
        error = curl_easy_strerror(CURLE_FILESIZE_EXCEEDED);  // "Maximum file size exceeded"
        return HTTP_ERR_READ;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status == 0) {
        // No answer arrived: the request did not get through.
        setCurlError(code);
        return HTTP_ERR_SEND;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (status == 200 && length > 0 &&
        (code == CURLE_PARTIAL_FILE ||
         (code == CURLE_OK && reply.size() < static_cast<size_t>(length)))) {
        return HTTP_ERR_SHORT_BODY;
    }
    if (code != CURLE_OK) {
        // libcurl ended the transfer (a limit, the answer bound, the run's end, or a reason of its
        // own), maybe inside a response it was going past: its words say why, that response's
        // status would not.
        setCurlError(code);
        return HTTP_ERR_READ;
    }
    if (status != 200) {
        error = "HTTP STATUS = " + std::to_string(status);
        return HTTP_ERR_STATUS;
    }
    if (length == 0) {
        return HTTP_ERR_EMPTY_LENGTH;
    }
    return 0;
}

const char* HttpCurl::errorMessage() {
    return error.empty() ? "No message." : error.c_str();
}

void HttpCurl::close() {
    path.clear();
    host.clear();
    port = 0;
    secure = false;
    if (curl != nullptr) {
        curl_easy_cleanup(curl);
        curl = nullptr;
    }
}

void HttpCurl::setCurlError(CURLcode code) {
    if (errorBuffer[0] != '\0') {
        error = errorBuffer;
    } else if (const char* text = curl_easy_strerror(code); text != nullptr && *text != '\0') {
        error = text;
    } else {
        error = "HTTP error(" + std::to_string(static_cast<int>(code)) + ")";
    }
}

}  // namespace mv

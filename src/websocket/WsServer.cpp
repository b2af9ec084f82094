#include "websocket/WsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <new>
#include <system_error>

#include "foundation/Base64.h"
#include "platform/SocketPeer.h"

namespace mv {

namespace {

// RFC 6455, section 1.3: the GUID appended to the client's key.
constexpr char WS_GUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string withErrno(const char* text, int error) {
    return text + std::to_string(error);
}

// Sends everything or fails. MSG_NOSIGNAL: a client that has gone must give an error here, not a
// SIGPIPE that ends the process.
long sendAll(int socket, const unsigned char* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(socket, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<long>(sent);
}

long receiveSome(int socket, unsigned char* buffer, size_t length) {
    ssize_t n;
    do {
        n = ::recv(socket, buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Header bytes of a client frame as far as its first `received` bytes tell: 2 until the length
// byte is there, then 2, 4 or 10 plus 4 for a masking key.
size_t headerNeed(const unsigned char* data, size_t received) {
    if (received < 2) {
        return 2;
    }
    unsigned lengthCode = data[1] & 0x7F;
    size_t need = 2;
    if (lengthCode == 126) {
        need += 2;
    } else if (lengthCode == 127) {
        need += 8;
    }
    if ((data[1] & 0x80) != 0) {
        need += 4;
    }
    return need;
}

// The peer has closed (or reset) the connection and sent nothing before it did.
bool closedWithoutAWord(int socket) {
    unsigned char byte = 0;
    ssize_t n;
    do {
        n = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Reset rather than closed in order: a refused client gets nothing more, and the closing
// handshake is the costliest part of a refusal. (A client whose request is left unread is reset on
// close all the same.)
void resetAndClose(int socket) {
    linger abortive{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(socket);
}

using Clock = std::chrono::steady_clock;

// Waits until `deadline` for the socket to become readable: 1 readable, 0 time-out, -1 failure
// (errno set). poll rather than select: select cannot watch descriptors past FD_SETSIZE.
int waitReadableUntil(int socket, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        long long ms = left.count() < 0 ? 0 : left.count();
        pollfd fd{socket, POLLIN, 0};
        int r = ::poll(&fd, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r == 0 && Clock::now() < deadline) {
            continue;  // a wait longer than poll can take at once
        }
        return r;
    }
}

// As waitReadableUntil, for `timeoutSeconds` from now.
int waitReadable(int socket, int timeoutSeconds) {
    if (timeoutSeconds < 0) {
        errno = EINVAL;
        return -1;
    }
    return waitReadableUntil(socket, Clock::now() + std::chrono::seconds(timeoutSeconds));
}

}  // namespace

WsServer::WsServer() = default;

WsServer::~WsServer() {
    waitCommandThread();
    if (state >= 0) {
        state = 0;
        dropSockets();
    }
    // What WSACleanup does on Windows: the listening sockets end with the server.
    for (int socket : heldListenSockets) {
        ::close(socket);
    }
}

int WsServer::setError(int code, const char* text) {
    std::lock_guard<std::mutex> guard(lock);
    return setErrorLocked(code, text);
}

int WsServer::setErrorLocked(int code, const char* text) {
    lastError.clear();
    if (text == nullptr) {
        return code;
    }
    lastError = text;
    if (code < 0) {
        lastError += " (" + std::to_string(code) + ")";
    }
    return code;
}

std::string WsServer::errorText() {
    std::lock_guard<std::mutex> guard(lock);
    return lastError;
}

void WsServer::dropSockets() {
    if (clientSocket >= 0) {
        ::close(clientSocket);
    }
    if (listenSocket >= 0) {
        heldListenSockets.push_back(listenSocket);
    }
    clientSocket = -1;
    listenSocket = -1;
}

int WsServer::open(int port, int timeoutSeconds) {
    if (state < 0) {
        return setError(-400, "open init: not initialized.");
    }
    auto fail = [this](int code, const std::string& text) {
        state = 0;
        dropSockets();
        return setError(code, text.c_str());
    };

    // Non-blocking, so that the wait below can empty the queue of connections and learn that it
    // is empty; an accepted socket does not inherit this.
    listenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenSocket < 0) {
        return fail(-401, withErrno("open socket: ", errno));
    }
    // A run started right after the previous one on the same port must not wait for TIME_WAIT.
    int one = 1;
    ::setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Loopback only: the agent signs on command, so nothing but this machine may reach it.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail(-402, withErrno("open bind: ", errno));
    }
    // The longest queue the system allows: the kernel silently caps the backlog at
    // net.core.somaxconn, so asking for INT_MAX asks for that. Once the queue is full, a new
    // connection is dropped, the page's among them, and its retries come seconds apart: another
    // user's connections must not be able to fill it while the wait below refuses them.
    if (::listen(listenSocket, INT_MAX) != 0) {
        return fail(-403, withErrno("open listen: ", errno));
    }
    if (timeoutSeconds < 0) {
        return fail(-404, withErrno("open select: ", EINVAL));
    }
    // A page's browser runs as the user who started the agent: a client of another user is closed
    // at once, and the wait for the page goes on until the launch time-out.
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    PeerUidLookup owners;
    const uid_t self = geteuid();
    std::vector<RefusedClient> refused;
    auto tellRefused = [&] {
        if (refusedClients && !refused.empty()) {
            refusedClients(refused);
        }
        refused.clear();
    };
    auto refuse = [&](RefusedClient client) {
        resetAndClose(clientSocket);
        clientSocket = -1;
        refused.push_back(client);
        if (refused.size() >= REFUSALS_TOLD_AT_ONCE) {
            tellRefused();
        }
    };
    std::vector<char> request(REQUEST_BLOCK + 1, '\0');
    for (bool heard = false; !heard;) {
        for (bool served = false; !served;) {
            // A time-out sets no error of its own, so it reports 0.
            errno = 0;
            if (waitReadableUntil(listenSocket, deadline) <= 0) {
                tellRefused();
                return fail(-404, withErrno("open select: ", errno));
            }
            // Every connection queued is taken before the next wait, so that the queue empties
            // as fast as clients can fill it.
            for (;;) {
                clientSocket = ::accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
                if (clientSocket < 0 && errno == EINTR) {
                    continue;
                }
                if (clientSocket < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    break;
                }
                // Not examined: a failed accept leaves -1, whose receive gets nothing and ends in
                // -405.
                if (clientSocket < 0) {
                    served = true;
                    break;
                }
                // A client that has closed or reset its end before sending a byte can send no
                // request: it is no page. It is refused without asking its owner, for connections
                // that come and go at once are what a flood is made of.
                if (closedWithoutAWord(clientSocket)) {
                    refuse({true, std::nullopt});
                } else if (std::optional<uid_t> owner = owners.ownerOf(clientSocket);
                           owner == self) {
                    served = true;
                    break;
                } else {
                    refuse({false, owner});
                }
                // Clients that keep coming keep the queue filled: they must not stretch the wait.
                if (Clock::now() >= deadline) {
                    tellRefused();
                    return fail(-404, withErrno("open select: ", 0));
                }
            }
            tellRefused();
        }

        // One receive: a request that arrives in pieces is judged by its first piece. A client
        // that connects and says nothing gets the launch time-out too, then counts as nothing
        // received.
        if (clientSocket < 0 || waitReadable(clientSocket, timeoutSeconds) <= 0) {
            break;
        }
        heard = receiveSome(clientSocket, reinterpret_cast<unsigned char*>(request.data()),
                            REQUEST_BLOCK) > 0;
        // Closed (or reset) before a word, like those refused above, only later than its
        // acceptance: the wait for the page goes on, whenever the close came.
        if (!heard) {
            refuse({true, std::nullopt});
            tellRefused();
        }
    }
    std::string requestLine;
    std::map<std::string, std::string> headers;
    if (parseHeader(request.data(), requestLine, headers) <= 0) {
        return fail(-405, "open parse: no buffer.");
    }
    if (requestLine != "GET / HTTP/1.1") {
        return fail(-406, "open parse: invalid method = " + requestLine);
    }
    auto upgrade = headers.find("Upgrade");
    if (upgrade == headers.end() || upgrade->second != "websocket") {
        return fail(-407, "open parse: invalid protocol.");
    }
    auto key = headers.find("Sec-WebSocket-Key");
    if (key == headers.end() || key->second.empty()) {
        return fail(-408, "open parse: no websocket key.");
    }
    std::string accept;
    int rc = calcRespKey(key->second, accept);
    if (rc < 0) {
        return fail(rc, "open calcRespKey: response websocket key.");
    }
    std::string response =
        "HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
        accept + "\r\n\r\n";
    if (sendAll(clientSocket, reinterpret_cast<const unsigned char*>(response.data()),
                response.size()) < 0) {
        return fail(-408, "open send: connection response send error.");
    }
    state = 1;
    // The longest queue was for the wait: kept for the session, it would let another user park
    // thousands of connections, and the data they carry, in the kernel for as long as the page's
    // session lasts. Nobody accepts them any more, so those already queued are reset.
    if (::listen(listenSocket, QUEUE_AFTER_PAGE) == 0) {
        for (;;) {
            int waiting = ::accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (waiting >= 0) {
                resetAndClose(waiting);
            } else if (errno != EINTR) {
                break;
            }
        }
    }
    return 0;
}

void WsServer::close() {
    waitCommandThread();
    if (state >= 0) {
        state = 0;
        dropSockets();
    }
}

void WsServer::waitCommandThread() {
    if (commandThread.joinable()) {
        commandThread.join();
    }
}

bool WsServer::waitCommandThreadUntil(std::chrono::steady_clock::time_point deadline) {
    if (commandThread.joinable() && commandEnded.valid() &&
        commandEnded.wait_until(deadline) == std::future_status::timeout) {
        return false;
    }
    waitCommandThread();
    return true;
}

int WsServer::parseHeader(const char* text, std::string& requestLine,
                          std::map<std::string, std::string>& headers) {
    if (text == nullptr || text[0] == '\0') {
        return 0;
    }
    headers.clear();
    std::string token;
    std::string name;  // the pending header name; empty when none is pending
    for (const char* p = text; *p != '\0'; ++p) {
        char c = *p;
        if (c == '\r' && !token.empty()) {
            if (!name.empty()) {
                size_t start = token.find_first_not_of(' ');
                headers[name] = start == std::string::npos ? std::string() : token.substr(start);
                name.clear();
            } else {
                requestLine = token;
            }
            token.clear();
        } else if (c == '\r' || c == '\n') {
            token.clear();
        } else if (c == ':' && token.empty()) {
            // Skipped at the start of a token, also right after a name's own colon.
        } else if (c == ':' && name.empty()) {
            name = token;
            token.clear();
        } else {
            token.push_back(c);
        }
    }
    return static_cast<int>(headers.size());
}

int WsServer::calcRespKey(const std::string& key, std::string& accept) {
    if (key.empty()) {
        return -200;
    }
    std::string input = key + WS_GUID;
    ByteBuffer digest;
    int rc = calcSha1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    if (rc < 0) {
        return rc;
    }
    base64EncodeVec(digest, accept);
    return 0;
}

int WsServer::parseFrame(const unsigned char* data, size_t received, uint32_t& maskKey,
                         size_t& headerLength, uint64_t& payloadLength, uint64_t maxPayload) {
    // Two bytes are a whole header when the frame is unmasked with a 7-bit length.
    if (received < 2) {
        return -500;
    }
    if (data[0] != 0x81) {
        return -501;
    }
    unsigned lengthCode = data[1] & 0x7F;
    bool masked = (data[1] & 0x80) != 0;
    headerLength = 2;
    if (lengthCode == 126) {
        headerLength = 4;
    } else if (lengthCode == 127) {
        headerLength = 10;
    }
    if (masked) {
        headerLength += 4;
    }
    // The header is gathered before it is parsed; only a closed connection leaves it short.
    if (received < headerLength) {
        return -500;
    }
    if (lengthCode <= 125) {
        payloadLength = lengthCode;
    } else if (lengthCode == 126) {
        payloadLength = (uint64_t{data[2]} << 8) | data[3];
    } else {
        // Only the low 32 bits of the 64-bit length count.
        payloadLength = (uint64_t{data[6]} << 24) | (uint64_t{data[7]} << 16) |
                        (uint64_t{data[8]} << 8) | data[9];
    }
    if (payloadLength > maxPayload) {
        return -501;
    }
    maskKey = 0;
    if (masked) {
        const unsigned char* key = data + headerLength - 4;
        maskKey =
            (uint32_t{key[0]} << 24) | (uint32_t{key[1]} << 16) | (uint32_t{key[2]} << 8) | key[3];
    }
    long long remainder =
        static_cast<long long>(headerLength + payloadLength) - static_cast<long long>(received);
    if (remainder > INT_MAX) {
        return INT_MAX;
    }
    return remainder < INT_MIN ? INT_MIN : static_cast<int>(remainder);
}

void WsServer::unmask(unsigned char* data, size_t length, uint32_t maskKey) {
    if (maskKey == 0) {
        return;
    }
    unsigned char key[8];
    for (int i = 0; i < 8; ++i) {
        key[i] = static_cast<unsigned char>(maskKey >> (24 - 8 * (i % 4)));
    }
    uint64_t wide;
    std::memcpy(&wide, key, sizeof wide);
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t chunk;
        std::memcpy(&chunk, data + i, sizeof chunk);
        chunk ^= wide;
        std::memcpy(data + i, &chunk, sizeof chunk);
    }
    for (; i < length; ++i) {
        data[i] ^= key[i % 4];
    }
}

WsServer::FrameEnd WsServer::readFrame(const Receiver& receive, ByteBuffer& block,
                                       ByteBuffer& payload, int& code, uint64_t maxPayload) {
    block.assign(RECEIVE_BLOCK, 0);
    payload.clear();
    code = 0;
    long n = receive(block.data(), RECEIVE_BLOCK);
    if (n < 0) {
        return FrameEnd::ReceiveFailed;
    }
    size_t received = static_cast<size_t>(n);
    // A header split over receives is gathered, asking for no more than the header still needs.
    while (received > 0) {
        size_t need = headerNeed(block.data(), received);
        if (received >= need) {
            break;
        }
        long more = receive(block.data() + received, need - received);
        if (more < 0) {
            return FrameEnd::ReceiveFailed;
        }
        if (more == 0) {
            break;
        }
        received += static_cast<size_t>(more);
    }

    uint32_t maskKey = 0;
    size_t headerLength = 0;
    uint64_t payloadLength = 0;
    code = parseFrame(block.data(), received, maskKey, headerLength, payloadLength, maxPayload);
    if (code < 0) {
        return FrameEnd::ParseFailed;
    }
    if (payloadLength == 0) {
        // An empty frame carries no command, like one too short to hold a header.
        code = -500;
        return FrameEnd::ParseFailed;
    }

    // Sized once, at the announced length; bytes a closed connection never sent stay 0.
    payload.assign(static_cast<size_t>(payloadLength), 0);
    size_t got = received - headerLength;
    if (got > payload.size()) {
        got = payload.size();
    }
    std::memcpy(payload.data(), block.data() + headerLength, got);
    while (got < payload.size()) {
        size_t want = payload.size() - got;
        long more = receive(payload.data() + got, want < RECEIVE_BLOCK ? want : RECEIVE_BLOCK);
        if (more < 0) {
            return FrameEnd::GatherFailed;
        }
        if (more == 0) {
            break;
        }
        got += static_cast<size_t>(more);
    }
    // Only what arrived: bytes that never came stay 0, so the text ends where the data did.
    unmask(payload.data(), got, maskKey);
    return FrameEnd::Complete;
}

void WsServer::frameHeader(uint64_t length, ByteBuffer& out) {
    out.clear();
    out.push_back(0x81);
    if (length <= 125) {
        out.push_back(static_cast<unsigned char>(length));
    } else if (length <= 65535) {
        out.push_back(126);
        out.push_back(static_cast<unsigned char>(length >> 8));
        out.push_back(static_cast<unsigned char>(length));
    } else {
        out.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            out.push_back(static_cast<unsigned char>(length >> shift));
        }
    }
}

int WsServer::loop() {
    if (state < 1) {
        return setError(-600, "loop init: not initialized.");
    }
    running = 0;
    ByteBuffer block;
    ByteBuffer payload;
    Receiver receive = [this](unsigned char* buffer, size_t length) {
        return receiveSome(clientSocket, buffer, length);
    };
    for (;;) {
        int code = 0;
        FrameEnd end;
        try {
            end = readFrame(receive, block, payload, code);
        } catch (const std::bad_alloc&) {
            end = FrameEnd::ParseFailed;
            code = -501;
        }
        switch (end) {
            case FrameEnd::ReceiveFailed:
                return setError(-601, "loop recv: recv error.");
            case FrameEnd::GatherFailed:
                return setError(-602, "loop recv: recv error.");
            case FrameEnd::ParseFailed:
                return setError(code, "loop prase: command parse error.");
            case FrameEnd::Complete:
                break;
        }
        // The text ends at its first NUL, as the command thread reads it.
        const char* text = reinterpret_cast<const char*>(payload.data());
        if (strnlen(text, payload.size()) < 4) {
            return setError(-603, "loop cmd: invalid command length.");
        }
        {
            // Taken while a command thread sends its reply and releases the counter, so a frame
            // that follows a reply always finds the counter released.
            std::lock_guard<std::mutex> guard(lock);
            bool busy = running.load() > 0;
            if (std::memcmp(text, "term", 4) == 0) {
                if (busy) {
                    responseLocked("er,-1");
                    return setErrorLocked(-604, "loop cmd: break.");
                }
                return setErrorLocked(0, "loop: finished.");
            }
            if (busy) {
                return setErrorLocked(-605, "loop cmd: overlap execute.");
            }
        }
        running = 1;
        // Not examined: without a thread the counter stays taken, so later commands are refused
        // as overlapping and "term" is answered with "er,-1".
        (void)startCommand(payload);
    }
}

bool WsServer::startCommand(ByteBuffer& payload) {
    // The previous command has released the counter, its last step; this only reaps it.
    waitCommandThread();
    commandArgs.reset();
    auto args = std::make_unique<CommandThreadArgs>();
    try {
        args->command.emplace(reinterpret_cast<const char*>(payload.data()), payload.size());
    } catch (const std::bad_alloc&) {
        // The thread answers a record without text with the argument error.
    }
    // The thread's copy is the only one kept: the loop's buffer goes before the thread starts,
    // so a large frame is held at most twice, and only while it is copied or split.
    ByteBuffer().swap(payload);
    args->server = this;
    args->running = &running;
    if (commandProc == nullptr) {
        return false;
    }
    commandArgs = std::move(args);
    std::promise<void> ended;
    std::future<void> endedFuture = ended.get_future();
    try {
        commandThread = std::thread(
            [proc = commandProc, record = commandArgs.get(), ended = std::move(ended)]() mutable {
                proc(record);
                ended.set_value();
            });
    } catch (const std::system_error&) {
        return false;
    }
    commandEnded = std::move(endedFuture);
    return true;
}

int WsServer::response(const char* text) {
    std::lock_guard<std::mutex> guard(lock);
    return responseLocked(text);
}

int WsServer::respondAndRelease(const char* text, std::atomic<int64_t>* counter) {
    std::lock_guard<std::mutex> guard(lock);
    int rc = responseLocked(text);
    if (counter != nullptr) {
        counter->fetch_sub(1);
    }
    return rc;
}

int WsServer::responseLocked(const char* text) {
    if (state < 1) {
        return setErrorLocked(-700, "response init: not initialized.");
    }
    if (text == nullptr || text[0] == '\0') {
        return setErrorLocked(-701, "response arg: invalid argument.");
    }
    size_t length = std::strlen(text);
    ByteBuffer frame;
    frameHeader(length, frame);
    frame.insert(frame.end(), text, text + length);
    if (sendAll(clientSocket, frame.data(), frame.size()) < 0) {
        return setErrorLocked(-702, "response send: response send error.");
    }
    return 0;
}

}  // namespace mv

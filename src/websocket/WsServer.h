#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Bytes.h"

namespace mv {

class WsServer;

// What the receive loop hands to each command thread. The record, the server and the counter stay
// valid until the thread has ended: the server owns the record and joins the thread before it
// replaces or releases either.
struct CommandThreadArgs {
    // The thread's own copy of the frame text (the loop reuses its buffers for the next frame);
    // none when the copy could not be made. Read as a C string: it ends at its first NUL.
    std::optional<std::string> command;
    WsServer* server = nullptr;
    // The loop's running-command counter: 1 from just before the thread starts until the thread
    // has sent its reply (see WsServer::respondAndRelease).
    std::atomic<int64_t>* running = nullptr;
};

// The thread procedure of a command; the thread's exit code is its result.
using CommandProc = int (*)(CommandThreadArgs* args);

// Receives at most `length` bytes into `buffer`: the byte count, 0 when the peer has closed the
// connection, negative on failure. The frame reader takes its bytes through one of these so that
// the same code reads a socket, a benchmark's connection and a fuzzer's input.
using Receiver = std::function<long(unsigned char* buffer, size_t length)>;

// The server side of the one WebSocket connection of a run: it listens on 127.0.0.1 only, waits for
// one client, checks its upgrade request, answers with the RFC 6455 accept key and then carries
// text frames both ways. Every operation returns a result code and leaves its failure text in
// `lastError` (followed by " (code)" for negative codes). The server's codes are its own; the
// result-message table does not know them.
class WsServer {
public:
    // Payload bytes of one client frame at most. A frame announcing more ends the loop as a parse
    // error before anything is allocated; the bound leaves room for large XML documents in Base64.
    static constexpr uint64_t MAX_PAYLOAD = 128u * 1024 * 1024;
    // Bytes asked for by each receive of the loop.
    static constexpr size_t RECEIVE_BLOCK = 2048;
    // Bytes of the upgrade request read by the one receive of the handshake.
    static constexpr size_t REQUEST_BLOCK = 4096;
    // Connections that may queue, unanswered, once the page is served.
    static constexpr int QUEUE_AFTER_PAGE = 5;

    // State 0, no sockets. (WinSock's start, and its failure -300 with state -1, have no Linux
    // counterpart: sockets need no start.)
    WsServer();
    // Waits for a command thread that still runs, then closes the client and listening sockets.
    ~WsServer();
    WsServer(const WsServer&) = delete;
    WsServer& operator=(const WsServer&) = delete;

    // Listens on 127.0.0.1:`port`, waits up to `timeoutSeconds` for one client of this process's
    // user (0 only polls; others, and clients gone before a word, are reset as they come, and the
    // queue of connections is emptied before each wait), then as long again for its upgrade
    // request, reads it with one receive and answers it; a client that closes instead is reset
    // too, and the wait goes on. Once the page is in, the queue is QUEUE_AFTER_PAGE long again and
    // whatever waits in it is reset. 0 on success (state 1). -400 not
    // initialised; -401 socket; -402 bind (port in use); -403 listen; -404 no client in time (or
    // the wait failed); -405 nothing parsable received (or nothing in time); -406 request line is
    // not "GET / HTTP/1.1"; -407 "Upgrade" missing or not "websocket"; -408 no
    // "Sec-WebSocket-Key", or the response could not be sent; -100 to -104 the SHA-1 of the accept
    // key failed.
    int open(int port, int timeoutSeconds);
    // Waits for a command thread that still runs, then closes the client socket; state 0. Harmless
    // when nothing was opened, or twice. The listening socket stays open (further connection
    // attempts queue unanswered) until destruction.
    void close();

    // Serves commands until one of its ends; runs on the caller's thread. Each command frame is
    // handed to `commandProc` on a thread of its own.
    // 0 "term" while idle ("loop: finished."); -600 no connection; -601 receive failed at the start
    // of a frame, -602 while gathering one; -500 connection closed, a short header or an empty
    // payload, -501 not a single final text frame or a payload above MAX_PAYLOAD, -n a receive held
    // n bytes beyond its frame (all "loop prase: command parse error."); -603 text shorter than 4
    // bytes; -604 "term" while a command runs (after sending "er,-1"); -605 another command while
    // one runs (no reply).
    int loop();

    // Sends `text` (up to its NUL) as one unmasked final text frame. 0 on success; -700 no
    // connection; -701 null or empty text (nothing is sent); -702 the send failed. Never overlaps
    // another reply.
    int response(const char* text);
    // The command thread's last step: sends its reply and releases the running-command counter as
    // one step, so that a frame the client sends after the reply never finds the counter taken.
    // The result is that of `response`.
    int respondAndRelease(const char* text, std::atomic<int64_t>* running);

    // Waits until the command thread started by the loop (if any) has ended. The end of WebSocket
    // mode calls this after `loop` returns and before it releases the runner and its signer: the
    // loop can end ("term" or an overlapping command while a command runs) with the thread still
    // working through them. `close` and the destructor call it too. Call it from the thread that
    // runs `loop`, never from a command thread.
    void waitCommandThread();
    // The same wait, until `deadline` at most: true when no command thread runs any more, false
    // when it still does (it is left running, and the record, the counter and the server stay in
    // its use).
    bool waitCommandThreadUntil(std::chrono::steady_clock::time_point deadline);

    // Empties `lastError`; for a non-null text stores it, and for a negative code appends
    // " (code)". Returns the code.
    int setError(int code, const char* text);
    // A copy of `lastError` taken under the server's lock: use it instead of the field while a
    // command thread may still be running.
    std::string errorText();

    // A client that `open` refused: one that closed (or half-closed) its end before its request,
    // whose owner is not asked; otherwise one that another user owns, or whose owner could not be
    // found (none).
    struct RefusedClient {
        bool closedBeforeRequest = false;
        std::optional<uid_t> owner;
    };
    // Told about the clients that `open` refused, in the order they came. They are told a few at
    // a time (at most REFUSALS_TOLD_AT_ONCE, and every time the queue of connections has been
    // emptied), so that a flood of them costs one log write per batch, not one per client. Set it
    // before `open`.
    using RefusedClients = std::function<void(const std::vector<RefusedClient>& clients)>;
    void setRefusedClients(RefusedClients handler) { refusedClients = std::move(handler); }
    static constexpr size_t REFUSALS_TOLD_AT_ONCE = 256;

    // The thread procedure for commands; set it before `loop`. Without one, a command is treated
    // as a thread that could not be started: the counter stays taken.
    void setCommandProc(CommandProc proc) { commandProc = proc; }

    // The upgrade request parser: the request line (the last line without a colon) and the header
    // map. Lines end with CR; a line ended by a bare LF is dropped; a value loses its leading
    // blanks only. Returns the number of distinct header names; 0 for a null or empty text.
    static int parseHeader(const char* text, std::string& requestLine,
                           std::map<std::string, std::string>& headers);
    // The accept key of RFC 6455: Base64 of the SHA-1 of key + the protocol's GUID. 0; -200 for an
    // empty key; the digest's code when SHA-1 fails.
    static int calcRespKey(const std::string& key, std::string& accept);
    // SHA-1 through NSS. 0; -100 NSS could not be initialised; -102 hashing failed.
    static int calcSha1(const unsigned char* data, size_t length, ByteBuffer& digest);

    // Reads a client frame's header from the first `received` bytes. -500 fewer than the header
    // needs (at least 2 bytes); -501 the first byte is not 0x81 (final text frame), or the
    // payload length exceeds `maxPayload`. Otherwise header length + payload length - received:
    // positive = bytes still to come, 0 = complete, negative = bytes beyond the frame. `maskKey`
    // is 0 for an unmasked frame (the key's bytes in arrival order, big-endian).
    static int parseFrame(const unsigned char* data, size_t received, uint32_t& maskKey,
                          size_t& headerLength, uint64_t& payloadLength,
                          uint64_t maxPayload = MAX_PAYLOAD);

    // How one frame read ended.
    enum class FrameEnd { Complete, ReceiveFailed, GatherFailed, ParseFailed };
    // Reads one client frame through `receive`: one block of at most RECEIVE_BLOCK bytes into
    // `block`, further receives until the header is whole, then the payload, gathered over as
    // many receives as it takes (asking no more than the frame still needs), and unmasked into
    // `payload`. A connection closed while gathering leaves the missing bytes 0. `code` is the
    // parse result on ParseFailed.
    static FrameEnd readFrame(const Receiver& receive, ByteBuffer& block, ByteBuffer& payload,
                              int& code, uint64_t maxPayload = MAX_PAYLOAD);
    // XORs byte i with key byte i mod 4, the key's first byte being its most significant.
    static void unmask(unsigned char* data, size_t length, uint32_t maskKey);
    // The reply frame's header for a payload of `length` bytes (2, 4 or 10 bytes).
    static void frameHeader(uint64_t length, ByteBuffer& out);

    std::string lastError;
    // -1 not initialised; 0 no connection; 1 connected and the handshake done.
    int state = 0;
    int listenSocket = -1;
    // Shared: the loop receives on it while a command thread sends its reply.
    int clientSocket = -1;

private:
    int setErrorLocked(int code, const char* text);
    int responseLocked(const char* text);
    // Closes the client socket and forgets both handles; the listening socket is kept for the
    // destructor.
    void dropSockets();
    // Starts `commandProc` on a copy of the text and releases `payload`; returns false when no
    // thread could be started.
    bool startCommand(ByteBuffer& payload);

    // Guards the counter check of the loop, every reply on the wire, the counter's release after
    // a reply, and `lastError`.
    std::mutex lock;
    std::atomic<int64_t> running{0};
    CommandProc commandProc = nullptr;
    RefusedClients refusedClients;
    std::unique_ptr<CommandThreadArgs> commandArgs;
    std::thread commandThread;
    // Ready when the command thread has ended, so that a wait can end without it.
    std::future<void> commandEnded;
    // Listening sockets that lost their handle on failure or close; without WinSock's clean-up to
    // release them, the destructor does.
    std::vector<int> heldListenSockets;
};

}  // namespace mv

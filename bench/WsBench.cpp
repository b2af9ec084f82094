// WebSocket round trips and frame reading on 127.0.0.1.
//
// BM_VersRoundTrip: "vers" over a real server and command thread (one thread and one log line per
// command, as in a run), 10,000 in sequence on one connection; median and p99 of the round trip.
// BM_TcpPingPong: the same sizes (a 10-byte request, a 16-byte reply) between two plain sockets,
// the floor that the loopback itself sets. BM_FixedReplyRoundTrip: the server and a command thread
// that answers at once, without the command layer and its log line. BM_Receive16MiBFrame: one
// masked 16 MiB frame received and unmasked by the frame reader. BM_SignRoundTrip: "sign" of a
// SHA-256 hash with the store signer (a 2048-bit RSA key in a fresh NSS database), beside the
// "vers" round trip: the signature, its worker thread and the progress window's start and close.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/CmdRunner.h"
#include "app/CommandThread.h"
#include "foundation/Text.h"
#include "websocket/WsServer.h"

namespace {

constexpr int ROUND_TRIPS = 10000;
using Clock = std::chrono::steady_clock;

int listenLoopback(int& port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(s, 1);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

int freePort() {
    int port = 0;
    ::close(listenLoopback(port));
    return port;
}

int connectLoopback(int port) {
    for (;;) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            return s;
        }
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool readExactly(int s, unsigned char* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::recv(s, buffer + got, length - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void writeAll(int s, const unsigned char* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = ::send(s, data + sent, length - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

std::vector<unsigned char> maskedFrame(const std::string& text) {
    const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
    std::vector<unsigned char> frame;
    mv::WsServer::frameHeader(text.size(), frame);
    frame[1] |= 0x80;
    frame.insert(frame.end(), key, key + 4);
    for (size_t i = 0; i < text.size(); ++i) {
        frame.push_back(static_cast<unsigned char>(text[i]) ^ key[i % 4]);
    }
    return frame;
}

void reportLatencies(benchmark::State& state, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
}

// The reply of "vers" without the command layer: what the server and its threads cost alone.
int fixedReplyProc(mv::CommandThreadArgs* args) {
    args->server->respondAndRelease("0,djEuMS5SMQ==", args->running);
    return 0;
}

// Reads one unmasked reply frame of the server (header and payload).
bool readReply(int s, std::vector<unsigned char>& reply) {
    unsigned char head[4];
    if (!readExactly(s, head, 2)) {
        return false;
    }
    size_t length = head[1] & 0x7f;
    if (length == 126) {
        if (!readExactly(s, head + 2, 2)) {
            return false;
        }
        length = (size_t{head[2]} << 8) | head[3];
    }
    reply.resize(length);
    return readExactly(s, reply.data(), length);
}

void roundTrips(benchmark::State& state, mv::CommandProc proc, const std::string& command = "vers",
                int count = ROUND_TRIPS) {
    const std::vector<unsigned char> request = maskedFrame(command);
    std::vector<double> micros;
    micros.reserve(count);
    for (auto _ : state) {
        int port = freePort();
        mv::WsServer server;
        server.setCommandProc(proc);
        std::thread serving([&] {
            if (server.open(port, 10) == 0) {
                server.loop();
            }
        });
        int s = connectLoopback(port);
        std::string hello =
            "GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: bench\r\n\r\n";
        writeAll(s, reinterpret_cast<const unsigned char*>(hello.data()), hello.size());
        std::string response;
        unsigned char c;
        while (response.find("\r\n\r\n") == std::string::npos && readExactly(s, &c, 1)) {
            response.push_back(static_cast<char>(c));
        }
        std::vector<unsigned char> reply;
        micros.clear();
        for (int i = 0; i < count; ++i) {
            auto start = Clock::now();
            writeAll(s, request.data(), request.size());
            if (!readReply(s, reply) || reply.empty() || reply[0] != '0') {
                state.SkipWithError("no reply, or a failure");
                break;
            }
            micros.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        auto term = maskedFrame("term");
        writeAll(s, term.data(), term.size());
        serving.join();
        server.close();
        ::close(s);
    }
    reportLatencies(state, micros);
}

void BM_VersRoundTrip(benchmark::State& state) {
    char dirTemplate[] = "/tmp/mvbench.XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    setenv("TMPDIR", dir.c_str(), 1);
    auto runner = std::make_unique<mv::CmdRunner>();
    std::string log = dir + "/QuarnelCmd-error.log";
    runner->logPath = mv::utf8ToWString(log.data(), log.size());
    roundTrips(state, mv::wsCommandThreadProc);
    runner.reset();
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_VersRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SignRoundTrip(benchmark::State& state) {
    char dirTemplate[] = "/tmp/mvbench.XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    setenv("TMPDIR", dir.c_str(), 1);
    setenv("HOME", dir.c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::string db = " -d sql:" + dir + "/.pki/nssdb";
    std::string make = "mkdir -p " + dir + "/.pki/nssdb && head -c 64 /dev/urandom >" + dir +
                       "/noise && certutil -N --empty-password" + db +
                       " && certutil -S -x -n bench -s CN=bench -t u,u,u -k rsa -g 2048 -z " + dir +
                       "/noise" + db + " >/dev/null 2>&1";
    auto runner = std::make_unique<mv::CmdRunner>();
    std::string log = dir + "/QuarnelCmd-error.log";
    runner->logPath = mv::utf8ToWString(log.data(), log.size());
    mv::ByteBuffer certificate;
    if (std::system(make.c_str()) != 0 || runner->apiInit(0x4, nullptr, nullptr) != 0 ||
        runner->getCert(0, nullptr, certificate) != 0) {
        state.SkipWithError("no store certificate");
    } else {
        // "sign,0,<Base64 of the hash in hexadecimal>,0," with a SHA-256-sized hash.
        roundTrips(state, mv::wsCommandThreadProc,
                   "sign,0,MDAwMTAyMDMwNDA1MDYwNzA4MDkwQTBCMEMwRDBFMEYxMDExMTIxMzE0MTUxNjE3MTgx"
                   "OTFBMUIxQzFEMUUxRg==,0,",
                   1000);
    }
    runner.reset();
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SignRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FixedReplyRoundTrip(benchmark::State& state) {
    roundTrips(state, fixedReplyProc);
}
BENCHMARK(BM_FixedReplyRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_TcpPingPong(benchmark::State& state) {
    const size_t requestSize = 10;  // a masked "vers" frame
    const size_t replySize = 16;    // the frame of "0,djEuMS5SMQ=="
    std::vector<double> micros;
    micros.reserve(ROUND_TRIPS);
    for (auto _ : state) {
        int port = 0;
        int listener = listenLoopback(port);
        std::thread echo([&] {
            int c = ::accept(listener, nullptr, nullptr);
            unsigned char in[requestSize];
            unsigned char out[replySize] = {};
            while (readExactly(c, in, requestSize)) {
                writeAll(c, out, replySize);
            }
            ::close(c);
        });
        int s = connectLoopback(port);
        unsigned char request[requestSize] = {};
        unsigned char reply[replySize];
        micros.clear();
        for (int i = 0; i < ROUND_TRIPS; ++i) {
            auto start = Clock::now();
            writeAll(s, request, requestSize);
            readExactly(s, reply, replySize);
            micros.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        ::close(s);
        echo.join();
        ::close(listener);
    }
    reportLatencies(state, micros);
}
BENCHMARK(BM_TcpPingPong)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Receive16MiBFrame(benchmark::State& state) {
    const std::vector<unsigned char> frame = maskedFrame(std::string(16 << 20, 'a'));
    int port = 0;
    int listener = listenLoopback(port);
    int client = connectLoopback(port);
    int server = ::accept(listener, nullptr, nullptr);
    mv::Receiver receive = [server](unsigned char* buffer, size_t length) {
        return static_cast<long>(::recv(server, buffer, length, 0));
    };
    mv::ByteBuffer block;
    mv::ByteBuffer payload;
    for (auto _ : state) {
        std::thread writer([&] { writeAll(client, frame.data(), frame.size()); });
        auto start = Clock::now();
        int code = 0;
        auto end = mv::WsServer::readFrame(receive, block, payload, code);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        writer.join();
        if (end != mv::WsServer::FrameEnd::Complete || payload.size() != (16u << 20) ||
            payload[12345] != 'a') {
            state.SkipWithError("frame not read");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (16 << 20));
    ::close(client);
    ::close(server);
    ::close(listener);
}
BENCHMARK(BM_Receive16MiBFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();

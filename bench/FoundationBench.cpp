#include <benchmark/benchmark.h>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Base64.h"
#include "foundation/ErrorLog.h"
#include "foundation/Text.h"

// Conversions that carry whole documents: WebSocket arguments and replies in Base64, certificates
// and signatures in hex, log and option texts in the thread's code page.
static void Base64Encode1MiB(benchmark::State& s) {
    mv::ByteBuffer data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = i * 31;
    std::string out;
    for (auto _ : s) {
        mv::base64EncodeVec(data, out);
        benchmark::DoNotOptimize(out);
    }
    s.SetBytesProcessed(s.iterations() * data.size());
}
static void Base64Decode1MiB(benchmark::State& s) {
    mv::ByteBuffer data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = i * 31;
    std::string text;
    mv::base64EncodeVec(data, text);
    for (auto _ : s) {
        auto b = mv::base64DecodeStr(text);
        benchmark::DoNotOptimize(b);
    }
    s.SetBytesProcessed(s.iterations() * data.size());
}
static void HexRoundTrip256KiB(benchmark::State& s) {
    mv::ByteBuffer data(1 << 18, 0xA5);
    std::string hex;
    for (auto _ : s) {
        mv::bytesToHex(data, hex);
        auto b = mv::hexToBytes(hex);
        benchmark::DoNotOptimize(b);
    }
    s.SetBytesProcessed(s.iterations() * data.size());
}
static void Utf16ToCp932_64KiB(benchmark::State& s) {
    mv::setThreadCodePage("CP932");
    std::u16string text(1 << 15, u'署');
    std::string out;
    for (auto _ : s) {
        mv::toAnsiString(text.c_str(), out);
        benchmark::DoNotOptimize(out);
    }
    s.SetBytesProcessed(s.iterations() * text.size() * 2);
}
// One log line as a command thread writes it, from a thread of its own (each command has one),
// interleaved with a thread that writes nothing: the medians of both, in microseconds. Their
// difference is the line's cost: open, check, write and close.
static void LogLineOnCommandThread(benchmark::State& s) {
    char dirTemplate[] = "/tmp/mvbench.XXXXXX";
    std::string log = std::string(mkdtemp(dirTemplate)) + "/QuarnelCmd-error.log";
    std::u16string path(log.begin(), log.end());
    std::vector<double> bare, withLine;
    auto timed = [](std::vector<double>& into, auto&& work) {
        auto start = std::chrono::steady_clock::now();
        std::thread(work).join();
        into.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    };
    for (auto _ : s) {
        for (int i = 0; i < 5000; ++i) {
            timed(bare, [] {});
            timed(withLine, [&] {
                mv::writeLogFile(path.c_str(), u"vers cmd accept.", u"ws-command", true);
            });
        }
    }
    for (auto* v : {&bare, &withLine}) {
        std::sort(v->begin(), v->end());
    }
    s.counters["thread_median_us"] = bare[bare.size() / 2];
    s.counters["thread_and_line_median_us"] = withLine[withLine.size() / 2];
    std::filesystem::remove_all(std::filesystem::path(log).parent_path());
}
BENCHMARK(LogLineOnCommandThread)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Base64Encode1MiB);
BENCHMARK(Base64Decode1MiB);
BENCHMARK(HexRoundTrip256KiB);
BENCHMARK(Utf16ToCp932_64KiB);
BENCHMARK_MAIN();

#include <benchmark/benchmark.h>
#include <string>
#include "foundation/Base64.h"
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
BENCHMARK(Base64Encode1MiB);
BENCHMARK(Base64Decode1MiB);
BENCHMARK(HexRoundTrip256KiB);
BENCHMARK(Utf16ToCp932_64KiB);
BENCHMARK_MAIN();

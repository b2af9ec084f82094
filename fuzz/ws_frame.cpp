// The frame reader: header gathering, parsing, payload gathering and unmasking, with the input cut
// into receives whose sizes the first bytes choose.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "websocket/WsServer.h"

namespace {
// Small enough that the fuzzer does not spend its time zeroing buffers.
constexpr uint64_t FUZZ_MAX_PAYLOAD = 1 << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    size_t cut = data[0] == 0 ? 1 : data[0];
    bool failAtEnd = (data[1] & 1) != 0;
    const uint8_t* input = data + 2;
    size_t left = size - 2;
    bool failed = false;
    mv::Receiver receive = [&](unsigned char* buffer, size_t length) -> long {
        if (left == 0) {
            if (failAtEnd && !failed) {
                failed = true;
                return -1;
            }
            return 0;
        }
        size_t n = std::min({length, left, cut});
        std::memcpy(buffer, input, n);
        input += n;
        left -= n;
        return static_cast<long>(n);
    };
    mv::ByteBuffer block;
    mv::ByteBuffer payload;
    int code = 0;
    auto end = mv::WsServer::readFrame(receive, block, payload, code, FUZZ_MAX_PAYLOAD);
    if (end == mv::WsServer::FrameEnd::Complete &&
        (payload.empty() || payload.size() > FUZZ_MAX_PAYLOAD)) {
        std::abort();
    }
    if (end == mv::WsServer::FrameEnd::ParseFailed && code >= 0) {
        std::abort();
    }
    return 0;
}

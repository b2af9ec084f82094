#pragma once

#include <string>

#include "foundation/Bytes.h"

namespace mv {

// The server-exchange object a signer owns: where requests go (a server's base URL, or with
// "debug://" the command line of a local program that takes the server's place), the sid that
// request documents carry, and the text of the last transport failure.
class QuarnelHttp {
public:
    // Longest command line (stored command text plus the send's path) in UTF-16 units.
    static constexpr size_t MAX_COMMAND_LINE = 1023;
    // The most of a local program's output that becomes the reply.
    static constexpr size_t MAX_COMMAND_REPLY = 10240;

    QuarnelHttp() = default;
    virtual ~QuarnelHttp() = default;

    // Replaces the whole address state. A url that begins with exactly "debug://" (case
    // matters) selects command mode with the rest as the command text. Any argument may be
    // null. Always 0.
    int httpSet(const char16_t* url, const char16_t* sid, const char16_t* option3);

    // Sends `size` bytes of `body` to `url` followed by `urlOrPath` (or to `urlOrPath` alone when
    // the lowest bit of `absolute` is set) and puts the answer into `reply`.
    // Returns 0, -10 with the place "httpSend" for a missing path or body, zero size, or a
    // relative send without a base URL, or -20 with the failing step in `errorPlace`:
    // "HttpConnect:open", "HttpConnect:request" (both with the transport's text in httpError),
    // "HttpConnect:response" (empty answer), "HttpConnect:CommandLine" (command line too long),
    // "HttpConnect:CreatePipe-1", "HttpConnect:DuplicateHandle-1", "HttpConnect:CreatePipe-2",
    // "HttpConnect:WaitForSingleObject" (the program could not be started or waited for).
    // In command mode a program that writes nothing gives 0 and an empty reply.
    int httpSend(const char16_t* urlOrPath, const char16_t* headers, const unsigned char* body,
                 int size, int absolute, ByteBuffer& reply, std::u16string& errorPlace);

    // The address state, read by the signers (sid into request documents, httpError as their
    // getHttpResult).
    bool commandMode = false;
    std::u16string sid;
    std::u16string url;
    std::u16string option3;
    std::string httpError;

private:
    int sendHttp(const char16_t* urlOrPath, const char16_t* headers, const unsigned char* body,
                 int size, bool absolute, ByteBuffer& reply, std::u16string& errorPlace);
    int sendCommand(const char16_t* urlOrPath, const unsigned char* body, int size,
                    ByteBuffer& reply, std::u16string& errorPlace);
};

}  // namespace mv

#include "exchange/QuarnelHttp.h"

#include "exchange/HttpCurl.h"
#include "foundation/Text.h"
#include "platform/Process.h"

namespace mv {
namespace {

constexpr char16_t COMMAND_PREFIX[] = u"debug://";
constexpr size_t COMMAND_PREFIX_LENGTH = 8;

}  // namespace

int QuarnelHttp::httpSet(const char16_t* newUrl, const char16_t* newSid,
                         const char16_t* newOption3) {
    commandMode = false;
    sid.clear();
    url.clear();
    option3.clear();
    if (newUrl != nullptr && *newUrl != 0) {
        url = newUrl;
        // The prefix is compared exactly: "DEBUG://..." is an ordinary URL.
        if (url.compare(0, COMMAND_PREFIX_LENGTH, COMMAND_PREFIX) == 0) {
            commandMode = true;
            url.erase(0, COMMAND_PREFIX_LENGTH);
        }
    }
    if (newSid != nullptr && *newSid != 0) {
        sid = newSid;
    }
    if (newOption3 != nullptr && *newOption3 != 0) {
        option3 = newOption3;
    }
    return 0;
}

int QuarnelHttp::httpSend(const char16_t* urlOrPath, const char16_t* headers,
                          const unsigned char* body, int size, int absolute, ByteBuffer& reply,
                          std::u16string& errorPlace) {
    httpError.clear();
    const bool isAbsolute = (absolute & 1) != 0;
    // A negative size is refused with the zero one: it can name no body.
    if (urlOrPath == nullptr || *urlOrPath == 0 || body == nullptr || size <= 0 ||
        (!isAbsolute && url.empty())) {
        errorPlace = u"httpSend";
        return -10;
    }
    if (commandMode) {
        return sendCommand(urlOrPath, body, size, reply, errorPlace);
    }
    return sendHttp(urlOrPath, headers, body, size, isAbsolute, reply, errorPlace);
}

int QuarnelHttp::sendHttp(const char16_t* urlOrPath, const char16_t* headers,
                          const unsigned char* body, int size, bool absolute, ByteBuffer& reply,
                          std::u16string& errorPlace) {
    // Plain concatenation: the base URL and the path are joined as they are.
    std::string target;
    if (!absolute) {
        toAnsiString(url.c_str(), target);
    }
    std::string path;
    toAnsiString(urlOrPath, path);
    target += path;
    std::string headerText;
    if (headers != nullptr && *headers != 0) {
        toAnsiString(headers, headerText);
    }

    // Construction waits for the process-wide transport lock; it is released when the transport
    // goes out of scope, on every path.
    HttpCurl transport;
    if (transport.open(target) < 0) {
        httpError = transport.errorMessage();
        errorPlace = u"HttpConnect:open";
        return -20;
    }
    int result = transport.request(body, size, reply, headerText);
    if (result < 0) {
        httpError = transport.errorMessage();
        errorPlace = u"HttpConnect:request";
        return -20;
    }
    if (reply.empty()) {
        errorPlace = u"HttpConnect:response";
        return -20;
    }
    return result;
}

int QuarnelHttp::sendCommand(const char16_t* urlOrPath, const unsigned char* body, int size,
                             ByteBuffer& reply, std::u16string& errorPlace) {
    // No blank is added between the command text and the path.
    const std::u16string commandLine = url + urlOrPath;
    if (commandLine.size() > MAX_COMMAND_LINE) {
        errorPlace = u"HttpConnect:CommandLine";
        return -20;
    }
    // The output is read while the input is written: a child that writes more than a pipe holds
    // before it reads, or never reads at all, cannot block the exchange.
    ByteBuffer output;
    auto launch = [&commandLine](int output, int input, int error) {
        return launchProcess(commandLine, output, input, error);
    };
    switch (runWithPipes(launch, body, static_cast<size_t>(size), MAX_COMMAND_REPLY, output)) {
        case PipeRunFailure::None:
            break;
        case PipeRunFailure::OutputPipe:
            errorPlace = u"HttpConnect:CreatePipe-1";
            return -20;
        case PipeRunFailure::ErrorHandle:
            errorPlace = u"HttpConnect:DuplicateHandle-1";
            return -20;
        case PipeRunFailure::InputPipe:
            errorPlace = u"HttpConnect:CreatePipe-2";
            return -20;
        default:  // not started, or not waited for
            errorPlace = u"HttpConnect:WaitForSingleObject";
            return -20;
    }
    if (!output.empty()) {
        reply = std::move(output);
    }
    return 0;
}

}  // namespace mv

#include "exchange/QuarnelHttp.h"

#include <fcntl.h>
#include <unistd.h>

#include "exchange/HttpCurl.h"
#include "foundation/Text.h"
#include "platform/Process.h"

namespace mv {
namespace {

constexpr char16_t COMMAND_PREFIX[] = u"debug://";
constexpr size_t COMMAND_PREFIX_LENGTH = 8;

// Closes a descriptor when the exchange ends, on every path.
class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    // Close-on-exec: only the ends that launchProcess puts on the child's standard streams
    // reach the child, so it never holds the ends this process reads and writes.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

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
    Fd outputRead, outputWrite, errorWrite, inputRead, inputWrite;
    if (!makePipe(outputRead, outputWrite)) {
        errorPlace = u"HttpConnect:CreatePipe-1";
        return -20;
    }
    // The child's standard error goes into its output pipe as well.
    errorWrite.reset(fcntl(outputWrite.get(), F_DUPFD_CLOEXEC, 0));
    if (errorWrite.get() < 0) {
        errorPlace = u"HttpConnect:DuplicateHandle-1";
        return -20;
    }
    if (!makePipe(inputRead, inputWrite)) {
        errorPlace = u"HttpConnect:CreatePipe-2";
        return -20;
    }

    pid_t pid = launchProcess(commandLine, outputWrite.get(), inputRead.get(), errorWrite.get());
    // Only the child may hold its ends now, so that its end shows as the end of the output.
    outputWrite.reset();
    inputRead.reset();
    errorWrite.reset();
    if (pid < 0) {
        errorPlace = u"HttpConnect:WaitForSingleObject";
        return -20;
    }

    // The output is read while the input is written: a child that writes more than a pipe holds
    // before it reads, or never reads at all, cannot block the exchange.
    ByteBuffer output;
    bool ended = exchangeWithProcess(pid, inputWrite.release(), body, static_cast<size_t>(size),
                                     outputRead.get(), MAX_COMMAND_REPLY, output);
    if (!ended) {
        errorPlace = u"HttpConnect:WaitForSingleObject";
        return -20;
    }
    if (!output.empty()) {
        reply = std::move(output);
    }
    return 0;
}

}  // namespace mv

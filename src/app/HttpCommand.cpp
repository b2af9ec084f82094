#include "app/CommandHandlers.h"
#include "app/RunnerOperations.h"
#include "foundation/Text.h"

namespace mv {

int refuseServerAnswer(const std::string& answer, const char16_t* emptyLine, std::string& reply) {
    if (answer.empty()) {
        writeErrorReply(-20, reply);
        logCommandEnd(emptyLine, u"http");
        return -20;
    }
    // Case matters, and an answer shorter than the marker is compared whole.
    if (answer.compare(0, 6, "error:") == 0) {
        // The server's own error text reaches the page.
        reply =
            successReply(-20, reinterpret_cast<const unsigned char*>(answer.data()), answer.size());
        logOutsideAnsiText(answer.c_str(), u"http");
        return -20;
    }
    return 0;
}

int handleHttpCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 5) {
        return failCommand(-10, u"http", reply);
    }
    const std::u16string url = textArg(tokens[1]);
    const ByteBuffer body = bytesArg(tokens[2]);
    const std::u16string headers = textArg(tokens[3]);
    // Bit 0: the URL is taken as it is, never appended to the exchange's base address.
    const int absolute = intArg(tokens[4]) | 1;
    std::string answer;
    int r = debugExe(url.c_str(), body.data(), static_cast<int>(body.size()), headers.c_str(),
                     absolute, answer);
    if (r < 0) {
        return failCommand(r, u"http", reply);
    }
    if (int refused = refuseServerAnswer(answer, u"response is empty.", reply)) {
        return refused;
    }
    logCommandEnd(u"http command end.", u"http");
    reply = successReply(0, reinterpret_cast<const unsigned char*>(answer.data()), answer.size());
    return 0;
}

}  // namespace mv

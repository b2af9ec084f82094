#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"
#include "app/RunnerOperations.h"
#include "foundation/Text.h"

namespace mv {
// The batch exchange step by step; nothing that an earlier step did is undone when a later one
// fails (the certificate stays chosen, an upload stays made).
int handleExecCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 10 || g_pCmdRunner == nullptr) {
        return failCommand(-10, u"exec", reply);
    }
    const int certFlags = intArg(tokens[1]);
    const std::u16string certArg = textArg(tokens[2]);
    const std::u16string certUrl = textArg(tokens[3]);
    const int signFlags = intArg(tokens[4]);
    const std::u16string pin = textArg(tokens[5]);
    const int algCode = intArg(tokens[6]);
    const std::u16string signUrl = textArg(tokens[7]);
    const std::u16string headers = textArg(tokens[8]);
    const int absolute = intArg(tokens[9]) | 1;

    ByteBuffer certificate;
    int r = g_pCmdRunner->getCert(certFlags, certArg.c_str(), certificate);
    if (r != 0) {
        return failCommand(r, u"exec.cert", reply);
    }
    logCommandEnd(u"cert command end.", u"cert");

    std::string answer1;
    r = debugExe(certUrl.c_str(), certificate.data(), static_cast<int>(certificate.size()),
                 headers.c_str(), absolute, answer1);
    if (r < 0) {
        return failCommand(r, u"exec.http1", reply);
    }
    if (int refused = refuseServerAnswer(answer1, u"cert response is empty.", reply)) {
        return refused;
    }
    const std::u16string answer1Text = fromAnsi(answer1);
    std::string value1;
    r = runPxmlCommand(answer1Text.c_str(), value1);
    if (r < 0) {
        return failCommand(r, u"exec.pxml1", reply);
    }
    logCommandEnd(u"cert http command end.", u"http");
    logOutsideText(utf8ToWString(value1.data(), value1.size()), u"http");

    // The sign worker takes the hash from the whole first answer again.
    ByteBuffer signature;
    r = g_pCmdRunner->runSignCommand(signFlags, nullptr, algCode, answer1Text.c_str(), pin.c_str(),
                                     signature);
    if (r != 0) {
        return failCommand(r, u"exec.sign", reply);
    }
    logCommandEnd(u"sign command end.", u"sign");

    std::string answer2;
    r = debugExe(signUrl.c_str(), signature.data(), static_cast<int>(signature.size()),
                 headers.c_str(), absolute, answer2);
    if (r < 0) {
        return failCommand(r, u"exec.http2", reply);
    }
    if (int refused = refuseServerAnswer(answer2, u"sign response is empty.", reply)) {
        return refused;
    }
    std::string value2;
    r = runPxmlCommand(fromAnsi(answer2).c_str(), value2);
    if (r < 0) {
        return failCommand(r, u"exec.pxml2", reply);
    }
    logCommandEnd(u"sign http command end.", u"http");
    if (!value2.empty()) {
        logOutsideText(utf8ToWString(value2.data(), value2.size()), u"http");
    }
    reply = successReply(0, reinterpret_cast<const unsigned char*>(value2.data()), value2.size());
    logCommandEnd(u"exec command end.", u"exec");
    return 0;
}

}  // namespace mv

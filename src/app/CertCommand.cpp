#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"

namespace mv {

int handleCertCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 3 || g_pCmdRunner == nullptr) {
        return failCommand(-10, u"cert", reply);
    }
    const int certFlags = intArg(tokens[1]);
    const std::u16string certArg = textArg(tokens[2]);
    ByteBuffer certificate;
    int r = -1;
    withProgressWindow(u"証明書取得中...",
                       [&] { r = g_pCmdRunner->getCert(certFlags, certArg.c_str(), certificate); });
    // A cancel (1) is answered and logged like a failure.
    if (r != 0) {
        return failCommand(r, u"cert", reply);
    }
    reply = successReply(0, certificate);
    logCommandEnd(u"cert command end.", u"cert");
    return 0;
}

}  // namespace mv

#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"

namespace mv {

int handleSignCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 5 || g_pCmdRunner == nullptr) {
        return failCommand(-10, u"sign", reply);
    }
    const int flags = intArg(tokens[1]);
    const std::u16string target = textArg(tokens[2]);
    const int algCode = intArg(tokens[3]);
    const std::u16string pin = textArg(tokens[4]);
    ByteBuffer signature;
    int r = -1;
    // No certificate text: the certificate of the last "cert" signs.
    withProgressWindow(u"署名中...", [&] {
        r = g_pCmdRunner->runSignCommand(flags, nullptr, algCode, target.c_str(), pin.c_str(),
                                         signature);
    });
    if (r != 0) {
        return failCommand(r, u"sign", reply);
    }
    reply = successReply(0, signature);
    logCommandEnd(u"sign command end.", u"sign");
    return 0;
}

}  // namespace mv

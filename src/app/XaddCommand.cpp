#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"

namespace mv {

int handleXaddCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 5 || g_pCmdRunner == nullptr || !g_pCmdRunner->signer) {
        return failCommand(-10, u"xadd", reply);
    }
    const int kind = intArg(tokens[1]);
    const std::u16string name = textArg(tokens[2]);
    const std::u16string uri = textArg(tokens[3]);
    // The Base64 text of the data, which the signer decodes itself.
    const std::u16string data = textArg(tokens[4]);
    // Commands never overlap, so no worker runs beside this call.
    int r = g_pCmdRunner->signer->xadd(kind, name.c_str(), uri.c_str(), data.c_str());
    if (r < 0) {
        return failCommand(r, u"xadd", reply);
    }
    logCommandEnd(u"xadd command end.", u"xadd");
    reply = successReply(r, nullptr, 0);
    return r;
}

}  // namespace mv

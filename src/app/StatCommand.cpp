#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"

namespace mv {

int handleStatCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 1 || g_pCmdRunner == nullptr || !g_pCmdRunner->signer) {
        return failCommand(-10, u"stat", reply);
    }
    // The store signer's number of key entries, or the PKCS#11 token's state.
    int r = g_pCmdRunner->signer->getStatus();
    if (r < 0) {
        return failCommand(r, u"stat", reply);
    }
    logCommandEnd(u"stat command end.", u"stat");
    reply = successReply(r, nullptr, 0);
    return r;
}

}  // namespace mv

#include "app/CommandHandlers.h"
#include "app/RunnerOperations.h"

namespace mv {

int handleInfoCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 3) {
        return failCommand(-10, u"info", reply);
    }
    const std::u16string certText = textArg(tokens[1]);
    const int format = intArg(tokens[2]);
    ByteBuffer description;
    int r = runInfoCommand(certText.c_str(), format, description);
    if (r < 0) {
        return failCommand(r, u"info", reply);
    }
    // The result is the certificate's type index.
    reply = successReply(r, description);
    logCommandEnd(u"info command end.", u"info");
    return r;
}

}  // namespace mv

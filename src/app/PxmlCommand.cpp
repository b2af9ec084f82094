#include "app/CommandHandlers.h"
#include "app/RunnerOperations.h"

namespace mv {

int handlePxmlCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 2) {
        return failCommand(-10, u"pxml", reply);
    }
    const std::u16string document = textArg(tokens[1]);
    std::string value;
    int r = runPxmlCommand(document.c_str(), value);
    if (r < 0) {
        return failCommand(r, u"pxml", reply);
    }
    logCommandEnd(u"pxml command end.", u"pxml");
    reply = successReply(0, reinterpret_cast<const unsigned char*>(value.data()), value.size());
    return 0;
}

}  // namespace mv

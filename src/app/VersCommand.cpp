#include <cstring>

#include "app/CommandHandlers.h"
#include "foundation/Base64.h"

namespace mv {

int handleVersCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 1) {
        return failCommand(-10, u"vers", reply);
    }
    std::string version;
    base64EncodeStr(reinterpret_cast<const unsigned char*>(PROGRAM_VERSION),
                    std::strlen(PROGRAM_VERSION), version);
    reply = "0," + version;
    return 0;
}

}  // namespace mv

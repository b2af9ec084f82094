#include <malloc.h>

#include "app/CommandHandlers.h"
#include "app/RunnerOperations.h"

namespace mv {

int handleXadesCommand(const std::vector<std::string>& tokens, std::string& reply) {
    if (tokens.size() != 7) {
        return failCommand(-10, u"xades", reply);
    }
    const int first = intArg(tokens[1]);
    const int algCode = intArg(tokens[2]);
    // Texts, never none: an empty Id token is an empty Id, which the signer refuses.
    std::u16string document = textArg(tokens[3]);
    const std::u16string elementId = textArg(tokens[4]);
    const std::u16string fifth = textArg(tokens[5]);
    const std::u16string pin = textArg(tokens[6]);
    ByteBuffer signedDocument;
    int r = -1;
    withProgressWindow(u"署名中...", [&] {
        r = runXadesCommand(first, algCode, document.c_str(), elementId.c_str(), fifth.c_str(),
                            pin.c_str(), signedDocument);
    });
    // The document may be many MiB: its copy, and the pages its freed tree held (glibc keeps
    // them in the worker's arena), go before the reply's copy is made.
    std::u16string().swap(document);
    malloc_trim(0);
    if (r != 0) {
        return failCommand(r, u"xades", reply);
    }
    reply = successReply(0, signedDocument);
    logCommandEnd(u"xades command end.", u"xades");
    return 0;
}

}  // namespace mv

// What the command handlers share beyond the reply format: argument decoding, the success reply,
// the end line and the progress window around long signer operations.
#include <cstdlib>
#include <thread>

#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"
#include "foundation/Base64.h"
#include "foundation/Text.h"
#include "platform/ui/MainWnd.h"

namespace mv {

int intArg(const std::string& token) {
    return std::atoi(token.c_str());
}

std::u16string textArg(const std::string& token) {
    ByteBuffer bytes = base64DecodeStr(token);
    if (bytes.empty()) {
        return std::u16string();
    }
    std::string ansi;
    utf8ToAnsi(reinterpret_cast<const char*>(bytes.data()), bytes.size(), ansi);
    std::u16string text;
    ansiToWString(ansi.c_str(), text);
    return text;
}

ByteBuffer bytesArg(const std::string& token) {
    return base64DecodeStr(token);
}

std::string successReply(int code, const unsigned char* data, size_t length) {
    std::string payload;
    if (length > 0) {
        base64EncodeStr(data, length, payload);
    }
    return std::to_string(code) + "," + payload;
}

std::string successReply(int code, const ByteBuffer& payload) {
    return successReply(code, payload.data(), payload.size());
}

void logCommandEnd(const char16_t* text, const char16_t* tag) {
    if (g_pCmdRunner != nullptr) {
        g_pCmdRunner->writeLog(text, tag);
    }
}

void withProgressWindow(const char16_t* status, const std::function<void()>& work) {
    g_hDlgParent = nullptr;
    MainWndThreadArg arg;
    arg.owner = g_hForeground.load();
    std::thread window(runMainWnd, &arg);
    waitMainWndShown();
    setMainWndStatus(status);
    work();
    closeMainWnd();
    window.join();
}

}  // namespace mv

#include "app/CmdRunner.h"

#include <unistd.h>

#include "foundation/ErrorLog.h"
#include "foundation/ResultMessages.h"
#include "foundation/Text.h"
#include "platform/Paths.h"
#include "platform/ui/Dialogs.h"

namespace mv {

CmdRunner* g_pCmdRunner = nullptr;

std::u16string tempLogPath(std::u16string_view name) {
    std::string temp = getTempPath();
    return utf8ToWString(temp.data(), temp.size()).append(name);
}

CmdRunner::CmdRunner() {
    // Every relative path of the run is relative to the temporary directory.
    (void)!chdir(getTempPath().c_str());
    logPath = tempLogPath(DEFAULT_LOG_NAME);
    g_pCmdRunner = this;
}

CmdRunner::~CmdRunner() {
    if (g_pCmdRunner == this) {
        g_pCmdRunner = nullptr;
    }
}

const char* CmdRunner::getResultMessage(int code) {
    resultText = resultMessageText(code);
    return resultText.c_str();
}

void CmdRunner::writeLog(const char16_t* text, const char16_t* tag) {
    std::u16string path = logPath;
    bool append = true;
    bool first = logWritten == 0;
    if (first) {
        // Marked before the attempt: only one line per run may empty the file, even if it fails.
        logWritten = 1;
        append = logAppend == 1;
    }
    if (writeLogFile(path.c_str(), text, tag, append) != 0 && first) {
        std::u16string warning = u"Warning: Log Write Error.\r\n" + path;
        std::string ansi;
        toAnsiString(warning.c_str(), ansi);
        showMessage(ansi.c_str(), "QuarnelCmd");
    }
}

void CmdRunner::logError(int code, const char16_t* text, const char16_t* tag) {
    std::string number = "error(" + std::to_string(code) + ") ";
    std::u16string line(number.begin(), number.end());
    if (text != nullptr) {
        line += text;
    }
    writeLog(line.c_str(), tag);
}

}  // namespace mv

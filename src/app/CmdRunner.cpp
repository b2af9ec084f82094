#include "app/CmdRunner.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "foundation/ErrorLog.h"
#include "foundation/ResultMessages.h"
#include "foundation/Text.h"
#include "platform/Paths.h"
#include "platform/ui/Dialogs.h"

namespace mv {

CmdRunner* g_pCmdRunner = nullptr;

std::u16string CmdRunner::tempLogPath(std::u16string_view name) const {
    return utf8ToWString(tempDir.data(), tempDir.size()).append(name);
}

CmdRunner::CmdRunner() {
    // Every relative path of the run is relative to the temporary directory. The log's path is
    // made absolute first: a relative $TMPDIR would name another place once we are inside it.
    tempDir = getAbsoluteTempPath();
    (void)!chdir(tempDir.c_str());
    logPath = tempLogPath(DEFAULT_LOG_NAME);
    g_pCmdRunner = this;
}

CmdRunner::~CmdRunner() {
    if (g_pCmdRunner == this) {
        g_pCmdRunner = nullptr;
    }
}

const char* CmdRunner::getResultMessage(int code) {
    // Written into the kept buffer, never a new one: a pointer from an earlier call reads this
    // text. Every message fits; a cut one would still end inside the buffer.
    std::string text = resultMessageText(code);
    size_t length = std::min(text.size(), resultText.size() - 1);
    std::memcpy(resultText.data(), text.data(), length);
    resultText[length] = '\0';
    return resultText.data();
}

// A run adds at most LOG_RUN_LIMIT bytes to the log, however many commands a page sends: the
// line that would pass the bound is replaced by one that says so, and later lines are dropped.
bool CmdRunner::takeLogRoom(std::string& line) {
    size_t before = logBytes.fetch_add(line.size());
    if (before + line.size() <= LOG_RUN_LIMIT - LOG_DROPPED_LINE_ROOM) {
        return true;
    }
    if (logDropped.exchange(true)) {
        return false;
    }
    line = formatLogLine(u"log limit of 16 MiB for this run reached: later lines are dropped.",
                         u"log");
    return !line.empty();
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
    std::string line = formatLogLine(text, tag);
    if (!line.empty() && !takeLogRoom(line)) {
        return;
    }
    if ((line.empty() || writeLogBytes(path.c_str(), line, append) != 0) && first) {
        std::u16string warning = u"Warning: Log Write Error.\r\n" + path;
        std::string ansi;
        toAnsiString(warning.c_str(), ansi);
        showMessage(ansi.c_str(), "QuarnelCmd");
    }
}

void CmdRunner::writeLogLines(std::span<const std::u16string> texts, const char16_t* tag) {
    // The run's first line on its own: it may empty the file, and its failure warns the user.
    if (!texts.empty() && logWritten == 0) {
        writeLog(texts.front().c_str(), tag);
        texts = texts.subspan(1);
    }
    std::string bytes;
    for (const std::u16string& text : texts) {
        std::string line = formatLogLine(text.c_str(), tag);
        if (!line.empty() && takeLogRoom(line)) {
            bytes += line;
        }
    }
    if (!bytes.empty()) {
        writeLogBytes(logPath.c_str(), bytes, true);
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

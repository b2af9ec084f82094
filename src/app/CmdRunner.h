#pragma once

#include <string>

#include "app/CmdParams.h"

namespace mv {

// The one runner of a URL run: it keeps the error log's state and the last result message, and
// (as the signers arrive) owns the signer that the run modes share.
class CmdRunner {
public:
    // Makes the user's temporary directory current and points the log at
    // "QuarnelCmd-error.log" there; `g_pCmdRunner` then points to this runner.
    CmdRunner();
    ~CmdRunner();
    CmdRunner(const CmdRunner&) = delete;
    CmdRunner& operator=(const CmdRunner&) = delete;

    // "message(code)" in the thread's ANSI code page; valid until the next call on this runner.
    const char* getResultMessage(int code);

    // One log line. The run's first line empties the file unless `logAppend` is 1; if that first
    // line cannot be written the user is warned once.
    void writeLog(const char16_t* text, const char16_t* tag);
    // Logs "error(<code>) <text>".
    void logError(int code, const char16_t* text, const char16_t* tag);

    // Fills `params` from the launch parameter text (the command line after "quarnel01:").
    // 1: WebSocket mode; 0: batch mode; -10: unusable parameters, with nothing changed in the
    // record or the runner. May set `logAppend` (flag 0x4000) and replace `logPath` (flag 0x2000).
    int parseLaunchArgs(const char* text, CmdParams& params);

    std::string resultText;
    int logWritten = 0;
    int logAppend = 0;
    std::u16string logPath;
};

extern CmdRunner* g_pCmdRunner;

}  // namespace mv

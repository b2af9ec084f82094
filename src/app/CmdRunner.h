#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "app/CmdParams.h"
#include "foundation/Bytes.h"
#include "signers/Quarnel.h"

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

    // "message(code)" in the thread's ANSI code page, in the runner's one buffer: a pointer kept
    // from an earlier call reads the latest message.
    const char* getResultMessage(int code);

    // One log line. The run's first line empties the file unless `logAppend` is 1; if that first
    // line cannot be written the user is warned once.
    void writeLog(const char16_t* text, const char16_t* tag);
    // Lines with one tag, as writeLog writes each, through one write of the file: for many lines
    // at once, such as a flood of refused clients.
    void writeLogLines(std::span<const std::u16string> texts, const char16_t* tag);
    // Logs "error(<code>) <text>".
    void logError(int code, const char16_t* text, const char16_t* tag);

    // Fills `params` from the launch parameter text (the command line after "quarnel01:").
    // 1: WebSocket mode; 0: batch mode; -10: unusable parameters, with nothing changed in the
    // record or the runner. May set `logAppend` (flag 0x4000) and, with flag 0x2000, replace
    // `logPath` by the file that the last component of the page's path names in the temporary
    // directory.
    int parseLaunchArgs(const char* text, CmdParams& params);

    // Creates the signer (flag 0x1: the PKCS#11 signer, else the store signer), replacing any
    // earlier one, runs its `init` and hands it the sid; the result of `init`.
    int apiInit(int flags, const char16_t* options, const char16_t* sid);
    // The signer's `cert` on a worker thread: 0 chosen (`out` filled), 1 cancelled, negative
    // failure; both of the latter are logged.
    int getCert(int certFlags, const char16_t* certArg, ByteBuffer& out);
    // Signs a hash with the signer's `sign` on a worker thread. `target` is the hash as
    // hexadecimal text, or a server response ('<' first) whose result must be "OK" or "ok" and
    // whose hash element carries it. The result of `sign` (1 cancelled), or -10 for a null target
    // or a refused response; every non-zero result is logged. `out` is written only on success.
    int runSignCommand(int flags, const char16_t* certHex, int algCode, const char16_t* target,
                       const char16_t* pin, ByteBuffer& out);
    // The whole batch exchange with the signing server (or the local helper programs): 0 when
    // the server accepted the signature, 1 when the user cancelled, negative otherwise; every
    // failure is logged before it returns.
    int execute(const CmdParams& params);

    // The path of the log file `name` in the user's temporary directory.
    std::u16string tempLogPath(std::u16string_view name) const;

    std::array<char, 256> resultText{};  // the last result message, NUL-terminated
    std::unique_ptr<Quarnel> signer;     // null until apiInit; the runner owns it
    int logWritten = 0;
    int logAppend = 0;
    std::u16string logPath;
    std::string tempDir;  // the user's temporary directory, absolute, with its final '/'
    std::atomic<size_t> logBytes{0};  // bytes this run has handed to the log
    std::atomic<bool> logDropped{false};

private:
    bool takeLogRoom(std::string& line);
};

// What one run may add to the log, the line that says it is full included.
inline constexpr size_t LOG_RUN_LIMIT = 16 * 1024 * 1024;
inline constexpr size_t LOG_DROPPED_LINE_ROOM = 256;

extern CmdRunner* g_pCmdRunner;

// The name of the default error log.
inline constexpr char16_t DEFAULT_LOG_NAME[] = u"QuarnelCmd-error.log";

// Set while a signer worker runs; the worker clears it when its signer operation has returned.
extern std::atomic<bool> g_signerBusy;

// The record of the certificate worker; it lives on the starter's stack.
struct CertThreadArg {
    int certFlags = 0;
    const char16_t* certArg = nullptr;
    ByteBuffer cert;
    Quarnel* signer = nullptr;
    int result = -1;
};
void certThreadProc(CertThreadArg* arg);

}  // namespace mv

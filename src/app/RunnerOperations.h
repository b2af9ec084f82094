#pragma once

#include <sys/types.h>

#include <string>

#include "foundation/Bytes.h"

// The runner's operations that the commands and the batch run share. They reach the signer through
// `g_pCmdRunner` and log every failure themselves.
namespace mv {

class Quarnel;

// The record of the sign and XML-signing workers; it lives on the starter's stack.
// `sign` reads flags, certHex, algCode, hash, hashLen and pin; `xades` reads flags (its first
// argument), algCode, document, elementId, fifth and pin.
struct SignThreadArg {
    int flags = 0;
    const char16_t* certHex = nullptr;
    int algCode = 0;
    const unsigned char* hash = nullptr;
    int hashLen = 0;
    const char16_t* document = nullptr;
    const char16_t* elementId = nullptr;
    const char16_t* fifth = nullptr;
    const char16_t* pin = nullptr;
    ByteBuffer output;
    Quarnel* signer = nullptr;
    int result = -1;
};
void signThreadProc(SignThreadArg* arg);
void xadesThreadProc(SignThreadArg* arg);

// The description of a certificate given as Base64 of its DER, or as a request document ('<'
// first) with the certificate in hexadecimal. The signer's `info` result (the type index), or -10
// for an argument that holds no certificate.
int runInfoCommand(const char16_t* certArg, int format, ByteBuffer& out);

// The signer's `xades` with the six arguments on a worker thread; its result, non-zero logged.
int runXadesCommand(int first, int algCode, const char16_t* document, const char16_t* elementId,
                    const char16_t* fifth, const char16_t* pin, ByteBuffer& out);

// Sends `data` to `address` through the signer's `httpSend`, or, for "file:///<name>[?<args>]",
// to the helper program <name> beside the program file. `out` gets the reply on success.
// The result of `httpSend` or of runDebugExe; -10 for a helper that is not isRunnableHelper.
int debugExe(const char16_t* address, const unsigned char* data, int length,
             const char16_t* headers, int absolute, std::string& out);

// The redirect address of a server response, or else its hash, as UTF-8 in `out` (untouched when
// it has neither). 0, or -10 when its result is not "OK" or "ok".
int runPxmlCommand(const char16_t* xml, std::string& out);

// True for a helper name that stays in the program's directory: not empty, no '/', '\' or "..".
bool isPlainHelperName(const std::u16string& name);
// True for a helper the page may run: a plain name that is neither the program's own name nor a
// file that is this program under another name or link (a nested run would empty this run's log
// or change the registration).
bool isRunnableHelper(const std::u16string& name);

// Runs `program` with `arguments` (split by the Windows rules, no shell), its standard input fed
// with `data` while its output is read; `reply` gets the first 10240 bytes of its output and
// standard error. 0, or -22 when it could not be started or waited for.
int runDebugExe(const std::u16string& program, const std::u16string& arguments,
                const unsigned char* data, size_t length, ByteBuffer& reply);

// Starts `program` with `arguments` and the three descriptors as its standard output, input and
// error; the process id, or -1.
pid_t launchDebugExe(const std::u16string& program, const std::u16string& arguments, int output,
                     int input, int error);

// True for the result attribute of a server response that accepted the request: exactly "OK" or
// exactly "ok".
bool isSuccessResult(const std::u16string& result);

// UTF-16 of an ANSI text of the calling thread (empty for an empty one).
std::u16string fromAnsi(const std::string& text);

// Log lines that carry text from outside (a page's command, a server's answer, a helper's name):
// the text enters the line escaped and cut (outsideTextForLog).
void logOutsideText(const std::u16string& text, const char16_t* tag);
void logOutsideError(int code, const std::u16string& text, const char16_t* tag);
// For ANSI text (up to its NUL), of which only what the line can hold is converted.
void logOutsideAnsiText(const char* ansi, const char16_t* tag);

}  // namespace mv

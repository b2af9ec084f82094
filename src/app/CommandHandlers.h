#pragma once

#include <functional>
#include <string>
#include <vector>

#include "foundation/Bytes.h"

// What every command handler shares. A handler takes the frame's tokens (token 0 is the command
// name, so the count includes it) and writes its reply "<code>,<Base64 of the result bytes>";
// its result code is that of the reply. Each lives in a file of its own, <Name>Command.cpp.
namespace mv {

using CommandHandler = int (*)(const std::vector<std::string>& tokens, std::string& reply);

// "cert,<flags>,<argument>": chooses a certificate; "0," and its hex text or request document.
int handleCertCommand(const std::vector<std::string>& tokens, std::string& reply);
// "info,<certificate>,<format>": the certificate's type index and its description.
int handleInfoCommand(const std::vector<std::string>& tokens, std::string& reply);
// "sign,<flags>,<target>,<algorithm>,<PIN>": signs a hash with the chosen certificate.
int handleSignCommand(const std::vector<std::string>& tokens, std::string& reply);
// "xadd,<kind>,<name>,<URI>,<data>": one more piece of signed data for "xdes"; no payload.
int handleXaddCommand(const std::vector<std::string>& tokens, std::string& reply);
// "xdes,<first>,<algorithm>,<document>,<Id>,<fifth>,<PIN>": the signed document.
int handleXadesCommand(const std::vector<std::string>& tokens, std::string& reply);
// "stat": the signer's status as the result; no payload.
int handleStatCommand(const std::vector<std::string>& tokens, std::string& reply);
// "vers": the program's version. Always 0.
int handleVersCommand(const std::vector<std::string>& tokens, std::string& reply);
// "exec,...": the batch exchange in one command; the redirect address or hash of the last answer.
int handleExecCommand(const std::vector<std::string>& tokens, std::string& reply);
// "http,<URL>,<body>,<headers>,<flags>": one post; the answer as it came.
int handleHttpCommand(const std::vector<std::string>& tokens, std::string& reply);
// "pxml,<document>": the redirect address or hash of a server answer.
int handlePxmlCommand(const std::vector<std::string>& tokens, std::string& reply);

// The version text that "vers" answers and the status message shows.
inline constexpr char PROGRAM_VERSION[] = "v1.1.R1";

// Writes the Base64 of the UTF-8 form of the ANSI text `text` into `out`; returns its characters.
const char* encodeResponseText(const char* text, std::string& out);
// Writes the error reply of `code` into `reply`: the code, "," and the encoded result message.
void writeErrorReply(int code, std::string& reply);
// A failed command: the error reply, and the code with its result message logged under `tag`.
// Returns the code.
int failCommand(int code, const char16_t* tag, std::string& reply);

// Argument tokens. An integer as atoi reads it; a text is Base64 of UTF-8, held in the ANSI code
// page on the way (so only what that code page can hold arrives unchanged) and handed on as
// UTF-16, never as none; bytes are the Base64-decoded token as they are.
int intArg(const std::string& token);
std::u16string textArg(const std::string& token);
ByteBuffer bytesArg(const std::string& token);
// "<code>," and the Base64 of `payload`.
std::string successReply(int code, const unsigned char* data, size_t length);
std::string successReply(int code, const ByteBuffer& payload);
// The end line of a command that succeeded, under its tag.
void logCommandEnd(const char16_t* text, const char16_t* tag);
// The check of a server's answer in "http" and "exec": an empty one gets the error reply for -20
// and `emptyLine` in the log, one that begins with "error:" the reply "-20," with its Base64 and
// its own text in the log (both under "http"); -20 then, else 0 with `reply` untouched.
int refuseServerAnswer(const std::string& answer, const char16_t* emptyLine, std::string& reply);
// Runs `work` while the progress window shows `status`; the window closes whatever the result.
void withProgressWindow(const char16_t* status, const std::function<void()>& work);

}  // namespace mv

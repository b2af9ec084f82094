#pragma once

#include <string>
#include <vector>

// What every command handler shares. A handler takes the frame's tokens (token 0 is the command
// name, so the count includes it) and writes its reply "<code>,<Base64 of the result bytes>";
// its result code is that of the reply. Each lives in a file of its own, <Name>Command.cpp.
namespace mv {

using CommandHandler = int (*)(const std::vector<std::string>& tokens, std::string& reply);

// "vers": the program's version. Always 0.
int handleVersCommand(const std::vector<std::string>& tokens, std::string& reply);

// The version text that "vers" answers and the status message shows.
inline constexpr char PROGRAM_VERSION[] = "v1.1.R1";

// Writes the Base64 of the UTF-8 form of the ANSI text `text` into `out`; returns its characters.
const char* encodeResponseText(const char* text, std::string& out);
// Writes the error reply of `code` into `reply`: the code, "," and the encoded result message.
void writeErrorReply(int code, std::string& reply);
// A failed command: the error reply, and the code with its result message logged under `tag`.
// Returns the code.
int failCommand(int code, const char16_t* tag, std::string& reply);

}  // namespace mv

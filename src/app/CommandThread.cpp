#include "app/CommandThread.h"

#include "app/CmdRunner.h"
#include "app/CommandHandlers.h"
#include "foundation/Base64.h"
#include "foundation/ErrorLog.h"
#include "foundation/ResultMessages.h"
#include "foundation/Split.h"
#include "foundation/Text.h"

namespace mv {

namespace {

struct CommandEntry {
    const char* name;
    CommandHandler handler;
    const char16_t* acceptLine;
};

// In the order in which token 0 is compared with the names.
constexpr CommandEntry COMMANDS[] = {
    {"cert", handleCertCommand, u"cert cmd accept."},
    {"info", handleInfoCommand, u"info cmd accept."},
    {"sign", handleSignCommand, u"sign cmd accept."},
    {"xadd", handleXaddCommand, u"xadd cmd accept."},
    {"xdes", handleXadesCommand, u"xdes cmd accept."},
    {"exec", handleExecCommand, u"exec cmd accept."},
    {"http", handleHttpCommand, u"http cmd accept."},
    {"pxml", handlePxmlCommand, u"pxml cmd accept."},
    {"stat", handleStatCommand, u"stat cmd accept."},
    {"vers", handleVersCommand, u"vers cmd accept."},
};

const char* resultMessage(int code, std::string& storage) {
    if (g_pCmdRunner != nullptr) {
        return g_pCmdRunner->getResultMessage(code);
    }
    storage = resultMessageText(code);
    return storage.c_str();
}

void logError(int code, const char16_t* text, const char16_t* tag) {
    if (g_pCmdRunner != nullptr) {
        g_pCmdRunner->logError(code, text, tag);
    }
}

void writeLog(const char16_t* text, const char16_t* tag) {
    if (g_pCmdRunner != nullptr) {
        g_pCmdRunner->writeLog(text, tag);
    }
}

// Bytes of a command that can reach the log: well beyond what a log line keeps of outside text,
// so the line is the same, without converting a frame of many megabytes to UTF-16 for it.
constexpr size_t LOGGED_COMMAND_BYTES = 16 * 1024;

// Takes the command text from `command` and releases it once split, so that a large frame lives
// on in its tokens only.
void runCommand(std::string& command, std::string& reply) {
    std::vector<std::string> tokens;
    int count = splitTokens(command.c_str(), tokens);
    std::string logged = command.substr(0, LOGGED_COMMAND_BYTES);
    std::string().swap(command);
    if (count > 0) {
        for (const CommandEntry& entry : COMMANDS) {
            if (tokens[0] == entry.name) {
                writeLog(entry.acceptLine, u"ws-command");
                entry.handler(tokens, reply);
                return;
            }
        }
    }
    tokens = {};
    writeErrorReply(-10, reply);
    // The page's text, as it arrived but unable to forge or flood the log.
    logError(-10, outsideAnsiTextForLog(logged).c_str(), u"ws-command");
}

}  // namespace

const char* encodeResponseText(const char* text, std::string& out) {
    return base64EncodeVec(ansiToUtf8Bytes(text), out);
}

void writeErrorReply(int code, std::string& reply) {
    std::string message;
    std::string encoded;
    encodeResponseText(resultMessage(code, message), encoded);
    reply = std::to_string(code) + "," + encoded;
}

int failCommand(int code, const char16_t* tag, std::string& reply) {
    writeErrorReply(code, reply);
    std::string message;
    std::u16string text;
    ansiToWString(resultMessage(code, message), text);
    logError(code, text.c_str(), tag);
    return code;
}

int wsCommandThreadProc(CommandThreadArgs* args) {
    std::string reply;
    try {
        if (!args->command) {
            writeErrorReply(-10, reply);
        } else {
            runCommand(*args->command, reply);
        }
    } catch (const std::exception&) {
        // Only an exhausted memory gets here. What the command held is released by now, so the
        // error reply and its log line have room; the client gets an answer and the loop its
        // counter back either way.
        try {
            failCommand(-10, u"ws-command", reply);
        } catch (const std::exception&) {
            reply = "-10,";
        }
    }
    if (args->server != nullptr) {
        // Not examined: a failed send leaves the server's error text, and the counter is released
        // all the same.
        args->server->respondAndRelease(reply.c_str(), args->running);
    } else if (args->running != nullptr) {
        args->running->fetch_sub(1);
    }
    return 0;
}

}  // namespace mv

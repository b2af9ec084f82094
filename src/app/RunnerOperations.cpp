// The runner's signing operations: certificate information, signing a hash, XML signing, sending
// to the server or a helper program, and reading a server response.
#include "app/RunnerOperations.h"

#include "app/CmdRunner.h"
#include "app/SignerWorker.h"
#include "foundation/Base64.h"
#include "foundation/ErrorLog.h"
#include "foundation/System.h"
#include "foundation/Text.h"
#include "platform/Process.h"

namespace mv {
namespace {

constexpr char16_t FILE_PREFIX[] = u"file:///";
constexpr size_t FILE_PREFIX_LENGTH = 8;

Quarnel* currentSigner() {
    return g_pCmdRunner != nullptr ? g_pCmdRunner->signer.get() : nullptr;
}

void logError(int code, const char16_t* text, const char16_t* tag) {
    if (g_pCmdRunner != nullptr) {
        g_pCmdRunner->logError(code, text, tag);
    }
}

}  // namespace

bool isSuccessResult(const std::u16string& result) {
    return result == u"OK" || result == u"ok";
}

std::u16string fromAnsi(const std::string& text) {
    std::u16string out;
    ansiToWString(text.c_str(), out);
    return out;
}

// Escaped and cut: a page or a server can neither forge log lines nor grow the log unbounded.
void logOutsideText(const std::u16string& text, const char16_t* tag) {
    if (g_pCmdRunner != nullptr) {
        g_pCmdRunner->writeLog(outsideTextForLog(text).c_str(), tag);
    }
}

void logOutsideAnsiText(const char* ansi, const char16_t* tag) {
    if (g_pCmdRunner != nullptr) {
        g_pCmdRunner->writeLog(outsideAnsiTextForLog(ansi).c_str(), tag);
    }
}

void logOutsideError(int code, const std::u16string& text, const char16_t* tag) {
    logError(code, outsideTextForLog(text).c_str(), tag);
}

void signThreadProc(SignThreadArg* arg) {
    if (arg != nullptr && arg->signer != nullptr) {
        arg->result = arg->signer->sign(arg->flags, arg->certHex, arg->algCode, arg->hash,
                                        arg->hashLen, arg->pin, &arg->output);
    }
    g_signerBusy = false;
}

void xadesThreadProc(SignThreadArg* arg) {
    if (arg != nullptr && arg->signer != nullptr) {
        arg->result = arg->signer->xades(arg->flags, arg->algCode, arg->document, arg->elementId,
                                         arg->fifth, arg->pin, &arg->output);
    }
    g_signerBusy = false;
}

int runInfoCommand(const char16_t* certArg, int format, ByteBuffer& out) {
    Quarnel* signer = currentSigner();
    if (certArg == nullptr || *certArg == 0) {
        logError(-10, u"null cert argument.", u"info");
        return -10;
    }
    ByteBuffer der;
    if (certArg[0] == u'<') {
        std::u16string hex =
            signer != nullptr ? signer->xmlGet(certArg, u"/QrnRequest/cert") : std::u16string();
        if (hex.empty()) {
            logError(-10, u"invalid cert argument.", u"info");
            return -10;
        }
        der = hexToBytesW(hex.c_str());
    } else {
        der = base64DecodeStr(toUtf8String(certArg));
    }
    if (der.empty()) {
        logError(-10, u"unknown cert argument.", u"info");
        return -10;
    }
    if (signer == nullptr) {
        return -1;
    }
    int r = signer->info(&der, format, &out);
    if (r < 0) {
        logError(r, u"cert info parse error.", u"info");
    }
    return r;
}

int CmdRunner::runSignCommand(int flags, const char16_t* certHex, int algCode,
                              const char16_t* target, const char16_t* pin, ByteBuffer& out) {
    if (target == nullptr) {
        logError(-10, u"sign target is null.", u"sign");
        return -10;
    }
    ByteBuffer hash;
    if (target[0] == u'<' && signer) {
        std::u16string result = signer->xmlGet(target, u"/QrnResponse/@result");
        if (!isSuccessResult(result)) {
            logOutsideError(-10, result, u"sign");
            return -10;
        }
        std::u16string hex = signer->xmlGet(target, u"/QrnResponse/hash");
        if (hex.empty()) {
            logError(-10, u"cert response hash is empty.", u"httpSend");
            return -10;
        }
        hash = hexToBytesW(hex.c_str());
    } else {
        hash = hexToBytesW(target);
    }

    SignThreadArg arg;
    arg.flags = flags;
    arg.certHex = certHex;
    arg.algCode = algCode;
    arg.hash = hash.data();
    arg.hashLen = static_cast<int>(hash.size());
    arg.pin = pin;
    arg.signer = signer.get();
    runSignerWorker(signThreadProc, &arg);
    if (arg.result != 0) {
        std::u16string place = signer ? signer->getErrorMessage() : std::u16string();
        logError(arg.result, u"sign cmd error.", place.c_str());
        return arg.result;
    }
    if (!arg.output.empty()) {
        out = std::move(arg.output);
    }
    return 0;
}

int runXadesCommand(int first, int algCode, const char16_t* document, const char16_t* elementId,
                    const char16_t* fifth, const char16_t* pin, ByteBuffer& out) {
    SignThreadArg arg;
    arg.flags = first;
    arg.algCode = algCode;
    arg.document = document;
    arg.elementId = elementId;
    arg.fifth = fifth;
    arg.pin = pin;
    arg.signer = currentSigner();
    runSignerWorker(xadesThreadProc, &arg);
    if (arg.result != 0) {
        std::u16string place = arg.signer ? arg.signer->getErrorMessage() : std::u16string();
        logError(arg.result, u"xades cmd error.", place.c_str());
        return arg.result;
    }
    if (!arg.output.empty()) {
        out = std::move(arg.output);
    }
    return 0;
}

bool isPlainHelperName(const std::u16string& name) {
    return !name.empty() && name.find_first_of(u"/\\") == std::u16string::npos &&
           name.find(u"..") == std::u16string::npos;
}

bool isRunnableHelper(const std::u16string& name) {
    if (!isPlainHelperName(name)) {
        return false;
    }
    // A package upgrade renames a new binary over the running agent: the file of the agent's own
    // name is then another file, and still the agent.
    std::string path = getModuleDir() + toFsPath(name.c_str());
    return path != getModulePath() && !isOwnProgram(path);
}

int debugExe(const char16_t* address, const unsigned char* data, int length,
             const char16_t* headers, int absolute, std::string& out) {
    std::u16string target = address != nullptr ? address : u"";
    ByteBuffer reply;
    if (target.compare(0, FILE_PREFIX_LENGTH, FILE_PREFIX) != 0) {
        logOutsideText(target, u"httpSend");
        Quarnel* signer = currentSigner();
        if (signer == nullptr) {
            return -1;
        }
        int r = signer->httpSend(address, headers, data, length, 0, absolute, &reply);
        if (r < 0) {
            logOutsideError(r, fromAnsi(signer->getHttpResult()),
                            signer->getErrorMessage().c_str());
            return r;
        }
        out.assign(reply.begin(), reply.end());
        return r;
    }

    std::u16string rest = target.substr(FILE_PREFIX_LENGTH);
    size_t question = rest.find(u'?');
    std::u16string name = rest.substr(0, question);
    std::u16string arguments = question == std::u16string::npos ? u"" : rest.substr(question + 1);
    std::string dir = getModuleDir();
    std::u16string program = utf8ToWString(dir.data(), dir.size()) + name;
    logOutsideText(program, u"debugExe");
    logOutsideText(arguments, u"debugExe");
    // The page names the helper: only a program beside ours may run, and never ours.
    if (!isRunnableHelper(name)) {
        logError(-10, u"Invalid hostname.", u"debugExe");
        return -10;
    }
    int r =
        runDebugExe(program, arguments, data, length > 0 ? static_cast<size_t>(length) : 0, reply);
    if (r < 0) {
        logError(r, u"debug exec error", u"debugExe");
        return r;
    }
    out.assign(reply.begin(), reply.end());
    return r;
}

int runPxmlCommand(const char16_t* xml, std::string& out) {
    Quarnel* signer = currentSigner();
    if (signer == nullptr) {
        return -1;
    }
    std::u16string result = signer->xmlGet(xml, u"/QrnResponse/@result");
    if (!isSuccessResult(result)) {
        logOutsideError(-10, result, u"pxml");
        return -10;
    }
    std::u16string value = signer->xmlGet(xml, u"/QrnResponse/@redirect");
    if (value.empty()) {
        value = signer->xmlGet(xml, u"/QrnResponse/hash");
    }
    if (!value.empty()) {
        out = toUtf8String(value.c_str());
    }
    return 0;
}

}  // namespace mv

// Batch mode: the whole signing exchange with a server, or with the helper programs of the
// "file:///" form, run by the program itself.
#include "app/CmdParams.h"
#include "app/CmdRunner.h"
#include "app/RunnerOperations.h"
#include "exchange/QuarnelHttp.h"
#include "foundation/System.h"
#include "foundation/Text.h"
#include "platform/Process.h"

namespace mv {
namespace {

// How the batch run reaches its server.
struct Transport {
    bool fileForm = false;
    std::u16string certProgram, signProgram, target;
};

}  // namespace

BatchTransport batchTransportOf(const CmdParams& params) {
    if (params.url.rfind("https://", 0) == 0 || params.url.rfind("http://", 0) == 0) {
        return BatchTransport::Http;
    }
    // The helpers are named by the page: only programs beside ours may run, and never ours.
    if (params.url.rfind("file:///", 0) == 0 && isRunnableHelper(fromAnsi(params.certUrl)) &&
        isRunnableHelper(fromAnsi(params.signUrl))) {
        return BatchTransport::Helpers;
    }
    return BatchTransport::Refused;
}

pid_t launchDebugExe(const std::u16string& program, const std::u16string& arguments, int output,
                     int input, int error) {
    // No shell: the program is the path itself, and only its arguments are split.
    std::string path = toFsPath(program.c_str());
    std::vector<std::string> args = splitArguments(toFsPath(arguments.c_str()));
    args.insert(args.begin(), path);
    return launchProgram(path, std::move(args), output, input, error);
}

int runDebugExe(const std::u16string& program, const std::u16string& arguments,
                const unsigned char* data, size_t length, ByteBuffer& reply) {
    auto launch = [&](int output, int input, int error) {
        return launchDebugExe(program, arguments, output, input, error);
    };
    // The output is read while the input is written, so a helper that writes more than a pipe
    // holds before it reads cannot block the run; the reply is still the first 10240 bytes.
    ByteBuffer output;
    if (runWithPipes(launch, data, length, QuarnelHttp::MAX_COMMAND_REPLY, output) !=
        PipeRunFailure::None) {
        return -22;
    }
    reply = std::move(output);
    return 0;
}

int CmdRunner::execute(const CmdParams& params) {
    const std::u16string url = fromAnsi(params.url), sid = fromAnsi(params.sid);
    const std::u16string certUrl = fromAnsi(params.certUrl), signUrl = fromAnsi(params.signUrl);
    const std::u16string pin = fromAnsi(params.signerOptions);
    // The PKCS#11 signer takes the text arguments of cert and sign as PINs. Here they are the
    // upload path and the library list, which must never reach the token: none is passed, and
    // its PIN dialog asks the user.
    const bool tokenPins = (params.flags & FLAG_P11_SIGNER) != 0;
    int rc = apiInit(params.flags, pin.c_str(), sid.c_str());
    if (rc < 0 || !signer) {
        return rc < 0 ? rc : -1;
    }

    auto run = [&]() -> int {
        Transport transport;
        BatchTransport how = batchTransportOf(params);
        if (how == BatchTransport::Refused) {
            logError(-10, u"Invalid hostname.", u"execute");
            return -10;
        }
        if (how == BatchTransport::Helpers) {
            std::string dir = getModuleDir();
            std::u16string moduleDir = utf8ToWString(dir.data(), dir.size());
            transport.fileForm = true;
            transport.certProgram = moduleDir + certUrl;
            transport.signProgram = moduleDir + signUrl;
            transport.target = url.substr(8);
        }

        int r = signer->httpSet(url.c_str(), sid.c_str(), nullptr);
        if (r < 0) {
            logError(r, u"Invalid set http.", signer->getErrorMessage().c_str());
            return r;
        }

        ByteBuffer certificate;
        r = getCert(params.certFlags, tokenPins ? nullptr : certUrl.c_str(), certificate);
        if (r == 1) {
            logError(1, u"Cert select canceled.", u"cert");
            return 1;
        }
        if (r < 0) {
            logError(r, u"Cert select error.", u"cert");
            return r;
        }
        if (certificate.empty()) {
            logError(-11, u"get cert error.", u"cert");
            return -11;
        }
        writeLog(u"証明書取得完了", u"cert");

        // One upload and the check of its reply: 0, or the failure, already logged.
        auto upload = [&](const ByteBuffer& body, const std::u16string& path,
                          const std::u16string& program, const char16_t* option,
                          const char16_t* programError, const char16_t* emptyText,
                          ByteBuffer& reply) -> int {
            reply.clear();
            if (transport.fileForm) {
                std::u16string arguments =
                    std::u16string(option) + u" \"" + transport.target + u"\"";
                if (runDebugExe(program, arguments, body.data(), body.size(), reply) < 0) {
                    logError(-22, programError, u"debugExe");
                    return -22;
                }
            } else {
                int sent = signer->httpSend(path.c_str(), nullptr, body.data(),
                                            static_cast<int>(body.size()), 0, 0, &reply);
                if (sent < 0) {
                    logOutsideError(sent, fromAnsi(signer->getHttpResult()),
                                    signer->getErrorMessage().c_str());
                    return sent;
                }
            }
            if (reply.empty()) {
                logError(-20, emptyText, u"httpSend");
                return -20;
            }
            return 0;
        };
        auto resultOf = [&](const ByteBuffer& reply, std::u16string& text) -> int {
            bytesToWString(reply.data(), reply.size(), text);
            std::u16string result = signer->xmlGet(text.c_str(), u"/QrnResponse/@result");
            if (!isSuccessResult(result)) {
                logOutsideError(-20, result, u"httpSend");
                return -20;
            }
            return 0;
        };

        ByteBuffer reply;
        std::u16string replyText;
        r = upload(certificate, certUrl, transport.certProgram, u"-cert",
                   u"debug cert execute error.", u"cert response is empty.", reply);
        if (r != 0 || (r = resultOf(reply, replyText)) != 0) {
            return r;
        }
        std::u16string hash = signer->xmlGet(replyText.c_str(), u"/QrnResponse/hash");
        if (hash.empty()) {
            logError(-20, u"cert response hash is empty.", u"httpSend");
            return -20;
        }
        writeLog(u"証明書通信完了", u"httpSend");

        ByteBuffer signature;
        const std::u16string certHex = fromAnsi(params.signCertHex);
        r = runSignCommand(params.signFlags, certHex.c_str(), params.signAlg, hash.c_str(),
                           tokenPins ? nullptr : pin.c_str(), signature);
        // A cancelled PIN entry ends the run as cancelled: there is no signature to upload.
        if (r != 0) {
            logError(r, u"sign calculate error.", u"cert");
            return r;
        }
        writeLog(u"署名値計算完了", u"sign");

        r = upload(signature, signUrl, transport.signProgram, u"-sign",
                   u"debug sign execute error.", u"sign response is empty.", reply);
        if (r != 0 || (r = resultOf(reply, replyText)) != 0) {
            return r;
        }
        writeLog(u"署名値通信完了", u"httpSend");
        return 0;
    };
    rc = run();
    signer->close(0, 0);
    return rc;
}

}  // namespace mv

// The runner's signer set-up and the certificate worker.
#include "app/CmdRunner.h"
#include "app/SignerWorker.h"
#include "signers/capi/QuarnelCapi.h"
#include "signers/pkcs11/QuarnelP11.h"

namespace mv {

std::atomic<bool> g_signerBusy{false};

void certThreadProc(CertThreadArg* arg) {
    if (arg != nullptr && arg->signer != nullptr) {
        arg->result = arg->signer->cert(arg->certFlags, arg->certArg, &arg->cert);
    }
    g_signerBusy = false;
}

int CmdRunner::apiInit(int flags, const char16_t* options, const char16_t* sid) {
    signer.reset();
    std::u16string errText;
    if (flags & 0x1) {
        signer = std::make_unique<QuarnelP11>();
    } else {
        signer = std::make_unique<QuarnelCapi>();
    }
    int r = signer->init(flags, options, &errText);
    if (r < 0) {
        logError(r, errText.c_str(), u"init");
    }
    signer->httpSet(nullptr, sid, nullptr);
    return r;
}

int CmdRunner::getCert(int certFlags, const char16_t* certArg, ByteBuffer& out) {
    CertThreadArg arg;
    arg.certFlags = certFlags;
    arg.certArg = certArg;
    arg.signer = signer.get();
    arg.result = -1;
    runSignerWorker(certThreadProc, &arg);
    if (arg.result != 0) {
        std::u16string place = signer ? signer->getErrorMessage() : std::u16string();
        logError(arg.result, u"cert cmd error.", place.c_str());
        return arg.result;
    }
    if (!arg.cert.empty()) {
        out = arg.cert;
    }
    return arg.result;
}

}  // namespace mv

#include "platform/Nss.h"

#include <nss.h>
#include <sys/stat.h>

// utilpars.h declares no C linkage of its own.
extern "C" {
#include <utilpars.h>
}

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace mv::nss {

namespace {

std::mutex g_contextLock;
std::weak_ptr<Context> g_userContext;
std::weak_ptr<Context> g_anyContext;

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string envOrEmpty(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

std::shared_ptr<Context> initContext(const std::string& configDir, PRUint32 flags) {
    NSSInitParameters params;
    memset(&params, 0, sizeof params);
    params.length = sizeof params;
    NSSInitContext* context = NSS_InitContext(configDir.c_str(), "", "", "", &params, flags);
    if (context == nullptr) {
        return nullptr;
    }
    return std::make_shared<Context>(context);
}

// The key slot of the database `configDir`, which NSS has opened. Opened first, it is the internal
// key slot; opened while another context (one without a database, say) holds NSS, NSS adds it as
// a slot of the internal module beside that context's internal key slot, which knows none of its
// keys, and keeps that slot until NSS ends. Only the user's database is ever opened so.
UniqueSlot databaseKeySlot(const std::string& configDir) {
    UniqueSlot keySlot(PK11_GetInternalKeySlot());
    SECMODModule* internal = SECMOD_GetInternalModule();
    if (keySlot == nullptr || internal == nullptr) {
        return keySlot;
    }
    char* firstDir = NSSUTIL_ArgGetParamValue("configdir", internal->libraryParams);
    bool openedFirst = firstDir != nullptr && configDir == firstDir;
    PORT_Free(firstDir);
    if (openedFirst) {
        return keySlot;
    }
    UniqueSlot cryptoSlot(PK11_GetInternalSlot());
    UniqueSlot found;
    SECMODListLock* lock = SECMOD_GetDefaultModuleListLock();
    SECMOD_GetReadLock(lock);
    for (int i = 0; i < internal->slotCount && !found; ++i) {
        PK11SlotInfo* slot = internal->slots[i];
        if (slot != keySlot.get() && slot != cryptoSlot.get() && PK11_IsPresent(slot)) {
            found.reset(PK11_ReferenceSlot(slot));
        }
    }
    SECMOD_ReleaseReadLock(lock);
    return found ? std::move(found) : std::move(keySlot);
}

}  // namespace

Context::~Context() {
    std::lock_guard<std::mutex> lock(g_contextLock);
    keySlot_.reset();
    NSS_ShutdownContext(context_);
}

std::string userDatabaseDir() {
    std::string home = envOrEmpty("HOME");
    std::string pki = home + "/.pki/nssdb";
    if (!home.empty() && isDirectory(pki)) {
        return pki;
    }
    std::string dataHome = envOrEmpty("XDG_DATA_HOME");
    if (!dataHome.empty()) {
        return dataHome + "/pki/nssdb";
    }
    return home + "/.local/share/pki/nssdb";
}

std::shared_ptr<Context> openUserContext() {
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (auto context = g_userContext.lock()) {
        return context;
    }
    std::string dir = userDatabaseDir();
    if (!isDirectory(dir)) {
        return nullptr;  // never create a database the user does not have
    }
    std::string configDir = "sql:" + dir;
    auto context = initContext(configDir, NSS_INIT_NOROOTINIT);
    if (context) {
        context->keySlot_ = databaseKeySlot(configDir);
    }
    g_userContext = context;
    return context;
}

std::shared_ptr<Context> openAnyContext() {
    if (auto context = openUserContext()) {
        return context;
    }
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (auto context = g_anyContext.lock()) {
        return context;
    }
    auto context = initContext("", NSS_INIT_READONLY | NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB |
                                       NSS_INIT_FORCEOPEN | NSS_INIT_NOROOTINIT);
    g_anyContext = context;
    return context;
}

}  // namespace mv::nss

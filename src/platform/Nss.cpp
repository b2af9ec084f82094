#include "platform/Nss.h"

#include <nss.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

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

// References to every slot NSS knows now.
std::vector<UniqueSlot> allSlots() {
    std::vector<UniqueSlot> out;
    PK11SlotList* list = PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr);
    if (list == nullptr) {
        return out;
    }
    for (PK11SlotListElement* e = PK11_GetFirstSafe(list); e != nullptr;
         e = PK11_GetNextSafe(list, e, PR_FALSE)) {
        out.emplace_back(PK11_ReferenceSlot(e->slot));
    }
    PK11_FreeSlotList(list);
    return out;
}

// The key slot of a database that NSS has just opened. Opened first, it is the internal key slot;
// opened while another context (one without a database, say) holds NSS, NSS adds it as a slot of
// its own beside the first context's internal key slot, which then knows none of its keys.
UniqueSlot openedKeySlot(const std::vector<UniqueSlot>& before) {
    if (before.empty()) {
        return UniqueSlot(PK11_GetInternalKeySlot());
    }
    for (UniqueSlot& slot : allSlots()) {
        bool known = std::any_of(before.begin(), before.end(),
                                 [&](const UniqueSlot& old) { return old.get() == slot.get(); });
        if (!known && PK11_IsInternal(slot.get())) {
            return std::move(slot);
        }
    }
    return UniqueSlot(PK11_GetInternalKeySlot());
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
    std::vector<UniqueSlot> before;
    if (NSS_IsInitialized()) {
        before = allSlots();
    }
    auto context = initContext("sql:" + dir, NSS_INIT_NOROOTINIT);
    if (context) {
        context->keySlot_ = openedKeySlot(before);
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

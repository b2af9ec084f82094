#include "signers/pkcs11/Pkcs11Module.h"

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <glob.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

#include "foundation/Text.h"

namespace mv {

namespace {

// The standard's "no token" has the value of CKR_DEVICE_REMOVED.
constexpr int NO_TOKEN = 50;
// C_FindObjects reads at most this many certificates, and 4 keys.
constexpr CK_ULONG MAX_CERTS = 20;
constexpr CK_ULONG MAX_KEYS = 4;
// The slot array holds 4 identifiers; more tokens than that are fetched into a larger array so
// that the session still opens on the first listed slot, up to a bound no real reader reaches.
constexpr CK_ULONG SLOT_ARRAY = 4;
constexpr CK_ULONG MAX_SLOTS = 64;
// A certificate value larger than this is no certificate: the library's length is not trusted
// with an allocation.
constexpr CK_ULONG MAX_VALUE = 1 << 20;

// Wipes a PIN copy when it goes out of scope.
struct WipeOnExit {
    std::string& text;
    ~WipeOnExit() {
        explicit_bzero(text.data(), text.size());
        text.clear();
    }
};

bool installedByRoot(const struct stat& st) {
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Each directory from "/" down to the absolute `dir` (symbolic links followed) is owned by root
// and writable by root alone, so that nobody else can rename or replace anything below it.
bool rootOnlyChain(const std::string& dir) {
    struct stat st;
    size_t end = 0;
    std::string prefix = "/";
    while (stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && installedByRoot(st)) {
        if (end == std::string::npos) {
            return true;
        }
        end = dir.find('/', end + 1);
        prefix = dir.substr(0, end);
    }
    return false;
}

// The file that `path` names when root installed it (see load), or "". A link is followed only
// from a directory that root alone can write to (as installed modules link to their library),
// and its target is checked in turn. Nothing on the way can then change before the load but by
// root, so the checked path is loaded rather than /proc/self/fd of a checked descriptor: that
// name would become the library's own ($ORIGIN, dladdr) and, once the number is reused, would
// make the loader hand back a library still loaded under it instead of the next one.
std::string installedFile(const std::string& path) {
    auto parent = [](const std::string& file) {
        return file.substr(0, std::max<size_t>(file.rfind('/'), 1));
    };
    char resolved[PATH_MAX];
    if (path.empty() || path[0] != '/' || !rootOnlyChain(parent(path)) ||
        realpath(path.c_str(), resolved) == nullptr || !rootOnlyChain(parent(resolved))) {
        return "";
    }
    struct stat st;
    bool installed = stat(resolved, &st) == 0 && S_ISREG(st.st_mode) && installedByRoot(st);
    return installed ? resolved : "";
}

// Appends the directories that the ld.so.conf `file` lists, its includes followed in place
// (patterns relative to the including file's directory, as ldconfig reads them).
void readLdSoConf(const std::string& file, std::vector<std::string>& dirs, int depth) {
    std::ifstream in(file);
    for (std::string line; depth < 8 && std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string word;
        if (!(words >> word)) {
            continue;
        }
        if (word == "include") {
            for (std::string pattern; words >> pattern;) {
                if (pattern[0] != '/') {
                    pattern = file.substr(0, file.rfind('/') + 1) + pattern;
                }
                glob_t found{};
                if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
                    for (size_t i = 0; i < found.gl_pathc; ++i) {
                        readLdSoConf(found.gl_pathv[i], dirs, depth + 1);
                    }
                }
                globfree(&found);
            }
        } else if (word[0] == '/') {
            dirs.push_back(word);
        }
    }
}

// The first entry called `name` in the system's library directories: those of /etc/ld.so.conf,
// then the loader's defaults; "" when there is none. The working directory and LD_LIBRARY_PATH
// take no part, unlike in dlopen's own search of a bare name.
std::string systemLibrary(const std::string& name) {
    std::vector<std::string> dirs;
    readLdSoConf("/etc/ld.so.conf", dirs, 0);
    std::string multiarch = QUARNEL_MULTIARCH;
    if (!multiarch.empty()) {
        dirs.insert(dirs.end(), {"/lib/" + multiarch, "/usr/lib/" + multiarch});
    }
    dirs.insert(dirs.end(), {"/lib", "/usr/lib"});
    struct stat st;
    for (const std::string& dir : dirs) {
        if (lstat((dir + "/" + name).c_str(), &st) == 0) {
            return dir + "/" + name;
        }
    }
    return "";
}

}  // namespace

int Pkcs11ErrorRecord::setRecord(int code, const char16_t* name) {
    errorCode = code;
    size_t n = 0;
    for (; name != nullptr && name[n] != 0 && n + 1 < TEXT_SIZE; ++n) {
        errorText[n] = name[n];
    }
    errorText[n] = 0;
    return code;
}

int Pkcs11Module::setError(int code, const char16_t* name) {
    if (errorRecord != nullptr) {
        errorRecord->setRecord(code, name);
    }
    return code;
}

void Pkcs11Module::unload() {
    if (module != nullptr) {
        dlclose(module);
    }
    module = nullptr;
    functions = nullptr;
}

int Pkcs11Module::load(const char16_t* path, bool pageNamed) {
    setError(0, nullptr);
    unload();
    std::string file = toFsPath(path);
    bool bare = file.find('/') == std::string::npos;
    if ((bare || pageNamed) && (file = installedFile(bare ? systemLibrary(file) : file)).empty()) {
        return setError(-210, u"LoadLibraryW");
    }
    module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return setError(-210, u"LoadLibraryW");
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        unload();
        return setError(-210, u"GetProcAddress");
    }
    CK_FUNCTION_LIST* list = nullptr;
    CK_RV rv = getFunctionList(&list);
    if (rv != CKR_OK) {
        unload();
        return fail(rv, u"C_GetFunctionList");
    }
    if (list == nullptr) {
        unload();
        return setError(-210, u"C_GetFunctionList");
    }
    // Every Cryptoki v2 list fills all its entries. One of ours left null would crash at its first
    // call, so such a library is refused as one that lacks the function.
#define ENTRY(fn) \
    { list->fn != nullptr, u"" #fn }
    const std::pair<bool, const char16_t*> used[] = {
        ENTRY(C_Initialize),  ENTRY(C_Finalize),          ENTRY(C_GetSlotList),
        ENTRY(C_OpenSession), ENTRY(C_CloseSession),      ENTRY(C_Login),
        ENTRY(C_Logout),      ENTRY(C_GetAttributeValue), ENTRY(C_FindObjectsInit),
        ENTRY(C_FindObjects), ENTRY(C_FindObjectsFinal),  ENTRY(C_SignInit),
        ENTRY(C_Sign),        ENTRY(C_GetTokenInfo)};
#undef ENTRY
    for (const auto& [present, name] : used) {
        if (!present) {
            unload();
            return setError(-212, name);
        }
    }
    functions = list;
    return 0;
}

int Pkcs11Module::fail(CK_RV rv, const char16_t* name) {
    // The code keeps the CK_RV when it fits 32 bits, as the standard's and vendor-defined values
    // do (stored sign-extended). A wider value is no code of the standard: cut to 32 bits it could
    // read as CKR_OK, so it is the general failure.
    return setError(rv <= 0xFFFFFFFFu ? static_cast<int>(static_cast<uint32_t>(rv))
                                      : static_cast<int>(CKR_GENERAL_ERROR),
                    name);
}

int Pkcs11Module::initialize() {
    CK_RV rv = functions->C_Initialize(nullptr);
    initializedHere = rv == CKR_OK;
    if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return 0;
    }
    return fail(rv, u"C_Initialize");
}

CK_RV Pkcs11Module::finalize() {
    if (!initializedHere) {
        return CKR_OK;
    }
    initializedHere = false;
    return functions->C_Finalize(nullptr);
}

int Pkcs11Module::getStatus() {
    setError(0, nullptr);
    if (functions == nullptr) {
        return setError(-210, u"getStatus");
    }
    int result = initialize();
    if (result != 0) {
        return result;
    }
    CK_ULONG count = 0;
    CK_RV rv = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK || count == 0) {
        finalize();
        return rv != CKR_OK ? fail(rv, u"C_GetSlotList") : setError(NO_TOKEN, u"C_GetSlotList");
    }
    rv = finalize();
    if (rv != CKR_OK) {
        return fail(rv, u"C_Finalize");
    }
    return 0;
}

int Pkcs11Module::userPinAtRisk(bool* atRisk) {
    *atRisk = false;
    if (functions == nullptr) {
        return setError(-210, u"userPinAtRisk");
    }
    setError(0, nullptr);
    int result = openSession(false, nullptr);
    CK_TOKEN_INFO info{};
    if (result == 0) {
        CK_RV rv = functions->C_GetTokenInfo(slot, &info);
        result = rv != CKR_OK ? fail(rv, u"C_GetTokenInfo") : 0;
    }
    *atRisk =
        result == 0 &&
        (info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED)) != 0;
    int closed = closeSession();
    return result != 0 ? result : closed;
}

int Pkcs11Module::openSession(bool login, const char16_t* pin) {
    loggedIn = false;
    int result = initialize();
    if (result != 0) {
        return result;
    }
    CK_ULONG count = 0;
    CK_RV rv = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
        return fail(rv, u"C_GetSlotList");
    }
    if (count == 0) {
        return setError(NO_TOKEN, u"C_GetSlotList");
    }
    std::vector<CK_SLOT_ID> slots(std::clamp(count, SLOT_ARRAY, MAX_SLOTS), 0xFFFFFFFF);
    CK_ULONG listed = std::min<CK_ULONG>(count, slots.size());
    rv = functions->C_GetSlotList(CK_TRUE, slots.data(), &listed);
    if (rv != CKR_OK) {
        return fail(rv, u"C_GetSlotList");
    }
    session = 0;
    slot = slots[0];
    rv = functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK) {
        return fail(rv, u"C_OpenSession");
    }
    if (!login) {
        return 0;
    }
    std::string utf8;
    WipeOnExit wipe{utf8};
    toUtf8CString(pin, utf8);
    rv = functions->C_Login(session, CKU_USER,
                            reinterpret_cast<CK_UTF8CHAR*>(utf8.empty() ? nullptr : utf8.data()),
                            utf8.size());
    if (rv != CKR_OK) {
        return fail(rv, u"C_Login");
    }
    loggedIn = true;
    return 0;
}

int Pkcs11Module::closeSession() {
    if (session != 0) {
        if (loggedIn) {
            CK_RV rv = functions->C_Logout(session);
            if (rv != CKR_OK) {
                fail(rv, u"C_Logout");
            }
            loggedIn = false;
        }
        CK_RV rv = functions->C_CloseSession(session);
        if (rv != CKR_OK) {
            fail(rv, u"C_CloseSession");
        }
        session = 0;
    }
    CK_RV rv = finalize();
    if (rv != CKR_OK) {
        return fail(rv, u"C_Finalize");
    }
    return 0;
}

int Pkcs11Module::getAttributeValue(Pkcs11Handle object, ByteBuffer* value) {
    CK_ATTRIBUTE attribute{CKA_VALUE, nullptr, 0};
    CK_RV rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK) {
        return fail(rv, u"C_GetAttributeValue");
    }
    if (attribute.ulValueLen == 0 || attribute.ulValueLen > MAX_VALUE) {
        return setError(-220, u"C_GetAttributeValue");
    }
    value->assign(attribute.ulValueLen, 0);
    attribute.pValue = value->data();
    rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK) {
        return fail(rv, u"C_GetAttributeValue");
    }
    if (attribute.ulValueLen == 0 || attribute.ulValueLen > value->size()) {
        return setError(-220, u"C_GetAttributeValue");
    }
    value->resize(attribute.ulValueLen);
    return 0;
}

int Pkcs11Module::getCerts(std::vector<ByteBuffer>* out, const char16_t* pin, bool includeCA) {
    if (functions == nullptr) {
        return setError(-210, u"getCerts");
    }
    setError(0, nullptr);
    bool login = pin != nullptr && pin[0] != 0;
    int result = openSession(login, login ? pin : nullptr);
    if (result != 0) {
        closeSession();
        return result;
    }
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certClass, sizeof certClass},
                             {CKA_TOKEN, &onToken, sizeof onToken}};
    CK_OBJECT_HANDLE handles[MAX_CERTS] = {};
    CK_ULONG found = 0;
    CK_RV rv = functions->C_FindObjectsInit(session, search, 2);
    if (rv != CKR_OK) {
        result = fail(rv, u"C_FindObjectsInit");
    } else if ((rv = functions->C_FindObjects(session, handles, MAX_CERTS, &found)) != CKR_OK) {
        result = fail(rv, u"C_FindObjects");
    } else if (found == 0) {
        result = setError(-220, u"C_FindObjects");
    } else {
        for (CK_ULONG i = 0; i < std::min(found, MAX_CERTS) && result == 0; ++i) {
            ByteBuffer value;
            result = getAttributeValue(handles[i], &value);
            if (result == 0 && (includeCA || isCaCertificate(value) == 0)) {
                out->push_back(std::move(value));
            }
        }
        if (result == 0 && (rv = functions->C_FindObjectsFinal(session)) != CKR_OK) {
            result = fail(rv, u"C_FindObjectsFinal");
        }
    }
    int closed = closeSession();
    return result != 0 ? result : closed;
}

int Pkcs11Module::getSign(const ByteBuffer* modulus, const ByteBuffer* exponent,
                          const ByteBuffer* hash, int algCode, const char16_t* pin,
                          ByteBuffer* signature) {
    if (functions == nullptr) {
        return setError(-210, u"getSign");
    }
    setError(0, nullptr);
    int result = openSession(true, pin);
    if (result == 0) {
        result = signInSession(modulus, exponent, hash, algCode, signature);
    }
    int closed = closeSession();
    return result != 0 ? result : closed;
}

int Pkcs11Module::signInSession(const ByteBuffer* modulus, const ByteBuffer* exponent,
                                const ByteBuffer* hash, int algCode, ByteBuffer* signature) {
    static const ByteBuffer none;
    const ByteBuffer& n = modulus != nullptr ? *modulus : none;
    const ByteBuffer& e = exponent != nullptr ? *exponent : none;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_TOKEN, &onToken, sizeof onToken},
        {CKA_MODULUS, const_cast<unsigned char*>(n.data()), n.size()},
        {CKA_PUBLIC_EXPONENT, const_cast<unsigned char*>(e.data()), e.size()},
    };
    CK_RV rv = functions->C_FindObjectsInit(session, search, 4);
    if (rv != CKR_OK) {
        return fail(rv, u"C_FindObjectsInit");
    }
    CK_OBJECT_HANDLE keys[MAX_KEYS] = {};
    CK_ULONG found = 0;
    rv = functions->C_FindObjects(session, keys, MAX_KEYS, &found);
    if (rv != CKR_OK) {
        return fail(rv, u"C_FindObjects");
    }
    if (found == 0) {
        return setError(-221, u"C_FindObjects");
    }
    rv = functions->C_FindObjectsFinal(session);
    if (rv != CKR_OK) {
        return fail(rv, u"C_FindObjectsFinal");
    }
    ByteBuffer digestInfo;
    if (hash != nullptr) {
        makeDigestInfo(&digestInfo, *hash, algCode);
    }
    if (digestInfo.empty()) {
        return setError(-231, u"getSign");
    }
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    rv = functions->C_SignInit(session, &mechanism, keys[0]);
    if (rv != CKR_OK) {
        return fail(rv, u"C_SignInit");
    }
    CK_ULONG length = 0;
    rv = functions->C_Sign(session, digestInfo.data(), digestInfo.size(), nullptr, &length);
    if (rv != CKR_OK) {
        return fail(rv, u"C_Sign");
    }
    // No signature at all is a broken library too, not a success with nothing to send.
    if (length == 0 || length > MAX_VALUE) {
        return fail(CKR_GENERAL_ERROR, u"C_Sign");
    }
    signature->assign(length, 0);
    rv = functions->C_Sign(session, digestInfo.data(), digestInfo.size(), signature->data(),
                           &length);
    if (rv != CKR_OK || length == 0) {
        signature->clear();
        return fail(rv != CKR_OK ? rv : CKR_GENERAL_ERROR, u"C_Sign");
    }
    signature->resize(std::min<size_t>(length, signature->size()));
    return 0;
}

}  // namespace mv

/* A PKCS#11 test module for the faults that SoftHSM cannot be made to show. Its behaviour comes
 * from QUARNEL_TEST_P11 when C_GetFunctionList is called:
 *   "nulllist"  C_GetFunctionList answers CKR_OK with a null list;
 *   "notoken"   no slot holds a token;
 *   "remove:N"  the token is removed at the N-th call (counted from 1): from then on every call but
 *               C_Finalize answers CKR_DEVICE_REMOVED.
 * Otherwise one token holds one certificate object whose value is 3 bytes. The names of the calls
 * made since C_GetFunctionList are kept for the tests (testModuleCalls). */
#include <p11-kit/pkcs11.h>
#include <stdlib.h>
#include <string.h>

static char calls[4096];
static int callCount;
static int removeAt;
static int noToken;

static CK_RV call(const char* name) {
    if (strlen(calls) + strlen(name) + 2 < sizeof calls) {
        strcat(calls, calls[0] ? " " : "");
        strcat(calls, name);
    }
    ++callCount;
    if (strcmp(name, "C_Finalize") != 0 && removeAt > 0 && callCount >= removeAt) {
        return CKR_DEVICE_REMOVED;
    }
    return CKR_OK;
}

const char* testModuleCalls(void) {
    return calls;
}

static CK_RV initialize(void* args) {
    (void)args;
    return call("C_Initialize");
}
static CK_RV finalize(void* reserved) {
    (void)reserved;
    return call("C_Finalize");
}
static CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID* list, CK_ULONG* count) {
    (void)present;
    CK_RV rv = call("C_GetSlotList");
    if (rv == CKR_OK) {
        if (list != NULL && *count > 0 && !noToken) {
            list[0] = 7;
        }
        *count = noToken ? 0 : 1;
    }
    return rv;
}
static CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, void* app, CK_NOTIFY notify,
                         CK_SESSION_HANDLE* session) {
    (void)slot, (void)flags, (void)app, (void)notify;
    *session = 1;
    return call("C_OpenSession");
}
static CK_RV closeSession(CK_SESSION_HANDLE session) {
    (void)session;
    return call("C_CloseSession");
}
static CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG len) {
    (void)session, (void)user, (void)pin, (void)len;
    return call("C_Login");
}
static CK_RV logout(CK_SESSION_HANDLE session) {
    (void)session;
    return call("C_Logout");
}
static CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                               CK_ATTRIBUTE* attributes, CK_ULONG count) {
    (void)session, (void)object, (void)count;
    CK_RV rv = call("C_GetAttributeValue");
    if (rv == CKR_OK) {
        if (attributes[0].pValue != NULL) {
            memcpy(attributes[0].pValue, "\x30\x01\x00", 3);
        }
        attributes[0].ulValueLen = 3;
    }
    return rv;
}
static CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* search, CK_ULONG count) {
    (void)session, (void)search, (void)count;
    return call("C_FindObjectsInit");
}
static CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG max,
                         CK_ULONG* found) {
    (void)session, (void)max;
    CK_RV rv = call("C_FindObjects");
    if (rv == CKR_OK) {
        objects[0] = 5;
        *found = 1;
    }
    return rv;
}
static CK_RV findObjectsFinal(CK_SESSION_HANDLE session) {
    (void)session;
    return call("C_FindObjectsFinal");
}

static CK_FUNCTION_LIST functions;

CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    const char* mode = getenv("QUARNEL_TEST_P11");
    mode = mode != NULL ? mode : "";
    calls[0] = 0;
    callCount = 0;
    removeAt = strncmp(mode, "remove:", 7) == 0 ? atoi(mode + 7) : 0;
    noToken = strcmp(mode, "notoken") == 0;
    if (strcmp(mode, "nulllist") == 0) {
        *list = NULL;
        return CKR_OK;
    }
    functions.version.major = 2;
    functions.version.minor = 40;
    functions.C_Initialize = initialize;
    functions.C_Finalize = finalize;
    functions.C_GetSlotList = getSlotList;
    functions.C_OpenSession = openSession;
    functions.C_CloseSession = closeSession;
    functions.C_Login = login;
    functions.C_Logout = logout;
    functions.C_GetAttributeValue = getAttributeValue;
    functions.C_FindObjectsInit = findObjectsInit;
    functions.C_FindObjects = findObjects;
    functions.C_FindObjectsFinal = findObjectsFinal;
    *list = &functions;
    return CKR_OK;
}

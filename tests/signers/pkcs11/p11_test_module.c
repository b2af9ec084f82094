/* A PKCS#11 test module for the faults that SoftHSM cannot be made to show. Its behaviour comes
 * from QUARNEL_TEST_P11 when C_GetFunctionList is called:
 *   "nulllist"  C_GetFunctionList answers CKR_OK with a null list;
 *   "notoken"   no slot holds a token;
 *   "remove:N"  the token is removed at the N-th call (counted from 1): from then on every call but
 *               C_Finalize answers CKR_DEVICE_REMOVED;
 *   "wide:NAME" the call NAME answers 0x100000000, a CK_RV whose low 32 bits are those of CKR_OK;
 *   "nosign"    the list has no C_Sign;
 *   "badlogout" C_Logout fails with a vendor-defined code;
 *   "pinlow", "pinfinal", "pinlocked"  C_GetTokenInfo reports CKF_USER_PIN_COUNT_LOW,
 *               CKF_USER_PIN_FINAL_TRY or CKF_USER_PIN_LOCKED (and C_Login then CKR_PIN_LOCKED);
 *   "huge"      the certificate's CKA_VALUE is said to be 1 TiB long;
 *   "slowsign:N" the first C_Sign takes N seconds, as a token waiting for its button or a
 *               card reader that hangs: nothing the caller does can end the call sooner.
 * Otherwise slot 7 holds a token with one certificate object whose value is 3 bytes, or the bytes
 * of the file QUARNEL_TEST_P11_CERT names, and C_Sign gives a 1-byte value. The names of the
 * calls made since C_GetFunctionList are kept for the tests (testModuleCalls); a hostile module's
 * view is appended to the file QUARNEL_TEST_P11_LOG when it is set: a line "C_GetFunctionList"
 * when the module is used, and a line C_Login PIN="<the PIN>" for each login. */
#include <p11-kit/pkcs11.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The calls look at few of their arguments. */
#pragma GCC diagnostic ignored "-Wunused-parameter"

static char calls[4096], wideCall[64];
static int callCount, removeAt, noToken, badLogout, hugeValue, signSeconds;
static CK_FLAGS tokenFlags;
static unsigned char value[8192] = {0x30, 0x01, 0x00};
static CK_ULONG valueLength = 3;

static CK_RV call(const char* name) {
    if (strlen(calls) + strlen(name) + 2 < sizeof calls) {
        strcat(strcat(calls, calls[0] ? " " : ""), name);
    }
    ++callCount;
    if (strcmp(name, wideCall) == 0) {
        return (CK_RV)1 << 32;
    }
    int removed = removeAt > 0 && callCount >= removeAt && strcmp(name, "C_Finalize") != 0;
    return removed ? CKR_DEVICE_REMOVED : CKR_OK;
}

static void logLine(const char* format, const char* text) {
    FILE* log = getenv("QUARNEL_TEST_P11_LOG") ? fopen(getenv("QUARNEL_TEST_P11_LOG"), "a") : NULL;
    if (log != NULL) {
        fprintf(log, format, text);
        fclose(log);
    }
}

const char* testModuleCalls(void) {
    return calls;
}

/* Calls whose only work is to be counted. */
#define COUNTED(fn, params) \
    CK_RV fn params {       \
        return call(#fn);   \
    }
COUNTED(C_Initialize, (void* a))
COUNTED(C_Finalize, (void* a))
COUNTED(C_CloseSession, (CK_SESSION_HANDLE s))
COUNTED(C_FindObjectsInit, (CK_SESSION_HANDLE s, CK_ATTRIBUTE* t, CK_ULONG n))
COUNTED(C_FindObjectsFinal, (CK_SESSION_HANDLE s))
COUNTED(C_SignInit, (CK_SESSION_HANDLE s, CK_MECHANISM* m, CK_OBJECT_HANDLE k))

CK_RV C_Login(CK_SESSION_HANDLE s, CK_USER_TYPE u, CK_UTF8CHAR* pin, CK_ULONG length) {
    char text[256] = "";
    if (pin != NULL && length < sizeof text) {
        memcpy(text, pin, length);
    }
    logLine("C_Login PIN=\"%s\"\n", text);
    CK_RV rv = call("C_Login");
    return rv == CKR_OK && (tokenFlags & CKF_USER_PIN_LOCKED) ? CKR_PIN_LOCKED : rv;
}
CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    memset(info, 0, sizeof *info);
    info->flags =
        CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | tokenFlags;
    return call("C_GetTokenInfo");
}
/* A 1-byte "signature", 0x5A. */
CK_RV C_Sign(CK_SESSION_HANDLE s, CK_BYTE* d, CK_ULONG n, CK_BYTE* out, CK_ULONG* length) {
    /* sleep() ends early on a signal; the call must not. */
    for (unsigned left = (unsigned)signSeconds; left > 0;) {
        left = sleep(left);
    }
    signSeconds = 0;
    *length = 1;
    if (out != NULL) {
        out[0] = 0x5A;
    }
    return call("C_Sign");
}
CK_RV C_Logout(CK_SESSION_HANDLE s) {
    CK_RV rv = call("C_Logout");
    return badLogout ? CKR_VENDOR_DEFINED + 1 : rv;
}

static CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID* list, CK_ULONG* count) {
    if (list != NULL && *count > 0 && !noToken) {
        list[0] = 7;
    }
    *count = noToken ? 0 : 1;
    return call("C_GetSlotList");
}
static CK_RV getAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE* attr,
                               CK_ULONG n) {
    if (attr[0].pValue != NULL) {
        memcpy(attr[0].pValue, value, valueLength);
    }
    attr[0].ulValueLen = hugeValue ? (CK_ULONG)1 << 40 : valueLength;
    return call("C_GetAttributeValue");
}
CK_RV C_OpenSession(CK_SLOT_ID s, CK_FLAGS f, void* a, CK_NOTIFY n, CK_SESSION_HANDLE* h) {
    *h = 1;
    return call("C_OpenSession");
}
static CK_RV findObjects(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE* objects, CK_ULONG max,
                         CK_ULONG* found) {
    objects[0] = 5;
    *found = 1;
    return call("C_FindObjects");
}

static CK_FUNCTION_LIST functions = {.C_Initialize = C_Initialize,
                                     .C_Finalize = C_Finalize,
                                     .C_GetTokenInfo = C_GetTokenInfo,
                                     .C_GetSlotList = getSlotList,
                                     .C_OpenSession = C_OpenSession,
                                     .C_CloseSession = C_CloseSession,
                                     .C_Login = C_Login,
                                     .C_Logout = C_Logout,
                                     .C_GetAttributeValue = getAttributeValue,
                                     .C_FindObjectsInit = C_FindObjectsInit,
                                     .C_FindObjects = findObjects,
                                     .C_FindObjectsFinal = C_FindObjectsFinal,
                                     .C_SignInit = C_SignInit};

CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    const char* mode = getenv("QUARNEL_TEST_P11") != NULL ? getenv("QUARNEL_TEST_P11") : "";
    calls[0] = 0;
    callCount = 0;
    removeAt = strncmp(mode, "remove:", 7) == 0 ? atoi(mode + 7) : 0;
    snprintf(wideCall, sizeof wideCall, "%s", strncmp(mode, "wide:", 5) == 0 ? mode + 5 : "");
    noToken = strcmp(mode, "notoken") == 0;
    badLogout = strcmp(mode, "badlogout") == 0;
    hugeValue = strcmp(mode, "huge") == 0;
    signSeconds = strncmp(mode, "slowsign:", 9) == 0 ? atoi(mode + 9) : 0;
    tokenFlags = strcmp(mode, "pinlow") == 0      ? CKF_USER_PIN_COUNT_LOW
                 : strcmp(mode, "pinfinal") == 0  ? CKF_USER_PIN_FINAL_TRY
                 : strcmp(mode, "pinlocked") == 0 ? CKF_USER_PIN_LOCKED
                                                  : 0;
    FILE* cert =
        getenv("QUARNEL_TEST_P11_CERT") ? fopen(getenv("QUARNEL_TEST_P11_CERT"), "rb") : NULL;
    memcpy(value, "\x30\x01\x00", valueLength = 3);
    if (cert != NULL) {
        valueLength = fread(value, 1, sizeof value, cert);
        fclose(cert);
    }
    logLine("%s\n", "C_GetFunctionList");
    functions.C_Sign = strcmp(mode, "nosign") == 0 ? NULL : C_Sign;
    *list = strcmp(mode, "nulllist") == 0 ? NULL : &functions;
    return CKR_OK;
}

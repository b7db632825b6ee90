// SPDX-License-Identifier: Apache-2.0
/* A PKCS#11 module in front of another, behaving as cloud key services'
 * modules do where SoftHSM2 cannot be made to:
 *   QUIRKS_MODULE      the real module (required)
 *   QUIRKS_LOGIN_PIN   set: the token says no login is required, and this
 *                      module logs in itself with this PIN when a session
 *                      opens (as modules authenticated by a credentials file
 *                      do); a C_Login of the caller is refused
 *   QUIRKS_SINGLE_PART set: every multi-part call (C_SignUpdate, C_SignFinal,
 *                      C_DigestUpdate, ...) fails with
 *                      CKR_FUNCTION_NOT_SUPPORTED, and signing takes raw
 *                      CKM_RSA_PKCS only
 *   QUIRKS_LOG         a file that gets the name of every call
 * Built with -DQUIRKS_TOOL it is instead a program that gives the private
 * key labelled ARGV[4] on token ARGV[2] the CKA_ID (hex) ARGV[5] and the
 * label ARGV[6], which pkcs11-tool cannot when they are long:
 *   quirks-tool MODULE TOKEN PIN LABEL ID_HEX NEW_LABEL */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST_PTR load(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return NULL;
    CK_C_GetFunctionList get = (CK_C_GetFunctionList)dlsym(handle, "C_GetFunctionList");
    CK_FUNCTION_LIST_PTR list = NULL;
    if (!get || get(&list) != CKR_OK) return NULL;
    return list;
}

#ifdef QUIRKS_TOOL
int main(int argc, char** argv) {
    if (argc != 7) return 2;
    CK_FUNCTION_LIST_PTR f = load(argv[1]);
    if (!f || f->C_Initialize(NULL) != CKR_OK) return 3;
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (f->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return 4;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info;
        if (f->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
        size_t n = strlen(argv[2]);
        if (n > 32 || memcmp(info.label, argv[2], n) != 0 || (n < 32 && info.label[n] != ' '))
            continue;
        CK_SESSION_HANDLE s;
        if (f->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &s) !=
                CKR_OK ||
            f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)argv[3], strlen(argv[3])) != CKR_OK)
            return 5;
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE filter[2] = {{CKA_CLASS, &cls, sizeof cls},
                                  {CKA_LABEL, argv[4], strlen(argv[4])}};
        CK_OBJECT_HANDLE key;
        CK_ULONG found = 0;
        if (f->C_FindObjectsInit(s, filter, 2) != CKR_OK ||
            f->C_FindObjects(s, &key, 1, &found) != CKR_OK || found != 1)
            return 6;
        f->C_FindObjectsFinal(s);
        size_t idLength = strlen(argv[5]) / 2;
        unsigned char* id = malloc(idLength + 1);
        for (size_t k = 0; k < idLength; ++k) sscanf(argv[5] + 2 * k, "%2hhx", &id[k]);
        CK_ATTRIBUTE set[2] = {{CKA_ID, id, idLength}, {CKA_LABEL, argv[6], strlen(argv[6])}};
        CK_RV rv = f->C_SetAttributeValue(s, key, set, 2);
        free(id);
        f->C_Logout(s);
        f->C_CloseSession(s);
        f->C_Finalize(NULL);
        return rv == CKR_OK ? 0 : 7;
    }
    return 8;
}
#else
static CK_FUNCTION_LIST_PTR real;
static CK_FUNCTION_LIST shim;

static void note(const char* name) {
    const char* path = getenv("QUIRKS_LOG");
    if (!path) return;
    FILE* log = fopen(path, "a");
    if (!log) return;
    fprintf(log, "%s\n", name);
    fclose(log);
}

static int single_part(void) { return getenv("QUIRKS_SINGLE_PART") != NULL; }

static CK_RV shim_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    note("C_GetTokenInfo");
    CK_RV rv = real->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK && getenv("QUIRKS_LOGIN_PIN")) info->flags &= ~(CK_FLAGS)CKF_LOGIN_REQUIRED;
    return rv;
}

static CK_RV shim_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                              CK_SESSION_HANDLE_PTR session) {
    note("C_OpenSession");
    CK_RV rv = real->C_OpenSession(slot, flags, app, notify, session);
    const char* pin = getenv("QUIRKS_LOGIN_PIN");
    if (rv == CKR_OK && pin) {
        CK_RV login = real->C_Login(*session, CKU_USER, (CK_UTF8CHAR_PTR)pin, strlen(pin));
        if (login != CKR_OK && login != CKR_USER_ALREADY_LOGGED_IN) return login;
    }
    return rv;
}

static CK_RV shim_Login(CK_SESSION_HANDLE s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                        CK_ULONG length) {
    note("C_Login");
    if (getenv("QUIRKS_LOGIN_PIN")) return CKR_FUNCTION_NOT_SUPPORTED;
    return real->C_Login(s, user, pin, length);
}

static CK_RV shim_SignInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    note("C_SignInit");
    if (single_part() && (!mechanism || mechanism->mechanism != CKM_RSA_PKCS))
        return CKR_MECHANISM_INVALID;
    return real->C_SignInit(s, mechanism, key);
}

static CK_RV shim_Sign(CK_SESSION_HANDLE s, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                       CK_ULONG_PTR outLength) {
    note("C_Sign");
    return real->C_Sign(s, data, length, out, outLength);
}

#define REFUSED(name, params, ...)                                   \
    static CK_RV shim_##name params {                                 \
        note("C_" #name);                                             \
        if (single_part()) return CKR_FUNCTION_NOT_SUPPORTED;         \
        return real->C_##name(__VA_ARGS__);                           \
    }
REFUSED(SignUpdate, (CK_SESSION_HANDLE s, CK_BYTE_PTR p, CK_ULONG n), s, p, n)
REFUSED(SignFinal, (CK_SESSION_HANDLE s, CK_BYTE_PTR p, CK_ULONG_PTR n), s, p, n)
REFUSED(DigestInit, (CK_SESSION_HANDLE s, CK_MECHANISM_PTR m), s, m)
REFUSED(DigestUpdate, (CK_SESSION_HANDLE s, CK_BYTE_PTR p, CK_ULONG n), s, p, n)
REFUSED(DigestFinal, (CK_SESSION_HANDLE s, CK_BYTE_PTR p, CK_ULONG_PTR n), s, p, n)
REFUSED(Digest, (CK_SESSION_HANDLE s, CK_BYTE_PTR p, CK_ULONG n, CK_BYTE_PTR o, CK_ULONG_PTR on),
        s, p, n, o, on)

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
    if (!real) {
        const char* path = getenv("QUIRKS_MODULE");
        real = path ? load(path) : NULL;
        if (!real) return CKR_GENERAL_ERROR;
        shim = *real;
        shim.C_GetFunctionList = C_GetFunctionList;
        shim.C_GetTokenInfo = shim_GetTokenInfo;
        shim.C_OpenSession = shim_OpenSession;
        shim.C_Login = shim_Login;
        shim.C_SignInit = shim_SignInit;
        shim.C_Sign = shim_Sign;
        shim.C_SignUpdate = shim_SignUpdate;
        shim.C_SignFinal = shim_SignFinal;
        shim.C_DigestInit = shim_DigestInit;
        shim.C_DigestUpdate = shim_DigestUpdate;
        shim.C_DigestFinal = shim_DigestFinal;
        shim.C_Digest = shim_Digest;
    }
    *out = &shim;
    return CKR_OK;
}
#endif

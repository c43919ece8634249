// object_security: owners and access lists of the package's kernel objects and keys.
#include "object_security.h"

#include <sddl.h>

// Owner Administrators, a protected list (nothing inherited from the creator's
// defaults): a standard user can neither take the name over nor widen the list.
static const char RECORD_SDDL[] = "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;WD)";
static const char PRIVILEGED_ONLY_SDDL[] = "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
static const char PRODUCT_KEY_SDDL[] = "O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

// A token's information of one class, in a buffer the caller frees; NULL on failure.
static void *tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass)
{
    DWORD size = 0;
    GetTokenInformation(token, infoClass, NULL, 0, &size);
    if (size == 0)
        return NULL;
    void *info = LocalAlloc(LPTR, size);
    if (info != NULL && !GetTokenInformation(token, infoClass, info, size, &size)) {
        LocalFree(info);
        info = NULL;
    }
    return info;
}

static int isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    return sid != NULL && IsValidSid(sid) && IsWellKnownSid(sid, type);
}

static int isTrustedOwner(PSID owner)
{
    return isWellKnown(owner, WinLocalSystemSid) || isWellKnown(owner, WinBuiltinAdministratorsSid);
}

int tokenIsPrivileged(HANDLE token)
{
    int privileged = 0;
    TOKEN_USER *user = (TOKEN_USER *)tokenInformation(token, TokenUser);
    if (user != NULL)
        privileged = isWellKnown(user->User.Sid, WinLocalSystemSid);
    LocalFree(user);
    TOKEN_GROUPS *groups = privileged ? NULL : (TOKEN_GROUPS *)tokenInformation(token, TokenGroups);
    for (DWORD i = 0; groups != NULL && i < groups->GroupCount && !privileged; i++) {
        // A deny-only Administrators group (a restricted or filtered token) is not enabled.
        DWORD attributes = groups->Groups[i].Attributes;
        privileged = isWellKnown(groups->Groups[i].Sid, WinBuiltinAdministratorsSid)
                     && (attributes & SE_GROUP_ENABLED) && !(attributes & SE_GROUP_USE_FOR_DENY_ONLY);
    }
    LocalFree(groups);
    return privileged;
}

int isPrivilegedProcess()
{
    static volatile LONG decided = -1;   // -1 not yet, else 0 or 1
    if (decided >= 0)
        return decided;
    HANDLE token;
    int privileged = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        privileged = tokenIsPrivileged(token);
        CloseHandle(token);
    }
    InterlockedExchange(&decided, privileged);
    return privileged;
}

int tokenHoldsPrivilege(HANDLE token, const char *privilegeName)
{
    LUID wanted;
    if (!LookupPrivilegeValueA(NULL, privilegeName, &wanted))
        return 0;
    int held = 0;
    TOKEN_PRIVILEGES *privileges = (TOKEN_PRIVILEGES *)tokenInformation(token, TokenPrivileges);
    for (DWORD i = 0; privileges != NULL && i < privileges->PrivilegeCount && !held; i++) {
        LUID luid = privileges->Privileges[i].Luid;
        held = luid.LowPart == wanted.LowPart && luid.HighPart == wanted.HighPart;
    }
    LocalFree(privileges);
    return held;
}

int objectSecurity(object_access access, SECURITY_ATTRIBUTES *attributes)
{
    const char *sddl = access == ACCESS_SHARED_RECORD ? RECORD_SDDL : PRIVILEGED_ONLY_SDDL;
    attributes->nLength = sizeof(*attributes);
    attributes->bInheritHandle = FALSE;
    attributes->lpSecurityDescriptor = NULL;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                &attributes->lpSecurityDescriptor, NULL)
               ? 1
               : 0;
}

void releaseObjectSecurity(SECURITY_ATTRIBUTES *attributes)
{
    LocalFree(attributes->lpSecurityDescriptor);
    attributes->lpSecurityDescriptor = NULL;
}

int isTrustedObject(HANDLE object)
{
    DWORD size = 0;
    GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, NULL, 0, &size);
    PSECURITY_DESCRIPTOR descriptor = size != 0 ? LocalAlloc(LPTR, size) : NULL;
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    int trusted = descriptor != NULL
                  && GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, descriptor, size, &size)
                  && GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && isTrustedOwner(owner);
    LocalFree(descriptor);
    return trusted;
}

object_outcome keepTrustedObject(HANDLE *object)
{
    DWORD createError = GetLastError();
    if (*object == NULL)
        return OBJECT_FAILED;
    if (createError != ERROR_ALREADY_EXISTS)
        return OBJECT_CREATED;
    if (isTrustedObject(*object)) {
        SetLastError(createError);
        return OBJECT_OPENED;
    }
    CloseHandle(*object);
    *object = NULL;
    SetLastError(ERROR_INVALID_OWNER);
    return OBJECT_NOT_TRUSTED;
}

object_outcome createTrustedObject(object_access access, object_creator create, const char *name, HANDLE *object)
{
    SECURITY_ATTRIBUTES attributes;
    *object = NULL;
    if (!objectSecurity(access, &attributes))
        return OBJECT_FAILED;
    SetLastError(ERROR_SUCCESS);
    *object = create(&attributes, name);
    object_outcome outcome = keepTrustedObject(object);
    DWORD error = GetLastError();
    releaseObjectSecurity(&attributes);
    SetLastError(error);
    return outcome;
}

LONG secureProductKey(HKEY root, const char *subkey)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(PRODUCT_KEY_SDDL, SDDL_REVISION_1, &descriptor, NULL))
        return (LONG)GetLastError();
    HKEY key;
    LONG status = RegOpenKeyExA(root, subkey, 0, WRITE_OWNER | WRITE_DAC, &key);
    if (status == ERROR_SUCCESS) {
        // Owner and list together: a list without an explicit owner is not enforced everywhere.
        status = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    return status;
}

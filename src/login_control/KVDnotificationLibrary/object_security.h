// object_security: who may change what the logon process trusts.
// The package's kernel objects and registry keys are owned by Administrators
// and carry a protected access list. Only processes of SYSTEM or of an enabled
// Administrators group make and write them; an object found under one of
// their names with another owner was made by somebody else and is not used.
#ifndef KVD_OBJECT_SECURITY_H
#define KVD_OBJECT_SECURITY_H

#include <windows.h>

// Who gets what on a kernel object of the package.
typedef enum object_access {
    ACCESS_SHARED_RECORD,   // SYSTEM and Administrators all, everyone else read
    ACCESS_PRIVILEGED_ONLY  // SYSTEM and Administrators all, nobody else anything
} object_access;

// How a create call of a named object ended, as keepTrustedObject tells it.
typedef enum object_outcome {
    OBJECT_CREATED,      // this process made it
    OBJECT_OPENED,       // it existed, owned by SYSTEM or Administrators
    OBJECT_NOT_TRUSTED,  // it existed with another owner: the handle is closed
    OBJECT_FAILED        // the create call failed (for instance access denied)
} object_outcome;

// 1 when this process runs as SYSTEM or with an enabled Administrators group.
// Decided once per process from its own token (not a thread's impersonation).
int isPrivilegedProcess();
// 1 when the token is SYSTEM's or holds an enabled Administrators group.
int tokenIsPrivileged(HANDLE token);
// 1 when the token holds the named privilege, enabled or not.
int tokenHoldsPrivilege(HANDLE token, const char *privilegeName);

// Security attributes for a named object of the package; 0 on failure. The
// caller gives them back with releaseObjectSecurity.
int objectSecurity(object_access access, SECURITY_ATTRIBUTES *attributes);
void releaseObjectSecurity(SECURITY_ATTRIBUTES *attributes);

// Makes the named object through create with the package's security for
// access (see keepTrustedObject). *object is NULL unless the outcome is
// OBJECT_CREATED or OBJECT_OPENED; the last error is the create call's.
typedef HANDLE (*object_creator)(SECURITY_ATTRIBUTES *attributes, const char *name);
object_outcome createTrustedObject(object_access access, object_creator create, const char *name, HANDLE *object);

// The first words of the trace line that reports an object of another owner
// (the name is its argument); each caller says what it does instead.
#define NOT_TRUSTED_FORMAT "'%s' exists with an owner that is neither SYSTEM nor Administrators: not trusted"

// Called right after a create call (CreateMutexA, CreateFileMappingA, ...) with
// its result: keeps the handle unless the object existed with an owner that is
// neither SYSTEM nor Administrators, in which case it is closed and set to NULL.
object_outcome keepTrustedObject(HANDLE *object);
// 1 when the object's owner is SYSTEM or Administrators.
int isTrustedObject(HANDLE object);

// Gives a product key owner Administrators and the protected list: SYSTEM and
// Administrators all, Users read. ERROR_SUCCESS or the error of the failed step.
LONG secureProductKey(HKEY root, const char *subkey);

#endif

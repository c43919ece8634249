// registered_library: how the stand-ins load the notification library: the one
// the notification package registration names (DLLName, expanded), as the
// logon process loads it; without a registration, the one found by name
// (beside the stand-in).
#ifndef KVD_REGISTERED_LIBRARY_H
#define KVD_REGISTERED_LIBRARY_H

#include <windows.h>

#include "registry_schema.h"   // the registration table

inline HMODULE loadRegisteredLibrary()
{
    char registered[MAX_PATH] = "";
    char expanded[MAX_PATH] = "";
    DWORD size = sizeof(registered) - 1;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, NOTIFY_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExA(key, NOTIFY_DLL_NAME, NULL, NULL, (BYTE *)registered, &size) != ERROR_SUCCESS)
            registered[0] = '\0';
        RegCloseKey(key);
    }
    DWORD length = ExpandEnvironmentStringsA(registered, expanded, sizeof(expanded));
    if (registered[0] == '\0' || length == 0 || length > sizeof(expanded))
        return LoadLibraryA("KVDnotificationLibrary");
    return LoadLibraryA(expanded);
}

#endif

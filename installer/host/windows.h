// windows.h for the host build of settings_lists: the tables of
// registry_schema.h and the event source list need only these names, and
// the host has no Windows headers.
#ifndef KVD_HOST_WINDOWS_H
#define KVD_HOST_WINDOWS_H

#include <stddef.h>

typedef unsigned int DWORD;
#define HKEY_LOCAL_MACHINE ((void *)0x80000002)
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#endif

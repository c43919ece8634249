// core_attach_probe: loads the shipped library by path like any client and prints what it sees.
// Usage: core_attach_probe <library path> [set-logged-on <n>]
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int(WINAPI *GetNumLoggedOnFn)(void);

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == NULL) {
        printf("load failed %lu\n", GetLastError());
        return 1;
    }
    GetNumLoggedOnFn getNumLoggedOn = (GetNumLoggedOnFn)(void (*)(void))GetProcAddress(library, "getNumLoggedOn");
    printf("loggedOn=%d\n", getNumLoggedOn());
    if (argc == 4 && strcmp(argv[2], "set-logged-on") == 0) {
        HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "Global\\KVDNotificationFileMap");
        DWORD *record = mapping ? (DWORD *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 24) : NULL;
        if (record != NULL) {
            record[0] = (DWORD)atoi(argv[3]);
            UnmapViewOfFile(record);
        }
        if (mapping)
            CloseHandle(mapping);
        printf("after=%d\n", getNumLoggedOn());
    }
    FreeLibrary(library);
    return 0;
}

// kvdsmoke: loads the library as any client would and prints the shared record.
#include <windows.h>
#include <stdio.h>

typedef int(WINAPI *GetNumLoggedOnFn)(void);

int main()
{
    HMODULE library = LoadLibraryA("KVDnotificationLibrary");
    if (library == NULL) {
        printf("cannot load KVDnotificationLibrary (%lu)\n", GetLastError());
        return 1;
    }
    GetNumLoggedOnFn getNumLoggedOn = (GetNumLoggedOnFn)(void (*)(void))GetProcAddress(library, "getNumLoggedOn");
    printf("KVDnotificationLibrary loaded; getNumLoggedOn() = %d\n", getNumLoggedOn ? getNumLoggedOn() : -1);

    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\KVDNotificationFileMap");
    const DWORD *record = mapping ? (const DWORD *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 24) : NULL;
    if (record == NULL) {
        printf("cannot open the shared record (%lu)\n", GetLastError());
    } else {
        static const char *const names[] = {"_dwLoggedOn", "_upcallCode", "_someoneLooping",
                                            "_shutdownWhenComplete", "_upcallRunning", "_final_popup_enabled"};
        printf("shared record \"Global\\KVDNotificationFileMap\" (24 bytes):\n");
        for (int i = 0; i < 6; i++)
            printf("  %-22s %lu\n", names[i], record[i]);
        UnmapViewOfFile(record);
    }
    if (mapping)
        CloseHandle(mapping);
    FreeLibrary(library);
    return record != NULL ? 0 : 1;
}

// fault_agent: calls the library as the logon process or the engine would, for the fault tests.
//   fault_agent LIBRARY increase|clients|pause|badlogon|threadfault|user|squat [DISTID|FOLDER|FILE]
// Exit code: the milliseconds of loading and calls (clients: an increase and a decrease; pause: kind 1, limit 5;
// badlogon: those of clients, on another thread after logons with bad records, before two logoffs).
// threadfault faults on the main thread once a logon on another runs the fake upcall of FOLDER;
// badpause gives the engine pause an ID at a bad address, first read by the C runtime.
// user (as a standard user): a bit for each way of changing the shared state that worked; calls each writing export.
// squat (as a standard user): makes the package's object names first, then writes "ready" to FILE.
// Any other action (a program planted where a path with a blank leads) writes "THIS PROGRAM.ran".
#include <windows.h>
#include <stdint.h>
#include <string>

#include "export_binding.h"
#include "notify_trace.h"

static HMODULE library;
static const char *distID;

static void event(const char *name, PWLX_NOTIFICATION_INFO info)
{
    exportOf<void(WINAPI *)(PWLX_NOTIFICATION_INFO)>(library, name)(info);
}

static DWORD WINAPI clients(LPVOID)
{
    exportOf<void(WINAPI *)(const char *)>(library, "increaseRunningClients")(distID);
    exportOf<void(WINAPI *)(const char *)>(library, "decreaseRunningClients")(distID);
    return 0;
}

static DWORD WINAPI logon(LPVOID user)
{
    WLX_NOTIFICATION_INFO info = {sizeof(info), 0, (PWSTR)user, NULL, NULL, NULL, NULL, NULL};
    event("KVDEventLogon", &info);
    return 0;
}

static const char *const OBJECT_NAMES[] = {"Global\\KVDNotificationFileMap", "Global\\KVDNotificationSemaphore",
                                           "Global\\KVD_donemsg_mutex", "KVDNotificationSemaphore_trace"};

static int tryAsStandardUser()
{
    int worked = 0;
    HANDLE handle = OpenFileMappingA(FILE_MAP_WRITE, FALSE, OBJECT_NAMES[0]);
    worked |= handle != NULL ? 1 : 0;   // the record writable
    CloseHandle(handle);
    handle = CreateMutexA(NULL, FALSE, OBJECT_NAMES[1]);
    worked |= handle != NULL ? 2 : 0;   // the lock reachable
    CloseHandle(handle);
    static const char *const values[][2] = {
        {"Software\\Orvane\\KVDNotification", "_maxLoginAllowed"},
        {"Software\\Orvane\\KVDNotification", "TracePath"},
        {"Software\\Orvane\\KVDNotification\\upcall", "UpcallProgram"},
        {"Software\\Orvane\\KVDNotification\\popctl", "_popupType"}};
    for (const auto &value : values) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, value[0], 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            worked |= RegSetValueExA(key, value[1], 0, REG_SZ, (const BYTE *)"x", 2) == ERROR_SUCCESS ? 4 : 0;   // a value
            RegCloseKey(key);
        }
    }
    exportOf<void(WINAPI *)(int)>(library, "shutdownWhenComplete")(1);
    exportOf<void(WINAPI *)()>(library, "enableFinalPopup")();
    typedef int(WINAPI * PauseMe)(const char *, const char *, int, int, int);
    exportOf<PauseMe>(library, "pauseMeIfNeeded")("localhost", distID, 1, 0, 1);
    clients(NULL);
    WLX_NOTIFICATION_INFO info = {sizeof(info), 0, (PWSTR)L"mallory", NULL, NULL, NULL, NULL, NULL};
    for (const char *handler : {"KVDEventStartUp", "KVDEventLogon", "KVDEventLogoff", "KVDEventShutdown"})
        event(handler, &info);
    return worked;
}

static int squat(const char *readyFile)
{
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 24, OBJECT_NAMES[0]);
    bool taken = GetLastError() == ERROR_ALREADY_EXISTS;
    *(DWORD *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) = 77;   // _dwLoggedOn
    for (const char *mutex : {OBJECT_NAMES[1], OBJECT_NAMES[2]})
        taken |= CreateMutexA(NULL, TRUE, mutex) != NULL && GetLastError() == ERROR_ALREADY_EXISTS;
    taken |= CreateSemaphoreA(NULL, 0, 1, OBJECT_NAMES[3]) != NULL && GetLastError() == ERROR_ALREADY_EXISTS;
    HANDLE file = CreateFileA(readyFile, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written;
    WriteFile(file, taken ? "taken" : "ready", 5, &written, NULL);
    CloseHandle(file);
    Sleep(120000);   // the test ends it long before
    return 0;
}

// Under Wine an unhandled fault starts the debugger, which never ends.
static LONG WINAPI endProcess(EXCEPTION_POINTERS *) { return EXCEPTION_EXECUTE_HANDLER; }

int main(int argc, char **argv)
{
    SetUnhandledExceptionFilter(endProcess);
    std::string action = argc > 2 ? argv[2] : "";
    distID = argc > 3 ? argv[3] : "D1";
    DWORD started = GetTickCount();   // loading counts: its first trace line may wait as well
    library = argc > 2 && action != "squat" ? LoadLibraryA(argv[1]) : NULL;
    if (library != NULL && action == "increase") {
        exportOf<void(WINAPI *)(const char *)>(library, "increaseRunningClients")(distID);
    } else if (library != NULL && action == "clients") {
        clients(NULL);
    } else if (library != NULL && (action == "pause" || action == "badpause")) {
        typedef int(WINAPI * PauseMe)(const char *, const char *, int, int, int);
        exportOf<PauseMe>(library, "pauseMeIfNeeded")("localhost", action == "pause" ? distID : (char *)0x10, 1, 5, 1);
    } else if (library != NULL && action == "badlogon") {
        event("KVDEventLogon", (PWLX_NOTIFICATION_INFO)0x10);
        logon((LPVOID)0x10);
        started = GetTickCount();
        HANDLE thread = CreateThread(NULL, 0, clients, NULL, 0, NULL);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        DWORD took = GetTickCount() - started;
        WLX_NOTIFICATION_INFO sound = {sizeof(sound), 0, (PWSTR)L"mallory", NULL, NULL, NULL, NULL, NULL};
        event("KVDEventLogoff", &sound);
        event("KVDEventLogoff", &sound);
        return (int)took;
    } else if (library != NULL && action == "threadfault") {
        CloseHandle(CreateThread(NULL, 0, logon, (LPVOID)L"mallory", 0, NULL));
        std::string upcallRuns = std::string(distID) + "\\pid1.txt";
        for (int i = 0; i < 300 && GetFileAttributesA(upcallRuns.c_str()) == INVALID_FILE_ATTRIBUTES; i++)
            Sleep(100);
        volatile uintptr_t nowhere = 0x10;
        *(volatile int *)nowhere = 1;
    } else if (library != NULL && action == "user") {
        return tryAsStandardUser();
    } else if (action == "squat") {
        return squat(distID);
    } else {
        char self[MAX_PATH];
        DWORD len = GetModuleFileNameA(NULL, self, MAX_PATH);
        std::string marker = std::string(self, len) + ".ran";
        CloseHandle(CreateFileA(marker.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
        return 9;
    }
    return (int)(GetTickCount() - started);
}

// bench_library: figures for the library's logon decision, its global lock, and
// the engine pair and a logon without an upcall against the floor of their raw
// operations, printed one per line.
//
//   bench_library.exe                   all figures
//   bench_library.exe --lock-worker N   (internal) N client pairs, prints the milliseconds taken
//   bench_library.exe --child           (internal) the trivial child: one line on standard output
//
// It rewrites the package's registry keys and its own scratch queue, so run it
// in a Wine prefix of its own (scripts/bench_library.sh does).
#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>

#include "KVDnotificationLibrary.h"
#include "export_binding.h"
#include "registry_schema.h"
#include "test_config.h"

typedef void(WINAPI *EventHandler)(PWLX_NOTIFICATION_INFO);
typedef void(WINAPI *ClientEvent)(const char *);

static const int DECISION_ROUNDS = 30;
static const int LOCK_PAIRS = 400;
static const int LOCK_PROCESSES = 4;
static const int FLOOR_ROUNDS = 15;
static const int CALLS_PER_ROUND = 100;

static std::string winPath(const std::string &unixPath)
{
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

static std::string ownPath()
{
    char path[MAX_PATH];
    DWORD len = GetModuleFileNameA(NULL, path, sizeof(path));
    return std::string(path, len < sizeof(path) ? len : 0);
}

static HMODULE loadLibrary()
{
    return LoadLibraryA((winPath(KVD_PRODUCT_BIN_UNIX) + "\\KVDnotificationLibrary.dll").c_str());
}

static double nowMs()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void setString(const char *key, const char *name, const std::string &value)
{
    SHSetValueA(HKEY_LOCAL_MACHINE, key, name, REG_SZ, value.c_str(), (DWORD)value.size() + 1);
}

static void setDword(const char *key, const char *name, DWORD value)
{
    SHSetValueA(HKEY_LOCAL_MACHINE, key, name, REG_DWORD, &value, sizeof(value));
}

// The library on, tracing off, the real jobupcall over a small scratch queue
// whose jobs belong to another application (so " -l " lists nothing).
static void configure(const std::string &dataDir)
{
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Orvane");
    for (const char *key : {KVD_MAIN_KEY, KVD_POPCTL_KEY, KVD_UPCALL_KEY}) {
        HKEY handle;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &handle, NULL);
        RegCloseKey(handle);
    }
    std::string bin = winPath(KVD_PRODUCT_BIN_UNIX);
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    setString(KVD_UPCALL_KEY, VAL_UPCALL_PROGRAM, bin + "\\jobupcall.exe");
    setString(KVD_UPCALL_KEY, VAL_XEP_BINDIR, bin);
    setString(KVD_UPCALL_KEY, VAL_XEP_CACHEDIR, dataDir);
    setString(KVD_UPCALL_KEY, VAL_XEP_DATDIR, dataDir);
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, 30);
    CreateDirectoryA(dataDir.c_str(), NULL);
    FILE *queue = fopen((dataDir + "\\korvo2queue.txt").c_str(), "wb");
    if (queue != NULL) {
        for (int i = 1; i <= 3; i++)
            fprintf(queue, "dist_id:s=X%d app_id:s=Other state:h=0 SW_CONCURRENT_LOGIN_ALLOWED:l=1\r\n", i);
        fclose(queue);
    }
}

// Starts a child with a pipe as its standard output and reads it to the end.
static double bareChildRun(const std::string &cmdLine)
{
    double start = nowMs();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, TRUE};
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, &attributes, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    std::vector<char> line(cmdLine.begin(), cmdLine.end());
    line.push_back('\0');
    BOOL started = CreateProcessA(NULL, line.data(), NULL, NULL, TRUE, CREATE_NEW_CONSOLE, NULL, NULL, &startup, &info);
    CloseHandle(writeEnd);
    char buffer[256];
    DWORD got;
    while (started && ReadFile(readEnd, buffer, sizeof(buffer), &got, NULL) && got > 0) {
    }
    CloseHandle(readEnd);
    if (started) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    return nowMs() - start;
}

// The library's shared record, mapped for writing (null when it is missing).
static volatile shared_record *mapRecord(HMODULE library, HANDLE *mapping)
{
    exportOf<int(WINAPI *)()>(library, "getNumLoggedOn")();   // the first call opens the shared objects
    *mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, SHARED_MEMORY_NAME);
    return *mapping ? (volatile shared_record *)MapViewOfFile(*mapping, FILE_MAP_WRITE, 0, 0, sizeof(shared_record)) : NULL;
}

static double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

static void benchLogonDecision(HMODULE library)
{
    EventHandler logon = exportOf<EventHandler>(library, "KVDEventLogon");
    HANDLE mapping;
    volatile shared_record *shared = mapRecord(library, &mapping);
    if (logon == NULL || shared == NULL) {
        printf("logon decision: cannot bind the library\n");
        return;
    }
    static wchar_t user[] = L"bench";
    WLX_NOTIFICATION_INFO info = {};
    info.Size = sizeof(info);
    info.UserName = user;
    std::string child = "\"" + ownPath() + "\" --child";
    std::vector<double> decisions, bare;
    for (int round = 0; round < DECISION_ROUNDS; round++) {
        bare.push_back(bareChildRun(child));
        shared->_dwLoggedOn = 0;   // every round is a first logon
        double start = nowMs();
        logon(&info);
        decisions.push_back(nowMs() - start);
    }
    shared->_dwLoggedOn = 0;
    double decision = median(decisions), baseline = median(bare);
    printf("logon decision (KVDEventLogon, one -l upcall, 3-job queue): median %.1f ms over %d rounds\n", decision,
           DECISION_ROUNDS);
    printf("bare child with one line through a pipe: median %.1f ms over %d rounds\n", baseline, DECISION_ROUNDS);
    printf("ratio logon decision / bare child: %.2f (goal at most 1.30)\n", decision / baseline);
    UnmapViewOfFile((void *)shared);
    CloseHandle(mapping);
}

// ---- the floor: the kernel and registry calls the exports must make, made directly ----

// One registry call on a key opened and closed for it, as the library makes each.
template <typename Call> static void onKey(const char *key, REGSAM access, Call call)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, access, &handle) == ERROR_SUCCESS) {
        call(handle);
        RegCloseKey(handle);
    }
}

static DWORD readDword(const char *name)
{
    DWORD value = 0, size = sizeof(value);
    onKey(KVD_MAIN_KEY, KEY_QUERY_VALUE, [&](HKEY key) { RegQueryValueExA(key, name, NULL, NULL, (BYTE *)&value, &size); });
    return value;
}

// A setting: its policy key is looked at first (absent here).
static DWORD readSettingDword(const char *name)
{
    onKey(KVD_POLICY_MAIN_KEY, KEY_QUERY_VALUE, [](HKEY) {});
    return readDword(name);
}

static void writeDword(const char *name, DWORD value)
{
    onKey(KVD_MAIN_KEY, KEY_SET_VALUE,
          [&](HKEY key) { RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value)); });
}

static void lockCycle()
{
    HANDLE lock = CreateMutexA(NULL, FALSE, GLOBAL_SEMAPHORE_NAME);
    WaitForSingleObject(lock, INFINITE);
    ReleaseMutex(lock);
    CloseHandle(lock);
}

// increaseRunningClients or decreaseRunningClients: the trace switch, one lock
// cycle, the count read and written.
static void floorClientEvent(int change)
{
    readSettingDword(VAL_TRACE_LEVEL);
    lockCycle();
    writeDword(VAL_RUNNING_CLIENTS, readDword(VAL_RUNNING_CLIENTS) + change);
}

// A second user's logon while a plan runs: the trace switch, one lock cycle,
// the main switch, the budget read, counted and read again, and the deny
// hand-over for popctl removed.
static void floorSecondLogon()
{
    readSettingDword(VAL_TRACE_LEVEL);
    lockCycle();
    readSettingDword(VAL_IS_ENABLED);
    writeDword(VAL_MAX_LOGIN_ALLOWED, readDword(VAL_MAX_LOGIN_ALLOWED) - 1);
    readDword(VAL_MAX_LOGIN_ALLOWED);
    for (const char *name : {VAL_POPUP_TYPE, VAL_POPUP_DIST_ID})
        onKey(KVD_POPCTL_KEY, KEY_SET_VALUE, [&](HKEY key) { RegDeleteValueA(key, name); });
}

// Median milliseconds per call of each, measured in alternating rounds.
template <typename Measured, typename Floor>
static void compareWithFloor(const char *what, Measured measured, Floor floor)
{
    std::vector<double> calls, floors;
    for (int round = 0; round < FLOOR_ROUNDS; round++) {
        double start = nowMs();
        for (int i = 0; i < CALLS_PER_ROUND; i++)
            measured();
        calls.push_back((nowMs() - start) / CALLS_PER_ROUND);
        start = nowMs();
        for (int i = 0; i < CALLS_PER_ROUND; i++)
            floor();
        floors.push_back((nowMs() - start) / CALLS_PER_ROUND);
    }
    double call = median(calls), base = median(floors);
    printf("%s: median %.3f ms, floor %.3f ms, ratio %.2f (goal at most 1.50) over %d rounds of %d\n", what, call,
           base, call / base, FLOOR_ROUNDS, CALLS_PER_ROUND);
}

static void benchAgainstFloor(HMODULE library)
{
    ClientEvent increase = exportOf<ClientEvent>(library, "increaseRunningClients");
    ClientEvent decrease = exportOf<ClientEvent>(library, "decreaseRunningClients");
    EventHandler logon = exportOf<EventHandler>(library, "KVDEventLogon");
    HANDLE mapping;
    volatile shared_record *shared = mapRecord(library, &mapping);
    if (increase == NULL || decrease == NULL || logon == NULL || shared == NULL) {
        printf("floor: cannot bind the library\n");
        return;
    }
    // A plan runs with one client announced (no decrease ends it) and a
    // budget that lasts; one user is logged on, so a logon needs no upcall.
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 1000000);
    compareWithFloor("engine pair (increaseRunningClients+decreaseRunningClients)",
                     [&] { increase("BENCH"); decrease("BENCH"); },
                     [] { floorClientEvent(1); floorClientEvent(-1); });
    static wchar_t user[] = L"second";
    WLX_NOTIFICATION_INFO info = {};
    info.Size = sizeof(info);
    info.UserName = user;
    compareWithFloor("logon without upcall (a second user while a plan runs)",
                     [&] { shared->_dwLoggedOn = 1; logon(&info); }, [] { floorSecondLogon(); });
    shared->_dwLoggedOn = 0;
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    UnmapViewOfFile((void *)shared);
    CloseHandle(mapping);
}

static double runLockWorkers(int processes)
{
    std::string cmdLine = "\"" + ownPath() + "\" --lock-worker " + std::to_string(LOCK_PAIRS);
    std::vector<HANDLE> started;
    double start = nowMs();
    for (int i = 0; i < processes; i++) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        std::vector<char> line(cmdLine.begin(), cmdLine.end());
        line.push_back('\0');
        if (CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
            CloseHandle(info.hThread);
            started.push_back(info.hProcess);
        }
    }
    for (HANDLE process : started) {
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
    }
    return nowMs() - start;
}

static int lockWorker(int pairs)
{
    HMODULE library = loadLibrary();
    ClientEvent increase = library ? exportOf<ClientEvent>(library, "increaseRunningClients") : NULL;
    ClientEvent decrease = library ? exportOf<ClientEvent>(library, "decreaseRunningClients") : NULL;
    if (increase == NULL || decrease == NULL)
        return 1;
    for (int i = 0; i < pairs; i++) {
        increase("BENCH");
        decrease("BENCH");
    }
    return 0;
}

static void benchLock()
{
    // A client stays announced, so no decrease ends the plan (no upcall, no popup).
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    for (int processes : {1, LOCK_PROCESSES}) {
        double elapsed = runLockWorkers(processes);
        double pairs = (double)processes * LOCK_PAIRS;
        printf("lock round trips from %d process%s: %.0f increase+decrease pairs per second (%d pairs in %.0f ms)\n",
               processes, processes == 1 ? "" : "es", pairs * 1000.0 / elapsed, (int)pairs, elapsed);
    }
    DWORD count = 0, size = sizeof(count);
    SHGetValueA(HKEY_LOCAL_MACHINE, KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, NULL, &count, &size);
    printf("running clients after the lock runs: %lu (expected 1)\n", (unsigned long)count);
}

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "--child") == 0) {
        printf("D1 3\n");
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "--lock-worker") == 0)
        return lockWorker(atoi(argv[2]));

    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    configure(std::string(temp) + "kvd_bench_data");
    HMODULE library = loadLibrary();
    if (library == NULL) {
        printf("cannot load the library from %s (%lu)\n", KVD_PRODUCT_BIN_UNIX, (unsigned long)GetLastError());
        return 1;
    }
    benchLogonDecision(library);
    benchAgainstFloor(library);
    benchLock();
    return 0;
}

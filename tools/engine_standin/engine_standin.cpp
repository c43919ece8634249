// engine_standin: plays the distribution engine for tests and the demo: one distribution client, step by step.
//
//   engine_standin [options] DISTID
//     --ep NAME                endpoint name passed to pauseMeIfNeeded (default localhost)
//     --kind N                 distribution kind (default 1)
//     --limit N                logon limit of the plan (default 2)
//     --shutdown-disabled N    the shutdown-disabled flag (default 1)
//     --hold MS                how long the distribution "runs" (default 0)
//     --hold-while FILE        then run on while FILE exists (the demo removes it)
//     --queuetool PATH         the substitute queue's tool (default queuetool.exe beside this program)
//     --no-queue               leave the job queue alone
//     --keep-job               leave the job in the queue at the end (as a paused job stays)
//
// Steps, one printed line each: announce the client (increaseRunningClients),
// write the notify file, add the job to the substitute queue, ask
// pauseMeIfNeeded, run for --hold milliseconds, remove the job, remove the
// notify file, end the client (decreaseRunningClients).
//
// It loads the registered library (registered_library.h).
// It is not the distribution engine: it installs nothing, does not wait for
// a paused job to be resumed, and shares the one notify file with every other
// engine stand-in running at the same time.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

#include "registered_library.h"
#include "registry_schema.h"

typedef int(WINAPI *PauseMeIfNeeded)(const char *, const char *, int, int, int);
typedef void(WINAPI *ClientEvent)(const char *);

static const DWORD HOLD_POLL_MS = 200;

typedef struct engine_options {
    const char *epname;
    const char *distID;
    int kind;
    int limit;
    int shutdownDisabled;
    DWORD holdMs;
    const char *holdWhile;
    std::string queuetool;
    bool useQueue;
    bool keepJob;
} engine_options;

static HMODULE library;

static FARPROC bound(const char *name)
{
    FARPROC address = GetProcAddress(library, name);
    if (address == NULL)
        printf("%s: not exported by the library\n", name);
    return address;
}

static std::string runningClients()
{
    HKEY key;
    DWORD value = 0, size = sizeof(value), type = REG_NONE;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KVD_MAIN_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "missing";
    LONG status = RegQueryValueExA(key, VAL_RUNNING_CLIENTS, NULL, &type, (BYTE *)&value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD ? std::to_string((long)(LONG)value) : "missing";
}

static std::string notifyFilePath()
{
    char dir[MAX_PATH];
    UINT len = GetWindowsDirectoryA(dir, sizeof(dir));
    return std::string(dir, len < sizeof(dir) ? len : 0) + NOTIFY_FILE_NAME;
}

// The endpoint data directory of the upcall settings, where the queue lives.
static std::string dataDirectory()
{
    HKEY key;
    char value[MAX_PATH] = "";
    DWORD size = sizeof(value) - 1, type = REG_NONE;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KVD_UPCALL_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "";
    LONG status = RegQueryValueExA(key, VAL_XEP_DATDIR, NULL, &type, (BYTE *)value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::string(value) : "";
}

// Runs the queue tool with the given arguments and waits for it.
static void runQueuetool(const engine_options *options, const std::string &arguments)
{
    std::string dataDir = dataDirectory();
    std::string cmdLine = "\"" + options->queuetool + "\" " +
                          (dataDir.empty() ? "" : "-d \"" + dataDir + "\" ") + arguments;
    std::vector<char> line(cmdLine.begin(), cmdLine.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        printf("queue: cannot run '%s' (%lu)\n", cmdLine.c_str(), (unsigned long)GetLastError());
        return;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    printf("queue: %s -> exit %lu\n", arguments.c_str(), (unsigned long)code);
}

static void writeNotifyFile(const char *distID)
{
    FILE *file = fopen(notifyFilePath().c_str(), "wb");
    if (file == NULL) {
        printf("notify file: cannot write %s\n", notifyFilePath().c_str());
        return;
    }
    fputs(distID, file);
    fclose(file);
    printf("notify file: wrote '%s'\n", distID);
}

static const char *pauseAnswer(int answer)
{
    return answer == 0 ? "library off" : answer == 1 ? "users logged on, pause requested" : "nobody logged on, run";
}

static int runClient(const engine_options *options)
{
    ClientEvent increase = (ClientEvent)(void (*)(void))bound("increaseRunningClients");
    ClientEvent decrease = (ClientEvent)(void (*)(void))bound("decreaseRunningClients");
    PauseMeIfNeeded pauseMe = (PauseMeIfNeeded)(void (*)(void))bound("pauseMeIfNeeded");
    if (increase == NULL || decrease == NULL || pauseMe == NULL)
        return 1;

    increase(options->distID);
    printf("increaseRunningClients %s: _runningClients=%s\n", options->distID, runningClients().c_str());
    writeNotifyFile(options->distID);
    if (options->useQueue)
        runQueuetool(options, std::string("add ") + options->distID + " SW_MAX_LOGIN_ALLOWED:l=" +
                                  std::to_string(options->limit));
    int answer = pauseMe(options->epname, options->distID, options->kind, options->limit, options->shutdownDisabled);
    printf("pauseMeIfNeeded %s kind=%d limit=%d shutdownDisabled=%d: %d (%s)\n", options->distID, options->kind,
           options->limit, options->shutdownDisabled, answer, pauseAnswer(answer));
    fflush(stdout);
    Sleep(options->holdMs);
    if (options->holdWhile != NULL) {
        while (GetFileAttributesA(options->holdWhile) != INVALID_FILE_ATTRIBUTES)
            Sleep(HOLD_POLL_MS);
    }
    if (options->useQueue && !options->keepJob)
        runQueuetool(options, std::string("remove ") + options->distID);
    DeleteFileA(notifyFilePath().c_str());
    printf("notify file: removed\n");
    decrease(options->distID);
    printf("decreaseRunningClients %s: _runningClients=%s\n", options->distID, runningClients().c_str());
    return 0;
}

static std::string besideThisProgram(const char *file)
{
    char path[MAX_PATH];
    DWORD len = GetModuleFileNameA(NULL, path, sizeof(path));
    std::string dir(path, len < sizeof(path) ? len : 0);
    return dir.substr(0, dir.find_last_of('\\') + 1) + file;
}

static int parseArguments(int argc, char **argv, engine_options *options)
{
    options->epname = "localhost";
    options->distID = NULL;
    options->kind = 1;
    options->limit = 2;
    options->shutdownDisabled = 1;
    options->holdMs = 0;
    options->holdWhile = NULL;
    options->queuetool = besideThisProgram("queuetool.exe");
    options->useQueue = true;
    options->keepJob = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--ep" && hasValue)
            options->epname = argv[++i];
        else if (arg == "--kind" && hasValue)
            options->kind = atoi(argv[++i]);
        else if (arg == "--limit" && hasValue)
            options->limit = atoi(argv[++i]);
        else if (arg == "--shutdown-disabled" && hasValue)
            options->shutdownDisabled = atoi(argv[++i]);
        else if (arg == "--hold" && hasValue)
            options->holdMs = (DWORD)strtoul(argv[++i], NULL, 10);
        else if (arg == "--hold-while" && hasValue)
            options->holdWhile = argv[++i];
        else if (arg == "--queuetool" && hasValue)
            options->queuetool = argv[++i];
        else if (arg == "--no-queue")
            options->useQueue = false;
        else if (arg == "--keep-job")
            options->keepJob = true;
        else if (arg[0] != '-' && options->distID == NULL)
            options->distID = argv[i];
        else
            return 0;
    }
    return options->distID != NULL;
}

int main(int argc, char **argv)
{
    engine_options options;
    if (!parseArguments(argc, argv, &options)) {
        printf("usage: engine_standin [--ep NAME] [--kind N] [--limit N] [--shutdown-disabled N] [--hold MS]\n"
               "                      [--hold-while FILE] [--queuetool PATH] [--no-queue] [--keep-job] DISTID\n");
        return 2;
    }
    library = loadRegisteredLibrary();
    if (library == NULL) {
        printf("cannot load KVDnotificationLibrary (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    int result = runClient(&options);
    FreeLibrary(library);
    return result;
}

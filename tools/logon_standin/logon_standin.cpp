// logon_standin: plays the logon process for tests and the demo: loads the library and calls its event handlers.
//
//   logon_standin [--popctl PATH] [--wait MS] STEP...      steps from the command line
//   logon_standin [--popctl PATH] [--wait MS] -f FILE      steps from a file, one per line
//
// Steps: startup | logon USER | logoff USER | shutdown | sleep MS.
// The library is the registered one (registered_library.h), its handlers
// the exports the registration table names for each notification.
// Every event runs on a thread of its own, as the logon process calls the
// handlers; the stand-in waits up to --wait milliseconds (default 120000) for
// it and goes on if it has not ended (a logoff's resume loop may wait for the
// next logon). At the end it waits for every event still running.
// After each step it prints one line: the step, whether the handler ended,
// the logon count and the deny-logon hand-over the library left for popctl.
// With --popctl, each allowed or denied logon starts "PATH" without waiting,
// as the user's logon would.
//
// It is not the logon process: there is no session, no desktop switch, no
// user token, and the record's window station and desktop are this process's.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

#include "notify_trace.h"
#include "registered_library.h"
#include "registry_schema.h"

typedef void(WINAPI *EventHandler)(PWLX_NOTIFICATION_INFO);
typedef int(WINAPI *GetNumLoggedOn)(void);

static const int MAX_EVENTS = 64;
static const DWORD FINAL_WAIT_MS = 600000;

typedef struct standin_event {
    EventHandler handler;
    WLX_NOTIFICATION_INFO info;
    wchar_t user[64];
    HANDLE thread;
    char name[96];
} standin_event;

typedef struct standin_options {
    const char *popctl;
    DWORD waitMs;
    std::vector<std::string> steps;
} standin_options;

static HMODULE library;
static standin_event events[MAX_EVENTS];
static int eventCount;
static wchar_t domain[] = L"WORKGROUP";
static wchar_t station[] = L"WinSta0";

static DWORD WINAPI eventThread(LPVOID param)
{
    standin_event *event = (standin_event *)param;
    event->handler(&event->info);
    return 0;
}

// Reads a value of the popctl subkey; 0 when it is absent.
static int readPopctlValue(const char *name, DWORD expectedType, void *data, DWORD size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KVD_POPCTL_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD type = REG_NONE;
    LONG status = RegQueryValueExA(key, name, NULL, &type, (BYTE *)data, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == expectedType;
}

static void printHandOver(const char *step, const char *ended)
{
    GetNumLoggedOn getNumLoggedOn = (GetNumLoggedOn)(void (*)(void))GetProcAddress(library, "getNumLoggedOn");
    DWORD type = 0;
    char distID[256] = "";
    int denied = readPopctlValue(VAL_POPUP_TYPE, REG_DWORD, &type, sizeof(type));
    if (!readPopctlValue(VAL_POPUP_DIST_ID, REG_SZ, distID, sizeof(distID) - 1))
        distID[0] = '\0';
    printf("%s: %s; loggedOn=%d", step, ended, getNumLoggedOn ? getNumLoggedOn() : -1);
    if (denied)
        printf(" denied type=%lu distID='%s'\n", (unsigned long)type, distID);
    else
        printf(" no denial\n");
    fflush(stdout);
}

static void startPopctl(const char *popctl)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::vector<char> cmdLine(popctl, popctl + strlen(popctl) + 1);
    if (!CreateProcessA(NULL, cmdLine.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        printf("popctl: cannot start '%s' (%lu)\n", popctl, (unsigned long)GetLastError());
        return;
    }
    printf("popctl: started '%s' (pid %lu)\n", popctl, (unsigned long)info.dwProcessId);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

// Starts one handler on its own thread and waits for it up to waitMs.
static int runEvent(const char *handlerName, const char *user, const standin_options *options)
{
    if (eventCount == MAX_EVENTS) {
        printf("too many events\n");
        return 0;
    }
    standin_event *event = &events[eventCount];
    event->handler = (EventHandler)(void (*)(void))GetProcAddress(library, handlerName);
    if (event->handler == NULL) {
        printf("%s: not exported by the library\n", handlerName);
        return 0;
    }
    MultiByteToWideChar(CP_ACP, 0, user, -1, event->user, 64);
    event->user[63] = L'\0';
    event->info.Size = sizeof(WLX_NOTIFICATION_INFO);
    event->info.UserName = event->user;
    event->info.Domain = domain;
    event->info.WindowStation = station;
    event->info.hDesktop = GetThreadDesktop(GetCurrentThreadId());
    snprintf(event->name, sizeof(event->name), "%s%s%s", handlerName, user[0] != '\0' ? " " : "", user);
    event->thread = CreateThread(NULL, 0, eventThread, event, 0, NULL);
    if (event->thread == NULL) {
        printf("%s: cannot start a thread (%lu)\n", event->name, (unsigned long)GetLastError());
        return 0;
    }
    eventCount++;
    DWORD waited = WaitForSingleObject(event->thread, options->waitMs);
    printHandOver(event->name, waited == WAIT_OBJECT_0 ? "returned" : "still running");
    return 1;
}

static int runStep(const std::string &step, const standin_options *options)
{
    char verb[32] = "", argument[64] = "";
    sscanf(step.c_str(), "%31s %63s", verb, argument);
    if (strcmp(verb, "startup") == 0)
        return runEvent(registeredText(NOTIFY_STARTUP), "", options);
    if (strcmp(verb, "shutdown") == 0)
        return runEvent(registeredText(NOTIFY_SHUTDOWN), "", options);
    if (strcmp(verb, "logoff") == 0 && argument[0] != '\0')
        return runEvent(registeredText(NOTIFY_LOGOFF), argument, options);
    if (strcmp(verb, "logon") == 0 && argument[0] != '\0') {
        int ran = runEvent(registeredText(NOTIFY_LOGON), argument, options);
        if (ran && options->popctl != NULL)
            startPopctl(options->popctl);
        return ran;
    }
    if (strcmp(verb, "sleep") == 0) {
        Sleep((DWORD)strtoul(argument, NULL, 10));
        printf("sleep %s: done\n", argument);
        return 1;
    }
    if (verb[0] == '\0' || verb[0] == '#')
        return 1;
    printf("unknown step '%s'\n", step.c_str());
    return 0;
}

static int readScript(const char *path, std::vector<std::string> *steps)
{
    FILE *file = fopen(path, "r");
    if (file == NULL)
        return 0;
    char line[256];
    while (fgets(line, sizeof(line), file) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        steps->push_back(line);
    }
    fclose(file);
    return 1;
}

// Steps on the command line: a verb, and for logon and logoff and sleep its argument.
static int parseArguments(int argc, char **argv, standin_options *options)
{
    options->popctl = NULL;
    options->waitMs = 120000;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--popctl" && i + 1 < argc) {
            options->popctl = argv[++i];
        } else if (arg == "--wait" && i + 1 < argc) {
            options->waitMs = (DWORD)strtoul(argv[++i], NULL, 10);
        } else if (arg == "-f" && i + 1 < argc) {
            if (!readScript(argv[++i], &options->steps)) {
                printf("cannot read '%s'\n", argv[i]);
                return 0;
            }
        } else if ((arg == "logon" || arg == "logoff" || arg == "sleep") && i + 1 < argc) {
            options->steps.push_back(arg + " " + argv[++i]);
        } else {
            options->steps.push_back(arg);
        }
    }
    return 1;
}

int main(int argc, char **argv)
{
    standin_options options;
    if (!parseArguments(argc, argv, &options) || options.steps.empty()) {
        printf("usage: logon_standin [--popctl PATH] [--wait MS] (-f FILE | STEP...)\n"
               "steps: startup | logon USER | logoff USER | shutdown | sleep MS\n");
        return 2;
    }
    library = loadRegisteredLibrary();
    if (library == NULL) {
        printf("cannot load KVDnotificationLibrary (%lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    int failed = 0;
    for (const std::string &step : options.steps)
        failed |= !runStep(step, &options);
    for (int i = 0; i < eventCount; i++) {
        if (WaitForSingleObject(events[i].thread, FINAL_WAIT_MS) != WAIT_OBJECT_0) {
            printf("%s: did not end\n", events[i].name);
            failed = 1;
        }
        CloseHandle(events[i].thread);
    }
    printHandOver("end", failed ? "done with failures" : "all events returned");
    return failed ? 1 : 0;   // the library stays loaded: an event may still run in it
}

// demo_driver: plays the users and the system in the demo: finds the package's windows on a
// user's desktop, answers them as a person would, and prints the package's state.
//
//   demo_driver [--desktop NAME] COMMAND [ARGUMENTS]
//     wait-popctl MS                   wait for popctl's hidden window
//     query-end-session logoff|shutdown  send the session manager's query to popctl
//     wait-caption PREFIX MS           wait for a visible window whose caption begins with PREFIX
//     wait-gone PREFIX MS              wait until no such window is left
//     text PREFIX ID                   print the text of control ID of that window
//     press PREFIX ID                  click button ID of that window
//     choose PREFIX INDEX              select entry INDEX of the choice combo box, then OK
//     state                            print the shared record and the registry state
//     value main|popctl|upcall|shared NAME  print one value ("(none)" when absent)
//
// It is a tool of the demo, not part of the package.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

#include "registry_schema.h"

static const DWORD POLL_MS = 50;
static const int CHOICE_COMBO_ID = 1006;
static const char POPCTL_CLASS[] = "KVDnotificationLibraryClass";

struct CaptionSearch {
    const char *prefix;
    HWND found;
};

static BOOL CALLBACK matchCaption(HWND window, LPARAM param)
{
    CaptionSearch *search = (CaptionSearch *)param;
    char caption[1024] = "";
    if (!IsWindowVisible(window) || GetWindowTextA(window, caption, sizeof(caption)) == 0)
        return TRUE;
    if (strncmp(caption, search->prefix, strlen(search->prefix)) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

static HWND findCaption(const char *prefix)
{
    CaptionSearch search = {prefix, NULL};
    EnumWindows(matchCaption, (LPARAM)&search);
    return search.found;
}

static HWND waitCaption(const char *prefix, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += POLL_MS) {
        HWND window = findCaption(prefix);
        if (window != NULL || waited >= timeoutMs)
            return window;
        Sleep(POLL_MS);
    }
}

static int waitPopctl(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += POLL_MS) {
        if (FindWindowA(POPCTL_CLASS, NULL) != NULL) {
            puts("popctl is running");
            return 0;
        }
        Sleep(POLL_MS);
    }
    puts("popctl is not running");
    return 1;
}

static int queryEndSession(const char *kind)
{
    HWND window = FindWindowA(POPCTL_CLASS, NULL);
    if (window == NULL) {
        puts("popctl is not running");
        return 1;
    }
    LPARAM lParam = strcmp(kind, "logoff") == 0 ? (LPARAM)ENDSESSION_LOGOFF : 0;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, lParam, SMTO_ABORTIFHUNG, 5000, &answer)) {
        puts("no answer");
        return 1;
    }
    printf("%s request %s\n", kind, answer ? "allowed" : "refused");
    return 0;
}

static HWND requireCaption(const char *prefix)
{
    HWND window = waitCaption(prefix, 5000);
    if (window == NULL)
        printf("no window '%s...'\n", prefix);
    return window;
}

static int printText(const char *prefix, int id)
{
    HWND window = requireCaption(prefix);
    if (window == NULL)
        return 1;
    char text[4096] = "";
    SendMessageA(GetDlgItem(window, id), WM_GETTEXT, sizeof(text), (LPARAM)text);
    puts(text);
    return 0;
}

static int pressButton(const char *prefix, int id)
{
    HWND window = requireCaption(prefix);
    if (window == NULL)
        return 1;
    // A click as the button would report it to its dialog.
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(window, id));
    return 0;
}

static int chooseEntry(const char *prefix, int index)
{
    HWND window = requireCaption(prefix);
    if (window == NULL)
        return 1;
    HWND combo = GetDlgItem(window, CHOICE_COMBO_ID);
    SendMessageA(combo, CB_SETCURSEL, (WPARAM)index, 0);
    SendMessageA(window, WM_COMMAND, MAKEWPARAM(CHOICE_COMBO_ID, CBN_SELCHANGE), (LPARAM)combo);
    wchar_t entry[512] = L"";
    if (SendMessageW(combo, CB_GETLBTEXTLEN, (WPARAM)index, 0) < 512)
        SendMessageW(combo, CB_GETLBTEXT, (WPARAM)index, (LPARAM)entry);
    printf("chose \"%ls\"\n", entry);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(window, IDOK));
    return 0;
}

static std::string registryText(const char *key, const char *name)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return "(no key)";
    BYTE data[2048] = {0};
    DWORD type = 0, size = sizeof(data) - 2;
    LONG status = RegQueryValueExA(handle, name, NULL, &type, data, &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS)
        return "(none)";
    char number[32];
    switch (type) {
    case REG_DWORD:
        snprintf(number, sizeof(number), "%ld", *(LONG *)data);
        return number;
    case REG_SZ:
        return std::string("\"") + (char *)data + "\"";
    case REG_MULTI_SZ: {
        std::string joined;
        for (const char *text = (const char *)data; *text != '\0'; text += strlen(text) + 1)
            joined += (joined.empty() ? "" : "|") + std::string(text);
        return "[" + joined + "]";
    }
    default:
        return "(other type)";
    }
}

static std::string sharedField(const char *name);

static int printState()
{
    printf("  logons counted (_dwLoggedOn)       %s\n", sharedField("_dwLoggedOn").c_str());
    printf("  shutdown at completion asked       %s\n", sharedField("_shutdownWhenComplete").c_str());
    printf("  logon budget (_maxLoginAllowed)    %s\n", registryText(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED).c_str());
    printf("  running clients (_runningClients)  %s\n", registryText(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS).c_str());
    printf("  paused list (_pausedQueue)         %s\n", registryText(KVD_MAIN_KEY, VAL_PAUSED_QUEUE).c_str());
    printf("  shutdown vetoed (_isActive)        %s\n", registryText(KVD_POPCTL_KEY, VAL_IS_ACTIVE).c_str());
    printf("  deny marker (_popupType)           %s\n", registryText(KVD_POPCTL_KEY, VAL_POPUP_TYPE).c_str());
    printf("  deny distribution (_popupDistID)   %s\n", registryText(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID).c_str());
    return 0;
}

static const char *const SHARED_FIELDS[] = {"_dwLoggedOn", "_upcallCode", "_someoneLooping",
                                            "_shutdownWhenComplete", "_upcallRunning", "_final_popup_enabled"};

static std::string sharedField(const char *name)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\KVDNotificationFileMap");
    const DWORD *record = mapping ? (const DWORD *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 24) : NULL;
    std::string text = "(none)";
    for (int i = 0; record != NULL && i < 6; i++)
        if (strcmp(name, SHARED_FIELDS[i]) == 0)
            text = std::to_string(record[i]);
    if (record)
        UnmapViewOfFile(record);
    if (mapping)
        CloseHandle(mapping);
    return text;
}

static int printValue(const char *where, const char *name)
{
    if (strcmp(where, "shared") == 0)
        puts(sharedField(name).c_str());
    else if (strcmp(where, "main") == 0)
        puts(registryText(KVD_MAIN_KEY, name).c_str());
    else if (strcmp(where, "popctl") == 0)
        puts(registryText(KVD_POPCTL_KEY, name).c_str());
    else if (strcmp(where, "upcall") == 0)
        puts(registryText(KVD_UPCALL_KEY, name).c_str());
    else
        return 2;
    return 0;
}

// Moves this thread to the user's desktop before it owns any window; a desktop
// that is still being created gets a few seconds.
static int enterDesktop(const char *name)
{
    HDESK desktop = NULL;
    for (DWORD waited = 0; desktop == NULL && waited <= 10000; waited += POLL_MS) {
        desktop = OpenDesktopA(name, 0, FALSE, GENERIC_ALL);
        if (desktop == NULL)
            Sleep(POLL_MS);
    }
    if (desktop == NULL || !SetThreadDesktop(desktop)) {
        printf("cannot enter desktop '%s' (%lu)\n", name, GetLastError());
        return 0;
    }
    return 1;
}

int main(int argc, char **argv)
{
    int argi = 1;
    if (argi + 1 < argc && strcmp(argv[argi], "--desktop") == 0) {
        if (!enterDesktop(argv[argi + 1]))
            return 1;
        argi += 2;
    }
    if (argi >= argc)
        return 2;
    const char *command = argv[argi];
    int left = argc - argi - 1;
    char **args = argv + argi + 1;
    if (strcmp(command, "wait-popctl") == 0 && left == 1)
        return waitPopctl(strtoul(args[0], NULL, 10));
    if (strcmp(command, "query-end-session") == 0 && left == 1)
        return queryEndSession(args[0]);
    if (strcmp(command, "wait-caption") == 0 && left == 2) {
        HWND window = waitCaption(args[0], strtoul(args[1], NULL, 10));
        char caption[1024] = "";
        if (window)
            GetWindowTextA(window, caption, sizeof(caption));
        printf(window ? "window \"%s\"\n" : "no window%s\n", caption);
        return window ? 0 : 1;
    }
    if (strcmp(command, "wait-gone") == 0 && left == 2) {
        for (DWORD waited = 0; waited <= strtoul(args[1], NULL, 10); waited += POLL_MS) {
            if (findCaption(args[0]) == NULL)
                return 0;
            Sleep(POLL_MS);
        }
        printf("window '%s...' is still open\n", args[0]);
        return 1;
    }
    if (strcmp(command, "text") == 0 && left == 2)
        return printText(args[0], atoi(args[1]));
    if (strcmp(command, "press") == 0 && left == 2)
        return pressButton(args[0], atoi(args[1]));
    if (strcmp(command, "choose") == 0 && left == 2)
        return chooseEntry(args[0], atoi(args[1]));
    if (strcmp(command, "state") == 0 && left == 0)
        return printState();
    if (strcmp(command, "value") == 0 && left == 2)
        return printValue(args[0], args[1]);
    return 2;
}

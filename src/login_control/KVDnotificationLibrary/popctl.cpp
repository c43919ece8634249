// popctl: the popup manager of a logon: deny-logon check, remaining-logons message and shutdown interception.
#include "popctl_resource.h"
#include "popup_dialog.h"
#include "registry_schema.h"
#include "registry_util.h"
#include "notify_trace.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char szWindowClass[] = "KVDnotificationLibraryClass";
static const char szWindowName[] = "KVDnotificationLibraryWindow";

// Process-wide state of the main thread.
static HINSTANCE hInst = NULL;
static DWORD gTimeout = 0;                 // countdown of the choice popup in ms
static char *gTitle = NULL;                // the five texts are read once by InitInstance
static char *gMsg = NULL;
static char *gLogoffStr = NULL;
static char *gLogoff_shutdownStr = NULL;
static char *gRestartStr = NULL;
// 1 from the moment popctl starts its own restart or logoff until timer 3 fires:
// the end-session queries that popctl caused itself are let through.
static int tempDisabled = 0;
// 1 while the choice popup is shown: a further shutdown query is refused without
// opening a second popup on the same countdown.
static int choicePopupShown = 0;

enum action_t { ACTION_NONE = 0, LOGOFF = 1, LOGOFF_AND_SHUTDOWN = 2, RESTART = 3 };

static const UINT_PTR TIMER_TEMP_DISABLE_SHUTDOWN = 3;
static const UINT TEMP_DISABLE_MS = 5000;
static const UINT_PTR TIMER_CHOICE_END = 1;
static const UINT_PTR TIMER_CHOICE_TICK = 2;
static const DWORD CHOICE_TICK_MS = 1000;
static const UINT WM_MANAGE_POPUP = WM_USER + 1;
static const size_t CHOICE_CAPTION_SIZE = 260;
static const DWORD LAST_SHUTDOWN_LEVEL = 0x100;   // the lowest level open to applications
static const DWORD NO_REMAINING_LOGON_POPUP = 0x0FFFFFFE;
static const DWORD REMAINING_LOGON_PAUSE_MS = 1000;
static const char REMAINING_LOGON_CAPTION[] = "KVDNotification";
static const size_t DEFAULT_COUNT_ROOM = 20;

typedef int(WINAPI *wait_upcall_completion_fn)(void);
typedef void(WINAPI *shutdown_when_complete_fn)(int);

// ---------------------------------------------------------------------------
// Start-up check: deny-logon and remaining-logons popups
// ---------------------------------------------------------------------------

// Waits until the library has finished deciding about this logon.
static void waitForLogonDecision(trace_class &trace)
{
    HMODULE library = loadNotificationLibrary(trace);
    if (library == NULL)
        return;
    FARPROC proc = findLibraryExport(trace, library, "waitUpcallCompletion");
    if (proc != NULL) {
        TRACE_LINE(trace, TRACE_INFO, "wait for upcall completion");
        exportAs<wait_upcall_completion_fn>(proc)();
        TRACE_LINE(trace, TRACE_INFO, "upcall completed");
    }
    FreeLibrary(library);
}

static BOOL VerifyDenyLogon(HINSTANCE instance)
{
    trace_class trace(TRACE_ORDINARY, "VerifyDenyLogon");
    TRACE_LINE(trace, TRACE_INFO, "verify if an upcall is running");
    waitForLogonDecision(trace);

    DWORD denyType = 0;
    if (!RegGetDWORD(KVD_ROOT, KVD_POPCTL_KEY, VAL_POPUP_TYPE, &denyType)) {
        TRACE_LINE(trace, TRACE_INFO, "registry key '%s' not found, exiting", VAL_POPUP_TYPE);
        return FALSE;
    }
    char *distID = NULL;
    if (!RegGetString(KVD_ROOT, KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, &distID))
        TRACE_LINE(trace, TRACE_INFO, "registry key '%s' not found", VAL_POPUP_DIST_ID);
    TRACE_LINE(trace, TRACE_INFO, "invoking CreatePopUpWindow");
    int result = CreatePopUpWindow(instance, (int)denyType, distID);
    TRACE_LINE(trace, TRACE_INFO, "CreatePopUpWindow returned %d", result);
    free(distID);
    return TRUE;
}

static DWORD WINAPI createPopupProc(LPVOID parameter)
{
    DWORD count = (DWORD)(UINT_PTR)parameter;
    char *message;
    if (!readSetting(SETTING_LEFT_LOGON_POPUP_MSG, &message)) {
        free(message);
        size_t size = sizeof(DEF_LEFT_LOGON_POPUP_MSG) + DEFAULT_COUNT_ROOM;
        message = (char *)calloc(size, 1);
        if (message != NULL)
            snprintf(message, size, "%s %u", DEF_LEFT_LOGON_POPUP_MSG, (unsigned)count);
    }
    char countText[16];
    snprintf(countText, sizeof(countText), "%u", (unsigned)count);
    message = correctFormat(message, NULL, countText);
    MessageBoxA(NULL, message != NULL ? message : "", REMAINING_LOGON_CAPTION,
                MB_OK | MB_ICONINFORMATION | MB_SYSTEMMODAL);
    free(message);
    return 0;
}

static void ShowRemainingLogonPopup()
{
    trace_class trace(TRACE_ORDINARY, "ShowRemainingLogonPopup");
    DWORD enabled;
    if (!readSetting(SETTING_LEFT_LOGON_POPUP_ENABLED, &enabled)) {
        TRACE_LINE(trace, TRACE_INFO, "registry key '%s' not found, exiting", VAL_LEFT_LOGON_POPUP_ENABLED);
        return;
    }
    if (enabled == 0) {
        TRACE_LINE(trace, TRACE_INFO, "popup not enabled, exiting");
        return;
    }
    DWORD allowedLogon = 0;
    if (!RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &allowedLogon)) {
        TRACE_LINE(trace, TRACE_INFO, "registry key '%s' not found, exiting", VAL_MAX_LOGIN_ALLOWED);
        return;
    }
    TRACE_LINE(trace, TRACE_INFO, "allowedLogon=%u", (unsigned)allowedLogon);
    // The budget markers -1 (no limit) and -2 (no plan) lie above the limit as unsigned values.
    if (allowedLogon >= NO_REMAINING_LOGON_POPUP) {
        TRACE_LINE(trace, TRACE_INFO, "popup not needed");
        return;
    }
    HANDLE thread = CreateThread(NULL, 0, createPopupProc, (LPVOID)(UINT_PTR)allowedLogon, 0, NULL);
    if (thread == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the thread: %u", (unsigned)GetLastError());
        return;
    }
    Sleep(REMAINING_LOGON_PAUSE_MS);
    CloseHandle(thread);
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

static char *readText(setting_id id)
{
    char *text;
    readSetting(id, &text);
    return text;
}

static DWORD readTimeoutMs()
{
    DWORD seconds;
    readSetting(SETTING_TIMEOUT, &seconds);
    return seconds * 1000;
}

static void freeSettings()
{
    free(gMsg);
    free(gTitle);
    free(gLogoffStr);
    free(gLogoff_shutdownStr);
    free(gRestartStr);
    gMsg = gTitle = gLogoffStr = gLogoff_shutdownStr = gRestartStr = NULL;
}

static int getDefaultAction()
{
    DWORD action;
    readSetting(SETTING_DEFAULT_ACTION, &action);
    return action >= LOGOFF && action <= RESTART ? (int)action : (int)DEF_DEFAULT_ACTION;
}

static BOOL isShutDownDisabled()
{
    trace_class trace(TRACE_ORDINARY, "isShutDownDisabled");
    DWORD active = 0;
    RegGetDWORD(KVD_ROOT, KVD_POPCTL_KEY, VAL_IS_ACTIVE, &active);
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", active != 0 ? 1 : 0);
    return active != 0;
}

// ---------------------------------------------------------------------------
// Choice popup
// ---------------------------------------------------------------------------

static void setTitle(HWND dialog)
{
    char caption[CHOICE_CAPTION_SIZE];   // a longer title is cut
    snprintf(caption, sizeof(caption), "%s ( %u )", gTitle != NULL ? gTitle : "", (unsigned)(gTimeout / 1000));
    SetWindowTextA(dialog, caption);
}

static void stopCountdown(HWND dialog)
{
    KillTimer(dialog, TIMER_CHOICE_END);
    KillTimer(dialog, TIMER_CHOICE_TICK);
}

static void initChoicePopup(HWND dialog)
{
    HWND combo = GetDlgItem(dialog, IDC_ACTION_COMBO);
    SendMessageA(combo, CB_ADDSTRING, 0, (LPARAM)gLogoffStr);
    SendMessageA(combo, CB_ADDSTRING, 0, (LPARAM)gLogoff_shutdownStr);
    SendMessageA(combo, CB_ADDSTRING, 0, (LPARAM)gRestartStr);
    SendMessageA(combo, CB_SETCURSEL, (WPARAM)(getDefaultAction() - 1), 0);
    SetTimer(dialog, TIMER_CHOICE_END, gTimeout, NULL);
    SetTimer(dialog, TIMER_CHOICE_TICK, CHOICE_TICK_MS, NULL);
    setTitle(dialog);
    setMessage(dialog, gMsg, 0);
    SendDlgItemMessageA(dialog, IDC_POPUP_ICON, STM_SETICON, (WPARAM)LoadIconA(NULL, IDI_EXCLAMATION), 0);
}

static BOOL onChoiceCommand(HWND dialog, WORD id)
{
    switch (id) {
    case IDOK:
        stopCountdown(dialog);
        EndDialog(dialog, SendDlgItemMessageA(dialog, IDC_ACTION_COMBO, CB_GETCURSEL, 0, 0) + 1);
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, ACTION_NONE);
        return TRUE;
    case IDC_ACTION_COMBO:
        stopCountdown(dialog);   // for good: the user is choosing
        return TRUE;
    default:
        return FALSE;
    }
}

static void onChoiceTimer(HWND dialog, WPARAM timerId)
{
    if (timerId == TIMER_CHOICE_END) {
        stopCountdown(dialog);
        EndDialog(dialog, getDefaultAction());   // the registry's default now, not the combo's selection
    } else if (timerId == TIMER_CHOICE_TICK) {
        if (gTimeout >= CHOICE_TICK_MS)   // a late tick must not wrap the count
            gTimeout -= CHOICE_TICK_MS;
        setTitle(dialog);
    }
}

static INT_PTR CALLBACK LogoffPopupProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        initChoicePopup(dialog);
        return TRUE;
    case WM_COMMAND:
        return onChoiceCommand(dialog, LOWORD(wParam));
    case WM_TIMER:
        onChoiceTimer(dialog, wParam);
        return TRUE;
    default:
        return FALSE;
    }
}

// ---------------------------------------------------------------------------
// The three actions
// ---------------------------------------------------------------------------

// Lets the end-session queries that popctl itself causes through its own veto
// for a few seconds.
static void suspendShutdownVeto(HWND window)
{
    tempDisabled = 1;
    SetTimer(window, TIMER_TEMP_DISABLE_SHUTDOWN, TEMP_DISABLE_MS, NULL);
}

static void logoffNow(trace_class &trace, HWND window)
{
    TRACE_LINE(trace, TRACE_INFO, "LOGOFF requested, executing...");
    // Under Wine the query of a logoff carries no ENDSESSION_LOGOFF and would be
    // refused while a plan runs; on Windows the logoff query is allowed anyway.
    suspendShutdownVeto(window);
    if (!ExitWindowsEx(EWX_LOGOFF, 0))
        TRACE_LINE(trace, TRACE_ERROR, "LOGOFF failed (%u)", (unsigned)GetLastError());
}

// The choice reaches the logon process through the user's own hive, which
// the logoff handler reads with the user's token: no other user can make it.
static void leaveUserShutdownRequest(trace_class &trace)
{
    HKEY key;
    DWORD request = 1;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, KVD_MAIN_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                  NULL, &key, NULL);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(key, VAL_USER_SHUTDOWN_REQUEST, 0, REG_DWORD, (const BYTE *)&request, sizeof(request));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        TRACE_LINE(trace, TRACE_ERROR, "cannot leave the shutdown request in the user's hive (%ld)", (long)status);
}

static void requestShutdownWhenComplete(trace_class &trace)
{
    leaveUserShutdownRequest(trace);
    HMODULE library = loadNotificationLibrary(trace);
    if (library == NULL)
        return;
    FARPROC proc = findLibraryExport(trace, library, "shutdownWhenComplete");
    if (proc != NULL) {
        TRACE_LINE(trace, TRACE_INFO, "setting shutdownWhenComplete=TRUE");
        exportAs<shutdown_when_complete_fn>(proc)(1);
    }
    FreeLibrary(library);
}

static void restartNow(trace_class &trace, HWND window)
{
    TRACE_LINE(trace, TRACE_INFO, "RESTART requested, executing...");
    if (!SetPrivilege("SeShutdownPrivilege", TRUE)) {
        TRACE_LINE(trace, TRACE_ERROR, "Error invoking SetPrivilege");
        return;
    }
    TRACE_LINE(trace, TRACE_INFO, "Invoking InitiateSystemShutdown");
    suspendShutdownVeto(window);
    TRACE_LINE(trace, TRACE_INFO, "SystemShutdown management temprorary diabled=%d", tempDisabled);
    if (!AbortSystemShutdownA(NULL))
        TRACE_LINE(trace, TRACE_WARNING, "No current shutdown running (%u)", (unsigned)GetLastError());
    if (InitiateSystemShutdownA(NULL, NULL, 0, FALSE, TRUE))
        return;
    TRACE_LINE(trace, TRACE_ERROR, "Error invoking InitiateSystemShutdown (%u)", (unsigned)GetLastError());
    if (!ExitWindowsEx(EWX_REBOOT, 0))
        TRACE_LINE(trace, TRACE_ERROR, "Error invoking ExitWindowsEx (%u)", (unsigned)GetLastError());
}

static void runAction(trace_class &trace, HWND window, int action)
{
    switch (action) {
    case LOGOFF:
        logoffNow(trace, window);
        break;
    case LOGOFF_AND_SHUTDOWN:
        TRACE_LINE(trace, TRACE_INFO, "LOGOFF_AND_SHUTDOWN requested, executing...");
        requestShutdownWhenComplete(trace);
        logoffNow(trace, window);
        break;
    case RESTART:
        restartNow(trace, window);
        break;
    default:
        break;   // Cancel (0) or no dialog (-1): the refused shutdown stays refused
    }
}

static void ManagePopup(HWND window)
{
    trace_class trace(TRACE_ORDINARY, "ManagePopup");
    int action = getDefaultAction();
    TRACE_LINE(trace, TRACE_INFO, "default action=%d", action);
    gTimeout = readTimeoutMs();
    TRACE_LINE(trace, TRACE_INFO, "gTimeout=%u", (unsigned)gTimeout);
    if (gTimeout != 0) {
        choicePopupShown = 1;
        action = (int)DialogBoxParamA(hInst, MAKEINTRESOURCEA(IDD_CHOICE_POPUP), window, LogoffPopupProc, 0);
        choicePopupShown = 0;
    }
    runAction(trace, window, action);
}

// ---------------------------------------------------------------------------
// Hidden main window
// ---------------------------------------------------------------------------

static LRESULT answerEndSessionQuery(HWND window, LPARAM lParam)
{
    trace_class trace(TRACE_ORDINARY, "logoff/reboot request");
    if ((lParam & ENDSESSION_LOGOFF) != 0) {
        TRACE_LINE(trace, TRACE_INFO, "logoff requested");
        PostQuitMessage(0);
        return TRUE;
    }
    if (isShutDownDisabled() && tempDisabled == 0) {
        if (choicePopupShown) {
            TRACE_LINE(trace, TRACE_INFO, "shutdown/reboot requested, popup already shown");
            return FALSE;
        }
        TRACE_LINE(trace, TRACE_INFO, "shutdown/reboot requested, showing popup");
        PostMessageA(window, WM_MANAGE_POPUP, 0, 0);
        return FALSE;
    }
    TRACE_LINE(trace, TRACE_INFO, "shutdown/reboot not denied");
    return TRUE;
}

static void endTempDisable(HWND window)
{
    trace_class trace(TRACE_ORDINARY, "WndProc TIMER_TEMP_DISABLE_SHUTDOWN");
    KillTimer(window, TIMER_TEMP_DISABLE_SHUTDOWN);
    tempDisabled = 0;
}

static LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_QUERYENDSESSION:
        return answerEndSessionQuery(window, lParam);
    case WM_TIMER:
        if (wParam == TIMER_TEMP_DISABLE_SHUTDOWN)
            endTempDisable(window);
        return 0;
    case WM_MANAGE_POPUP:
        // A request queued while the popup is open is dropped: that shutdown stays refused.
        if (!choicePopupShown)
            ManagePopup(window);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

static ATOM MyRegisterClass(HINSTANCE instance)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = szWindowClass;
    return RegisterClassExA(&windowClass);
}

static BOOL InitInstance(HINSTANCE instance, int showFlag)
{
    (void)showFlag;   // the window is never shown
    hInst = instance;
    HWND window = CreateWindowExA(0, szWindowClass, szWindowName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, NULL, NULL, instance, NULL);
    if (window == NULL)
        return FALSE;

    trace_class trace(TRACE_ORDINARY, "Init");
    gTimeout = readTimeoutMs();
    gTitle = readText(SETTING_TITLE);
    gMsg = correctFormat(readText(SETTING_MESSAGE), NULL, NULL);
    gLogoffStr = readText(SETTING_LOGOFF_STRING);
    gLogoff_shutdownStr = readText(SETTING_LOGOFF_SHUTDOWN_STRING);
    gRestartStr = readText(SETTING_RESTART_STRING);
    return TRUE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showFlag)
{
    (void)previousInstance;
    (void)commandLine;
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "popctl");
    if (!SetProcessShutdownParameters(LAST_SHUTDOWN_LEVEL, 0))
        TRACE_LINE(trace, TRACE_ERROR, "SetProcessShutdownParameters failed with error %u", (unsigned)GetLastError());
    if (!isKVDEnabled()) {
        TRACE_LINE(trace, TRACE_INFO, "KVDNotification not enabled, exiting...");
        return 0;
    }
    if (VerifyDenyLogon(instance)) {
        TRACE_LINE(trace, TRACE_INFO, "Logon denied, exiting...");
        return 1;
    }
    ShowRemainingLogonPopup();
    MyRegisterClass(instance);
    if (!InitInstance(instance, showFlag))
        return 2;

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {   // -1 (error) ends the loop as WM_QUIT does
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    freeSettings();
    return 0;
}

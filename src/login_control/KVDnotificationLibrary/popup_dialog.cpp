// popup_dialog: the deny-logon popup on its own desktop, the forced logoff, and the text fitting of both popups.
#include "popup_dialog.h"
#include "popctl_resource.h"
#include "registry_schema.h"
#include "registry_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

DWORD _gPopupTimeout = 0;
const char *_gPopupTitle = NULL;
const char *_gPopupMsg = NULL;
HDESK newDesktop = NULL;

static const char LIBRARY_NAME[] = "KVDnotificationLibrary";
static const char DENY_DESKTOP_NAME[] = "KVD_denyLogon_dsk";

static const UINT_PTR TIMER_COUNTDOWN = 1;       // deny popup: one tick per second
static const UINT_PTR TIMER_KEEP_DESKTOP = 2;    // deny popup: keeps its desktop the input desktop
static const UINT COUNTDOWN_TICK_MS = 1000;
static const UINT KEEP_DESKTOP_MS = 400;
static const size_t DENY_CAPTION_SIZE = 1024;

static const int GROW_STEP = 10;                 // pixels added per enlargement
static const int LAST_LINE_MARGIN = 20;          // the last character must sit this far above the bottom
static const int MAX_LINES_BEFORE_WIDENING = 3;  // widen while the text needs this many lines or more
static const int BOTTOM_RESERVE = 100;           // the popup stays this far above the work area's bottom
static const int MESSAGE_X = 50;                 // message control's place in client pixels
static const int MESSAGE_Y = 7;
static const int BUTTON_GAP = 10;

typedef void(WINAPI *enable_final_popup_fn)(void);

// ---------------------------------------------------------------------------
// Run-time binding of the library
// ---------------------------------------------------------------------------

HMODULE loadNotificationLibrary(trace_class &trace)
{
    HMODULE library = LoadLibraryA(LIBRARY_NAME);
    if (library == NULL)
        TRACE_LINE(trace, TRACE_WARNING, "KVDnotificationLibrary not found");
    return library;
}

FARPROC findLibraryExport(trace_class &trace, HMODULE library, const char *name)
{
    FARPROC proc = GetProcAddress(library, name);
    if (proc == NULL)
        TRACE_LINE(trace, TRACE_WARNING, "symbol '%s' not found in KVDnotificationLibrary", name);
    return proc;
}

void EnableFinalPopup()
{
    trace_class trace(TRACE_ORDINARY, "EnableFinalPopup");
    HMODULE library = loadNotificationLibrary(trace);
    if (library == NULL)
        return;
    FARPROC proc = findLibraryExport(trace, library, "enableFinalPopup");
    if (proc != NULL) {
        TRACE_LINE(trace, TRACE_INFO, "invoking enableFinalPopup");
        exportAs<enable_final_popup_fn>(proc)();
        TRACE_LINE(trace, TRACE_INFO, "invoked enableFinalPopup");
    }
    FreeLibrary(library);
}

// ---------------------------------------------------------------------------
// Forced logoff
// ---------------------------------------------------------------------------

void logoff()
{
    trace_class trace(TRACE_ORDINARY, "logoff");
    DWORD logoffType;
    readSetting(SETTING_LOGOFF_TYPE, &logoffType);
    UINT flags = EWX_LOGOFF;
    if (logoffType == 1) {
        TRACE_LINE(trace, TRACE_INFO, "logoff FORCED");
        flags |= EWX_FORCE;
    } else if (logoffType == 2) {
        TRACE_LINE(trace, TRACE_INFO, "logoff FORCED_IF_HUNG");
        flags |= EWX_FORCEIFHUNG;
    }
    TRACE_LINE(trace, TRACE_INFO, "ExitWindowsEx flags=%u", flags);
    if (ExitWindowsEx(flags, 0))
        TRACE_LINE(trace, TRACE_INFO, "logoff ok");
    else
        TRACE_LINE(trace, TRACE_ERROR, "failed... error = %ld", (long)GetLastError());
}

// ---------------------------------------------------------------------------
// Text fitting, shared by both popups
// ---------------------------------------------------------------------------

static int messageControlId(int isDenyPopup)
{
    return isDenyPopup ? IDC_DENY_MESSAGE : IDC_CHOICE_MESSAGE;
}

static SIZE controlClientSize(HWND dialog, int id)
{
    RECT client = {0, 0, 0, 0};
    GetClientRect(GetDlgItem(dialog, id), &client);
    SIZE size = {client.right, client.bottom};
    return size;
}

// Moves a control in the dialog's client coordinates with its client size; a
// combo box given the height of its selection field keeps its drop-down list.
static void moveControl(HWND dialog, int id, int x, int y)
{
    SIZE size = controlClientSize(dialog, id);
    MoveWindow(GetDlgItem(dialog, id), x, y, size.cx, size.cy, TRUE);
}

static void growMessageControl(HWND dialog, int size, int isDenyPopup, int isVertical)
{
    HWND message = GetDlgItem(dialog, messageControlId(isDenyPopup));
    RECT bounds = {0, 0, 0, 0};
    GetWindowRect(message, &bounds);
    int width = bounds.right - bounds.left;
    int height = bounds.bottom - bounds.top;
    if (isVertical)
        height += size;
    else
        width += size;
    MoveWindow(message, MESSAGE_X, MESSAGE_Y, width, height, TRUE);
}

// width and height: the dialog's new outer size; nonClient: its non-client height.
static void placeButtons(HWND dialog, int width, int height, int nonClient, int isDenyPopup)
{
    SIZE ok = controlClientSize(dialog, IDOK);
    if (isDenyPopup) {
        moveControl(dialog, IDOK, (width - ok.cx) / 2, height - nonClient - ok.cy - BUTTON_GAP);
        return;
    }
    SIZE cancel = controlClientSize(dialog, IDCANCEL);
    SIZE combo = controlClientSize(dialog, IDC_ACTION_COMBO);
    moveControl(dialog, IDC_ACTION_COMBO, (width - combo.cx) / 2,
                height - nonClient - ok.cy - combo.cy - 2 * BUTTON_GAP);
    moveControl(dialog, IDOK, (width - cancel.cx - ok.cx - BUTTON_GAP) / 2, height - nonClient - ok.cy - BUTTON_GAP);
    moveControl(dialog, IDCANCEL, (width + ok.cx - cancel.cx + BUTTON_GAP) / 2,
                height - nonClient - cancel.cy - BUTTON_GAP);
}

BOOL enlargeWindow(HWND dialog, int size, int isDenyPopup, int isVertical)
{
    RECT workArea = {0, 0, 0, 0};   // an unknown work area leaves no room to grow
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    RECT outer = {0, 0, 0, 0};
    GetWindowRect(dialog, &outer);
    OffsetRect(&outer, -outer.left, -outer.top);
    if (isVertical && outer.bottom + size >= workArea.bottom - BOTTOM_RESERVE)
        return FALSE;
    if (!isVertical && outer.right + size >= workArea.right - workArea.right / 3)
        return FALSE;

    RECT client = {0, 0, 0, 0};
    GetClientRect(dialog, &client);
    int nonClient = outer.bottom - client.bottom;
    if (isVertical)
        outer.bottom += size;
    else
        outer.right += size;
    OffsetRect(&outer, (workArea.right - outer.right) / 2, (workArea.bottom - outer.bottom) / 2);
    int width = outer.right - outer.left;
    int height = outer.bottom - outer.top;
    MoveWindow(dialog, outer.left, outer.top, width, height, TRUE);

    growMessageControl(dialog, size, isDenyPopup, isVertical);
    placeButtons(dialog, width, height, nonClient, isDenyPopup);
    return TRUE;
}

BOOL enlargeVertically(HWND dialog, int size, int isDenyPopup)
{
    return enlargeWindow(dialog, size, isDenyPopup, 1);
}

BOOL enlargeHorizontally(HWND dialog, int size, int isDenyPopup)
{
    return enlargeWindow(dialog, size, isDenyPopup, 0);
}

// True while the last character sits less than the margin above the control's bottom.
static bool lastCharacterHidden(HWND edit, int lastChar, bool *known)
{
    LRESULT position = SendMessageA(edit, EM_POSFROMCHAR, (WPARAM)lastChar, 0);
    *known = position != -1;
    if (!*known)
        return false;
    RECT client = {0, 0, 0, 0};
    GetClientRect(edit, &client);
    int y = (short)HIWORD(position);
    return y + LAST_LINE_MARGIN > client.bottom;
}

void setMessage(HWND dialog, const char *message, int isDenyPopup)
{
    if (message == NULL)
        message = "";
    HWND edit = GetDlgItem(dialog, messageControlId(isDenyPopup));
    SetWindowTextA(edit, message);
    while (SendMessageA(edit, EM_GETLINECOUNT, 0, 0) >= MAX_LINES_BEFORE_WIDENING &&
           enlargeHorizontally(dialog, GROW_STEP, isDenyPopup))
        SetWindowTextA(edit, message);

    int lastChar = (int)strlen(message) - 1;
    if (lastChar < 0)
        return;   // an empty text has no character position to test
    bool known = true;
    while (lastCharacterHidden(edit, lastChar, &known) && enlargeVertically(dialog, GROW_STEP, isDenyPopup))
        SetWindowTextA(edit, message);
}

// ---------------------------------------------------------------------------
// Deny-logon popup
// ---------------------------------------------------------------------------

void setTitle(HWND dialog, DWORD timeout)
{
    if (timeout == 0) {
        SetWindowTextA(dialog, _gPopupTitle);
        return;
    }
    char caption[DENY_CAPTION_SIZE];   // a longer title is cut
    snprintf(caption, sizeof(caption), "%s ( %u )", _gPopupTitle != NULL ? _gPopupTitle : "",
             (unsigned)(timeout / 1000));
    SetWindowTextA(dialog, caption);
}

static void initDenyPopup(HWND dialog)
{
    if (_gPopupTimeout > 0)
        SetTimer(dialog, TIMER_COUNTDOWN, COUNTDOWN_TICK_MS, NULL);
    if (newDesktop != NULL)
        SetTimer(dialog, TIMER_KEEP_DESKTOP, KEEP_DESKTOP_MS, NULL);
    setTitle(dialog, _gPopupTimeout);
    setMessage(dialog, _gPopupMsg, 1);
    SendDlgItemMessageA(dialog, IDC_POPUP_ICON, STM_SETICON, (WPARAM)LoadIconA(NULL, IDI_EXCLAMATION), 0);
}

static void endDenyPopup(HWND dialog, int result)
{
    KillTimer(dialog, TIMER_COUNTDOWN);
    KillTimer(dialog, TIMER_KEEP_DESKTOP);
    EndDialog(dialog, result);
}

static void onDenyPopupTimer(HWND dialog, WPARAM timerId)
{
    if (timerId == TIMER_COUNTDOWN) {
        if (_gPopupTimeout > COUNTDOWN_TICK_MS) {
            _gPopupTimeout -= COUNTDOWN_TICK_MS;
            setTitle(dialog, _gPopupTimeout);
        } else {
            endDenyPopup(dialog, IDOK);
        }
    } else if (timerId == TIMER_KEEP_DESKTOP && newDesktop != NULL) {
        SwitchDesktop(newDesktop);   // another party may have switched the input desktop away
    }
}

INT_PTR CALLBACK popupWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        initDenyPopup(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL)
            return FALSE;
        endDenyPopup(dialog, LOWORD(wParam));
        return TRUE;
    case WM_TIMER:
        onDenyPopupTimer(dialog, wParam);
        return TRUE;
    default:
        return FALSE;
    }
}

static void closeDenyDesktop()
{
    CloseDesktop(newDesktop);
    newDesktop = NULL;
}

static void switchBack(trace_class &trace, HDESK previous)
{
    if (!SwitchDesktop(previous))
        TRACE_LINE(trace, TRACE_ERROR, "error to switch to original desktop (%u)", (unsigned)GetLastError());
}

// Moves the thread onto a new deny-logon desktop and makes it the input desktop.
// Returns the previous desktop, or NULL when the popup stays on the current one;
// a desktop that cannot be used is closed at once, so no timer keeps an empty
// desktop in front of the user.
static HDESK enterDenyDesktop(trace_class &trace, DWORD switchDesktop)
{
    newDesktop = NULL;
    HDESK previous = GetThreadDesktop(GetCurrentThreadId());
    if (switchDesktop == 0)
        return NULL;
    TRACE_LINE(trace, TRACE_INFO, "switchDesktop is set, create new desktop");
    newDesktop = CreateDesktopA(DENY_DESKTOP_NAME, NULL, NULL, 0, MAXIMUM_ALLOWED, NULL);
    if (newDesktop == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "unable to create a new desktop (%u)", (unsigned)GetLastError());
        return NULL;
    }
    if (previous == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "unable to find the current desktop (%u)", (unsigned)GetLastError());
        closeDenyDesktop();
        return NULL;
    }
    TRACE_LINE(trace, TRACE_INFO, "newdesktop created");
    if (!SwitchDesktop(newDesktop)) {
        TRACE_LINE(trace, TRACE_ERROR, "unable to switch to new desktop (%u)", (unsigned)GetLastError());
        closeDenyDesktop();
        return NULL;
    }
    TRACE_LINE(trace, TRACE_INFO, "switch to new dekstop");
    if (!SetThreadDesktop(newDesktop)) {
        TRACE_LINE(trace, TRACE_ERROR, "Error in SetThreadDesktop (%u)", (unsigned)GetLastError());
        switchBack(trace, previous);
        closeDenyDesktop();
        return NULL;
    }
    return previous;
}

static void leaveDenyDesktop(trace_class &trace, HDESK previous)
{
    if (previous == NULL)
        return;
    TRACE_LINE(trace, TRACE_INFO, "restore old desktop");
    switchBack(trace, previous);
    TRACE_LINE(trace, TRACE_INFO, "restore thread desktop");
    if (!SetThreadDesktop(previous))
        TRACE_LINE(trace, TRACE_ERROR, "error to reset original desktop (%u)", (unsigned)GetLastError());
    closeDenyDesktop();
}

static char *readDenyText(trace_class &trace, setting_id id, const char *missingText)
{
    char *text;
    if (!readSetting(id, &text))
        TRACE_LINE(trace, TRACE_WARNING, "%s", missingText);
    return text;
}

// Types other than 0 and 1 show the message of type 0, as for a missing setting.
static char *readDenyMessage(trace_class &trace, int denyType)
{
    if (denyType == 1)
        return readDenyText(trace, SETTING_LOGIN_DENIED_MSG_ON_PAUSE_ERROR, "invalid msg");
    if (denyType == 0)
        return readDenyText(trace, SETTING_LOGIN_DENIED_MSG, "invalid msg");
    TRACE_LINE(trace, TRACE_WARNING, "%s", "invalid msg");
    return strdup(DEF_LOGIN_DENIED_MSG);
}

static int showDenyPopup(trace_class &trace, HINSTANCE instance, int denyType, const char *currDistId)
{
    TRACE_LINE(trace, TRACE_INFO, "popup enabled");
    TRACE_LINE(trace, TRACE_INFO, "denyType='%d'", denyType);
    TRACE_LINE(trace, TRACE_INFO, "currDistId='%s'", currDistId != NULL ? currDistId : "NULL");
    char *title = readDenyText(trace, SETTING_LOGIN_DENIED_TITLE, "invalid title");
    char *message = readDenyMessage(trace, denyType);
    TRACE_LINE(trace, TRACE_INFO, "substitute variables in msg");
    message = correctFormat(message, denyType == 1 ? currDistId : NULL, NULL);
    TRACE_LINE(trace, TRACE_INFO, "substitute variables in msg completed");
    _gPopupTitle = title;
    _gPopupMsg = message;

    DWORD timeoutSeconds;
    readSetting(SETTING_POPUP_TIMEOUT, &timeoutSeconds);
    _gPopupTimeout = timeoutSeconds * 1000;
    static const setting_miss SWITCH_MISSING = {
        TRACE_WARNING, "error retrieving switchDesktop value, may be key is missing... try to create it", NULL};
    DWORD switchDesktop;
    readSetting(SETTING_SWITCH_POPUP_DESKTOP, &switchDesktop, &trace, &SWITCH_MISSING);

    HDESK previous = enterDenyDesktop(trace, switchDesktop);
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_DENY_POPUP), NULL, popupWindowProc, 0);
    DWORD dialogError = GetLastError();
    leaveDenyDesktop(trace, previous);
    if (result == -1)
        TRACE_LINE(trace, TRACE_ERROR, "Error in create popup: %u", (unsigned)dialogError);
    _gPopupTitle = NULL;
    _gPopupMsg = NULL;
    free(title);
    free(message);
    return (int)result;
}

int CreatePopUpWindow(HINSTANCE instance, int denyType, const char *currDistId)
{
    trace_class trace(TRACE_ORDINARY, "CreatePopUpWindow");
    int result = 0;
    static const setting_miss POPUP_MISSING = {
        TRACE_ERROR, "error retrieving popup status, may be key is missing... try to create it", NULL};
    DWORD popupEnabled;
    readSetting(SETTING_DENY_POPUP_ENABLED, &popupEnabled, &trace, &POPUP_MISSING);
    if (popupEnabled == 0)
        TRACE_LINE(trace, TRACE_INFO, "popup disabled");
    else
        result = showDenyPopup(trace, instance, denyType, currDistId);

    // A denied logon always ends in a logoff, and the completion popup is always requested.
    TRACE_LINE(trace, TRACE_INFO, "invoke enableFinalPopup");
    EnableFinalPopup();
    TRACE_LINE(trace, TRACE_INFO, "Invoke logoff");
    logoff();
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

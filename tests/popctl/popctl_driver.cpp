// popctl_driver: plays the user and the system around a running popctl.
#include "popctl_driver.h"
#include "test_support.h"

#include <tlhelp32.h>
#include <stdlib.h>
#include <string.h>

namespace popctl {

static const DWORD POLL_MS = 50;
static const UINT SEND_TIMEOUT_MS = 5000;

HWND waitMainWindow(DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += POLL_MS) {
        HWND window = FindWindowA(MAIN_WINDOW_CLASS, NULL);
        if (window != NULL || waited >= timeoutMs)
            return window;
        Sleep(POLL_MS);
    }
}

LRESULT queryEndSession(HWND window, LPARAM lParam)
{
    DWORD_PTR answer = NO_ANSWER;
    if (!SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, lParam, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &answer))
        return NO_ANSWER;
    return (LRESULT)answer;
}

// Under Wine, ExitWindowsEx returns at once and wineboot ends the session's
// programs afterwards: a popctl started before it is done would be ended too.
static bool logoffUnderWay()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry))
        found = _stricmp(entry.szExeFile, "wineboot.exe") == 0;
    CloseHandle(snapshot);
    return found;
}

bool waitLogoffDone(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += POLL_MS) {
        if (!logoffUnderWay())
            return true;
        Sleep(POLL_MS);
    }
    return !logoffUnderWay();
}

std::string caption(HWND window)
{
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

long captionCount(const std::string &text)
{
    size_t open = text.rfind("( ");
    if (open == std::string::npos || text.size() < 2 || text.compare(text.size() - 2, 2, " )") != 0)
        return -1;
    return strtol(text.c_str() + open + 2, NULL, 10);
}

struct PopupSearch {
    std::string prefix;
    HWND found;
};

static BOOL CALLBACK matchPopup(HWND window, LPARAM param)
{
    PopupSearch *search = (PopupSearch *)param;
    // The style bit, not IsWindowVisible: a window on a desktop that is not the
    // caller's has no visible parent chain as seen from the caller.
    if ((GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) == 0)
        return TRUE;
    if (caption(window).compare(0, search->prefix.size(), search->prefix) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND findPopup(const std::string &captionPrefix, const char *desktopName)
{
    PopupSearch search = {captionPrefix, NULL};
    if (desktopName == NULL) {
        EnumWindows(matchPopup, (LPARAM)&search);
        return search.found;
    }
    HDESK desktop = OpenDesktopA(desktopName, 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
    if (desktop == NULL)
        return NULL;
    EnumDesktopWindows(desktop, matchPopup, (LPARAM)&search);
    CloseDesktop(desktop);
    return search.found;
}

HWND waitPopup(const std::string &captionPrefix, DWORD timeoutMs, const char *desktopName)
{
    for (DWORD waited = 0;; waited += POLL_MS) {
        HWND window = findPopup(captionPrefix, desktopName);
        if (window != NULL || waited >= timeoutMs)
            return window;
        Sleep(POLL_MS);
    }
}

bool waitGone(HWND window, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += POLL_MS) {
        if (!IsWindow(window))
            return true;
        Sleep(POLL_MS);
    }
    return !IsWindow(window);
}

static std::string windowTextOf(HWND window)
{
    char text[4096] = "";
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), (LPARAM)text, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &copied);
    text[sizeof(text) - 1] = '\0';
    return text;
}

std::string controlText(HWND dialog, int id)
{
    return windowTextOf(GetDlgItem(dialog, id));
}

struct StaticSearch {
    std::string text;
};

static BOOL CALLBACK collectStaticText(HWND child, LPARAM param)
{
    char className[64] = "";
    GetClassNameA(child, className, sizeof(className));
    if (_stricmp(className, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
        std::string text = windowTextOf(child);
        if (!text.empty())
            ((StaticSearch *)param)->text += text;
    }
    return TRUE;
}

std::string messageBoxText(HWND box)
{
    StaticSearch search;
    EnumChildWindows(box, collectStaticText, (LPARAM)&search);
    return search.text;
}

void press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

void pressEscape(HWND dialog)
{
    // The dialog manager turns Escape on a push button into IDCANCEL.
    HWND target = GetDlgItem(dialog, IDOK);
    PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
}

void selectComboEntry(HWND dialog, int comboId, int index)
{
    HWND combo = GetDlgItem(dialog, comboId);
    DWORD_PTR ignored;
    SendMessageTimeoutA(combo, CB_SHOWDROPDOWN, TRUE, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &ignored);
    SendMessageTimeoutA(combo, CB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &ignored);
    SendMessageTimeoutA(combo, CB_SHOWDROPDOWN, FALSE, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &ignored);
}

int comboSelection(HWND dialog, int comboId)
{
    DWORD_PTR selection = (DWORD_PTR)-2;
    SendMessageTimeoutA(GetDlgItem(dialog, comboId), CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS,
                        &selection);
    return (int)selection;
}

std::vector<std::string> comboEntries(HWND dialog, int comboId)
{
    // Wide messages: Wine hands list texts across processes reliably only in Unicode.
    HWND combo = GetDlgItem(dialog, comboId);
    DWORD_PTR count = 0;
    SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &count);
    std::vector<std::string> entries;
    for (DWORD_PTR i = 0; i < count; ++i) {
        wchar_t wide[1024] = L"";
        DWORD_PTR length = 0;
        SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length);
        if (length < sizeof(wide) / sizeof(wide[0]))
            SendMessageTimeoutW(combo, CB_GETLBTEXT, i, (LPARAM)wide, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length);
        char text[2048] = "";
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), NULL, NULL);
        text[sizeof(text) - 1] = '\0';
        entries.push_back(text);
    }
    return entries;
}

RECT windowRect(HWND window)
{
    RECT rect = {-1, -1, -1, -1};
    GetWindowRect(window, &rect);
    return rect;
}

RECT controlRect(HWND dialog, int id)
{
    RECT rect = windowRect(GetDlgItem(dialog, id));
    MapWindowPoints(NULL, dialog, (POINT *)&rect, 2);
    return rect;
}

RECT workArea()
{
    RECT area = {-1, -1, -1, -1};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

volatile SharedRecord *sharedRecord()
{
    static volatile SharedRecord *record = NULL;
    if (record == NULL) {
        // Made as the logon process makes it: a record of another owner is not used.
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, kvdtest::trustedObjectSecurity(), PAGE_READWRITE,
                                            0, sizeof(SharedRecord),
                                            "Global\\KVDNotificationFileMap");
        // Kept open on purpose: the record lives while some process holds it.
        if (mapping != NULL)
            record = (volatile SharedRecord *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    }
    return record;
}

}  // namespace popctl

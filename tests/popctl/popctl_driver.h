// popctl_driver: plays the user and the system around a running popctl: end-session
// queries, finding the popups, reading and pressing them, the shared record.
#ifndef KVD_POPCTL_DRIVER_H
#define KVD_POPCTL_DRIVER_H

#include <windows.h>
#include <string>
#include <vector>

namespace popctl {

constexpr char MAIN_WINDOW_CLASS[] = "KVDnotificationLibraryClass";
constexpr char DENY_DESKTOP[] = "KVD_denyLogon_dsk";
constexpr char REMAINING_LOGON_CAPTION[] = "KVDNotification";
constexpr LRESULT NO_ANSWER = 0xdeadbeef;

// ---- the system ----
HWND waitMainWindow(DWORD timeoutMs);
// Sends WM_QUERYENDSESSION as the session manager would; NO_ANSWER when none came.
LRESULT queryEndSession(HWND window, LPARAM lParam);

// Waits until no logoff of the Wine session is under way any more; false after timeoutMs.
bool waitLogoffDone(DWORD timeoutMs);

// ---- finding popups (top-level, visible, caption beginning with prefix) ----
// desktopName NULL: the caller's own desktop.
HWND findPopup(const std::string &captionPrefix, const char *desktopName = NULL);
HWND waitPopup(const std::string &captionPrefix, DWORD timeoutMs, const char *desktopName = NULL);
bool waitGone(HWND window, DWORD timeoutMs);
std::string caption(HWND window);
// The count in a caption "title ( N )"; -1 when the caption has none.
long captionCount(const std::string &text);

// ---- the user ----
std::string controlText(HWND dialog, int id);          // WM_GETTEXT, across processes
std::string messageBoxText(HWND box);                  // the text of a message box
void press(HWND dialog, int id);                       // a click on a push button
void pressEscape(HWND dialog);                         // Escape on the focused control
void selectComboEntry(HWND dialog, int comboId, int index);   // opens, selects, closes
int comboSelection(HWND dialog, int comboId);
std::vector<std::string> comboEntries(HWND dialog, int comboId);

// Window and client rectangles in screen pixels.
RECT windowRect(HWND window);
RECT controlRect(HWND dialog, int id);                 // in the dialog's client coordinates
RECT workArea();

// ---- the shared record of the library (Global\KVDNotificationFileMap) ----
struct SharedRecord {
    DWORD _dwLoggedOn;
    DWORD _upcallCode;
    LONG _someoneLooping;
    LONG _shutdownWhenComplete;
    LONG _upcallRunning;
    LONG _final_popup_enabled;
};
// Opened (or created) once and kept open for the test program's lifetime.
volatile SharedRecord *sharedRecord();

}  // namespace popctl

#endif

// popup_dialog: the deny-logon popup on its own desktop, the forced logoff, and the text fitting of both popups.
#ifndef KVD_POPUP_DIALOG_H
#define KVD_POPUP_DIALOG_H

#include <windows.h>
#include "notify_trace.h"

// State of the deny-logon popup (main thread only).
extern DWORD _gPopupTimeout;        // remaining countdown in ms; 0: no countdown
extern const char *_gPopupTitle;    // caption, valid while the popup is shown
extern const char *_gPopupMsg;      // message with its variables substituted, same lifetime
extern HDESK newDesktop;            // the deny-logon desktop while this thread runs on it, else NULL

// Shows the deny-logon popup (when enabled), asks the library for the completion
// popup and logs the user off. Result: the dialog's result (1 OK or end of the
// countdown, 2 Escape), 0 when the popup is disabled, -1 when it cannot be created.
int CreatePopUpWindow(HINSTANCE instance, int denyType, const char *currDistId);
void setTitle(HWND dialog, DWORD timeout);
INT_PTR CALLBACK popupWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void logoff();
void EnableFinalPopup();

// Puts the message into the popup's read-only edit control and grows the popup,
// 10 pixels at a time, first in width and then in height, until the text fits
// or the work area's limits are reached. isDenyPopup: 1 deny popup, 0 choice popup.
void setMessage(HWND dialog, const char *message, int isDenyPopup);
BOOL enlargeWindow(HWND dialog, int size, int isDenyPopup, int isVertical);
BOOL enlargeVertically(HWND dialog, int size, int isDenyPopup);
BOOL enlargeHorizontally(HWND dialog, int size, int isDenyPopup);

// Run-time binding of the library: loaded by name for one call, unloaded after it.
// Both trace a warning when the library or the export is missing.
HMODULE loadNotificationLibrary(trace_class &trace);
FARPROC findLibraryExport(trace_class &trace, HMODULE library, const char *name);

// Any export's address as the function type it really has.
template <typename Function>
Function exportAs(FARPROC proc)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(proc));
}

#endif

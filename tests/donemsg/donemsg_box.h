// donemsg_box: starting donemsg, finding its message box on the display, reading it, pressing OK, taking its picture.
#ifndef KVD_DONEMSG_BOX_H
#define KVD_DONEMSG_BOX_H

#include <windows.h>
#include <string>
#include <vector>

namespace donemsgtest {

struct StartedProcess {
    HANDLE process;
    DWORD pid;
    DWORD startTick;
};

// Starts donemsg.exe with the given argument string ("" for none).
StartedProcess startDonemsg(const std::string &arguments);
// Starts a whole command line.
StartedProcess startCommand(const std::string &cmdLine);

// The message boxes on the display with this caption (of any process).
std::vector<HWND> findBoxes(const std::string &caption);
// Waits for a message box with this caption; null when none shows up in time.
HWND waitForBox(const std::string &caption, DWORD timeoutMs);
DWORD windowProcessId(HWND window);

std::string windowText(HWND window);
std::string boxMessage(HWND box);                 // the text of the box's message control
std::vector<std::string> boxButtons(HWND box);    // the captions of its buttons
bool boxShowsExclamationIcon(HWND box);
void pressOk(HWND box);

// Saves a PNG of the box into the screenshot folder of the build; returns its path.
std::string screenshotBox(HWND box, const std::string &name);

// "tag message" of each line the function wrote to the trace, in order.
std::vector<std::string> traceMessages(const std::string &path, const std::string &function);

}  // namespace donemsgtest

#endif

// donemsg_box: starting donemsg, finding its message box on the display, reading it, pressing OK, taking its picture.
#include "donemsg_box.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sstream>

namespace donemsgtest {

static const char DIALOG_CLASS[] = "#32770";
static const int BOX_MESSAGE_ID = 0xFFFF;        // the message's static control in a message box
static const int BOX_ICON_ID = 1088;             // its icon's static control
static const DWORD POLL_MS = 50;
static const DWORD SCREENSHOT_WAIT_MS = 20000;

StartedProcess startCommand(const std::string &cmdLine)
{
    StartedProcess started = {NULL, 0, GetTickCount()};
    started.process = kvdtest::startProgram(cmdLine);
    if (started.process != NULL)
        started.pid = GetProcessId(started.process);
    return started;
}

StartedProcess startDonemsg(const std::string &arguments)
{
    std::string cmdLine = kvdtest::productBin("donemsg.exe");
    if (!arguments.empty())
        cmdLine += " " + arguments;
    return startCommand(cmdLine);
}

struct BoxSearch {
    std::string caption;
    std::vector<HWND> found;
};

static BOOL CALLBACK collectBox(HWND window, LPARAM param)
{
    BoxSearch *search = (BoxSearch *)param;
    char className[64] = "";
    GetClassNameA(window, className, sizeof(className));
    if (strcmp(className, DIALOG_CLASS) == 0 && IsWindowVisible(window) && windowText(window) == search->caption)
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> findBoxes(const std::string &caption)
{
    BoxSearch search = {caption, {}};
    EnumWindows(collectBox, (LPARAM)&search);
    return search.found;
}

HWND waitForBox(const std::string &caption, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    do {
        std::vector<HWND> boxes = findBoxes(caption);
        if (!boxes.empty())
            return boxes[0];
        Sleep(POLL_MS);
    } while (GetTickCount() - start < timeoutMs);
    return NULL;
}

DWORD windowProcessId(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

std::string windowText(HWND window)
{
    int length = GetWindowTextLengthA(window);
    std::string text(length + 1, '\0');
    int got = GetWindowTextA(window, &text[0], length + 1);
    text.resize(got > 0 ? got : 0);
    return text;
}

std::string boxMessage(HWND box)
{
    HWND message = GetDlgItem(box, BOX_MESSAGE_ID);
    return message != NULL ? windowText(message) : "<no message control>";
}

static BOOL CALLBACK collectButton(HWND window, LPARAM param)
{
    char className[64] = "";
    GetClassNameA(window, className, sizeof(className));
    if (lstrcmpiA(className, "Button") == 0)
        ((std::vector<std::string> *)param)->push_back(windowText(window));
    return TRUE;
}

std::vector<std::string> boxButtons(HWND box)
{
    std::vector<std::string> buttons;
    EnumChildWindows(box, collectButton, (LPARAM)&buttons);
    return buttons;
}

typedef std::vector<COLORREF> Pixels;

static Pixels readPixels(HDC source, int x, int y, int width, int height)
{
    Pixels pixels;
    for (int row = 0; row < height; row++)
        for (int column = 0; column < width; column++)
            pixels.push_back(GetPixel(source, x + column, y + row));
    return pixels;
}

static Pixels drawIcon(HICON icon, COLORREF background, int width, int height)
{
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, brush);
    DrawIconEx(memory, 0, 0, icon, width, height, 0, NULL, DI_NORMAL);
    Pixels pixels = readPixels(memory, 0, 0, width, height);
    SelectObject(memory, previous);
    DeleteObject(brush);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

static void letBoxPaint(HWND box)
{
    UpdateWindow(box);
    Sleep(300);
}

bool boxShowsExclamationIcon(HWND box)
{
    HWND iconControl = GetDlgItem(box, BOX_ICON_ID);
    if (iconControl == NULL)
        return false;
    letBoxPaint(box);
    RECT rect;
    GetWindowRect(iconControl, &rect);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(NULL);
    Pixels shown = readPixels(screen, rect.left, rect.top, width, height);
    ReleaseDC(NULL, screen);

    // Icon handles are private to each process: compare what is on the screen
    // with the system icon drawn here, on the pixels it does not leave transparent.
    HICON exclamation = LoadIcon(NULL, IDI_EXCLAMATION);
    Pixels onBlack = drawIcon(exclamation, RGB(0, 0, 0), width, height);
    Pixels onWhite = drawIcon(exclamation, RGB(255, 255, 255), width, height);
    size_t opaque = 0, same = 0;
    for (size_t i = 0; i < shown.size(); i++) {
        if (onBlack[i] != onWhite[i])
            continue;
        opaque++;
        same += onBlack[i] == shown[i];
    }
    return opaque > 0 && same == opaque;
}

// A click posted before the box runs its message loop can be lost (seen
// under load): click again until the box is gone, for ten seconds at most.
void pressOk(HWND box)
{
    for (int attempt = 0; attempt < 10 && IsWindow(box); attempt++) {
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        for (int wait = 0; wait < 10 && IsWindow(box); wait++)
            Sleep(100);
    }
}

std::string screenshotBox(HWND box, const std::string &name)
{
    std::string unixPath = std::string(KVD_SCREENSHOT_DIR_UNIX) + "/" + name + ".png";
    std::string windowsPath = kvdtest::winPath(unixPath);
    DeleteFileA(windowsPath.c_str());
    RECT rect;
    GetWindowRect(box, &rect);
    std::ostringstream cmdLine;
    cmdLine << kvdtest::winPath(KVD_SCREENSHOT_SCRIPT_UNIX) << " " << unixPath << " " << rect.right - rect.left
            << "x" << rect.bottom - rect.top << "+" << rect.left << "+" << rect.top;
    letBoxPaint(box);
    StartedProcess script = startCommand(cmdLine.str());
    // Wine runs a Unix script without a process to wait on: wait for its file.
    if (script.process != NULL)
        CloseHandle(script.process);
    DWORD start = GetTickCount();
    while (GetFileAttributesA(windowsPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > SCREENSHOT_WAIT_MS) {
            ADD_FAILURE() << "no screenshot at " << unixPath;
            break;
        }
        Sleep(POLL_MS);
    }
    return unixPath;
}

std::vector<std::string> traceMessages(const std::string &path, const std::string &function)
{
    // "[pid:tid] date time tag function message"
    std::vector<std::string> messages;
    for (const std::string &line : kvdtest::readLines(path)) {
        std::istringstream fields(line);
        std::string ids, date, time, tag, name;
        fields >> ids >> date >> time >> tag >> name;
        if (name != function)
            continue;
        std::string message;
        std::getline(fields, message);
        if (!message.empty() && message[0] == ' ')
            message.erase(0, 1);
        messages.push_back(tag + " " + message);
    }
    return messages;
}

}  // namespace donemsgtest

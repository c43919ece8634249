// Screenshots of popctl's three popups on the Xvfb display, kept in the build folder.
#include "popctl_fixture.h"

#include <stdio.h>

namespace {

// Runs scripts/screenshot.sh through Wine's start of Unix programs for the
// window's rectangle (with a margin) and waits for the PNG file; true when it
// exists and is not empty.
bool screenshot(const std::string &name, HWND window)
{
    std::string unixFile = std::string(POPCTL_SCREENSHOT_DIR) + "/" + name;
    std::string file = winPath(unixFile);
    DeleteFileA(file.c_str());
    RECT frame = windowRect(window);
    const int margin = 20;
    char crop[64];
    snprintf(crop, sizeof(crop), "%ldx%ld+%ld+%ld", frame.right - frame.left + 2 * margin,
             frame.bottom - frame.top + 2 * margin, frame.left > margin ? frame.left - margin : 0,
             frame.top > margin ? frame.top - margin : 0);
    std::string command = "Z:\\bin\\bash " + std::string(POPCTL_SCREENSHOT_SCRIPT) + " " + unixFile + " " + crop;
    HANDLE process = startProgram(command);
    if (process != NULL)
        CloseHandle(process);   // a Unix process: Wine gives no exit code for it
    for (int waited = 0; waited < 15000; waited += 100) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow > 0)
            return true;
        Sleep(100);
    }
    return false;
}

}  // namespace

class Screenshots : public Popctl {};

TEST_F(Screenshots, test_deny_popup_on_its_desktop)
{
    denyLogon(1, "PKG-2026.12");
    setDword(KVD_MAIN_KEY, VAL_SWITCH_POPUP_DESKTOP, 1);
    setDword(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT, 60);
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_MSG_ON_PAUSE_ERROR,
              "The distribution $(DIST_ID) could not be paused.\\nLogons are refused until it completes; "
              "you will be logged off now and told when you can log on again.");
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS, DENY_DESKTOP);
    ASSERT_TRUE(popup != NULL);
    Sleep(300);   // let it paint
    EXPECT_TRUE(screenshot("popctl_deny_popup.png", popup));
    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
}

TEST_F(Screenshots, test_choice_popup_with_long_message)
{
    std::string message =
        "A distribution plan is installing software on this workstation and the machine must not be shut "
        "down or restarted until it completes.\\n\\nChoose Logoff to end your session now, Shutdown when "
        "distribution completes to end your session now and let the machine shut down once the plan is done, "
        "or Restart to restart the machine at once (the running distribution will resume after the restart). "
        "When the countdown in the title ends, the default action is taken.";
    setString(KVD_POPCTL_KEY, VAL_MESSAGE, message);
    HWND popup = openChoicePopup(30);
    ASSERT_TRUE(popup != NULL);
    Sleep(300);
    EXPECT_TRUE(screenshot("popctl_choice_popup.png", popup));
    press(popup, IDCANCEL);
}

TEST_F(Screenshots, test_remaining_logons_box)
{
    setDword(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED, 1);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 2);
    start();
    HWND box = waitPopup(REMAINING_LOGON_CAPTION, START_MS);
    ASSERT_TRUE(box != NULL);
    Sleep(300);
    EXPECT_TRUE(screenshot("popctl_remaining_logons.png", box));
}

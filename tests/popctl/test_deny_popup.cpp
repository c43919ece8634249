// Tests of popctl's deny-logon popup, its desktop and the forced logoff.
#include "popctl_fixture.h"

#include <vector>

static bool isShown(HWND window)
{
    return IsWindow(window) && (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

class DenyPopup : public Popctl {
protected:
    void SetUp() override
    {
        Popctl::SetUp();
        setDword(KVD_MAIN_KEY, VAL_SWITCH_POPUP_DESKTOP, 0);
    }
};

TEST_F(DenyPopup, test_type_0_keeps_the_dist_id_variable)
{
    denyLogon(0, "");
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_TITLE, "Logon refused");
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_MSG, "No logons left for $(DIST_ID)\\tnow");
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_MSG_ON_PAUSE_ERROR, "wrong message");
    start();
    HWND popup = waitPopup("Logon refused", START_MS);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ("Logon refused", caption(popup)) << "no countdown: the title alone";
    EXPECT_EQ("No logons left for $(DIST_ID)\tnow", controlText(popup, DENY_MESSAGE));
    EXPECT_EQ(0, GetWindowLongA(popup, GWL_STYLE) & WS_SYSMENU) << "no close box";
    Sleep(300);
    EXPECT_TRUE(IsWindow(popup)) << "without PopUpTimeout the popup waits for the user";

    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[I] VerifyDenyLogon CreatePopUpWindow returned 1")) << traceText();
    EXPECT_TRUE(traced("[I] popctl Logon denied, exiting..."));
    EXPECT_EQ(1, sharedRecord()->_final_popup_enabled) << "the completion popup is requested";
    EXPECT_TRUE(traced("[I] logoff logoff ok"));
}

TEST_F(DenyPopup, test_type_1_names_the_distribution_and_escape_closes)
{
    denyLogon(1, "DIST-77");
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_MSG, "wrong message");
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_MSG_ON_PAUSE_ERROR, "$(DIST_ID) could not pause ($(DIST_ID))");
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ("DIST-77 could not pause (DIST-77)", controlText(popup, DENY_MESSAGE));
    pressEscape(popup);
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[I] CreatePopUpWindow currDistId='DIST-77'")) << traceText();
    EXPECT_TRUE(traced("[I] CreatePopUpWindow return data = 2")) << "Escape ends the popup with IDCANCEL";
}

TEST_F(DenyPopup, test_missing_texts_and_id_get_defaults)
{
    denyLogon(1, NULL);
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ("The login is temporarily disabled to allow a distribution", controlText(popup, DENY_MESSAGE));
    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[I] VerifyDenyLogon registry key '_popupDistID' not found")) << traceText();
    EXPECT_TRUE(traced("[I] CreatePopUpWindow currDistId='NULL'"));
    EXPECT_TRUE(traced("[W] CreatePopUpWindow invalid title"));
    EXPECT_TRUE(traced("[W] CreatePopUpWindow invalid msg"));

    TearDown();
    SetUp();
    denyLogon(1, NULL);
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_MSG_ON_PAUSE_ERROR, "pausing $(DIST_ID) failed");
    start();
    popup = waitPopup(DEFAULT_TITLE, START_MS);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ("pausing $(DIST_ID) failed", controlText(popup, DENY_MESSAGE)) << "no ID: the variable stays";
}

TEST_F(DenyPopup, test_disabled_popup_still_requests_completion_and_logs_off)
{
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, 0);
    start();
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[I] CreatePopUpWindow popup disabled")) << traceText();
    EXPECT_TRUE(traced("[I] CreatePopUpWindow return data = 0"));
    EXPECT_TRUE(traced("[I] CreatePopUpWindow Invoke logoff"));
    EXPECT_FALSE(traced("create new desktop"));
    EXPECT_EQ(1, sharedRecord()->_final_popup_enabled);
}

TEST_F(DenyPopup, test_missing_switches_are_written_back_as_1)
{
    denyLogon(0, "");
    removeValue(KVD_MAIN_KEY, VAL_SWITCH_POPUP_DESKTOP);
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS, DENY_DESKTOP);
    ASSERT_TRUE(popup != NULL) << traceText();
    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
    DWORD value = 0xdeadbeef;
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, &value));
    EXPECT_EQ(1u, value);
    value = 0xdeadbeef;
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_SWITCH_POPUP_DESKTOP, &value));
    EXPECT_EQ(1u, value);
    EXPECT_TRUE(traced("[E] CreatePopUpWindow error retrieving popup status, may be key is missing... try to create it"));
    EXPECT_TRUE(traced("[W] CreatePopUpWindow error retrieving switchDesktop value, may be key is missing... try to create it"));
}

TEST_F(DenyPopup, test_popup_runs_on_its_own_desktop)
{
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_SWITCH_POPUP_DESKTOP, 1);
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS, DENY_DESKTOP);
    ASSERT_TRUE(popup != NULL) << traceText();
    EXPECT_TRUE(findPopup(DEFAULT_TITLE) == NULL) << "the popup must not be on the user's desktop";
    EXPECT_TRUE(traced("[I] CreatePopUpWindow switch to new dekstop"));
    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[I] CreatePopUpWindow restore old desktop"));
    EXPECT_TRUE(traced("[I] CreatePopUpWindow restore thread desktop"));
    for (const char *error : {"unable to", "Error in", "error to"})
        EXPECT_FALSE(traced(error)) << traceText();
}

TEST_F(DenyPopup, test_popup_stays_on_user_desktop_when_switch_is_off)
{
    denyLogon(0, "");
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS);
    ASSERT_TRUE(popup != NULL);
    EXPECT_TRUE(findPopup(DEFAULT_TITLE, DENY_DESKTOP) == NULL);
    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
    EXPECT_FALSE(traced("create new desktop")) << traceText();
}

TEST_F(DenyPopup, test_countdown_closes_the_popup)
{
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT, 3);
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS);
    ASSERT_TRUE(popup != NULL);
    DWORD opened = GetTickCount();
    std::vector<long> counts;
    while (isShown(popup) && GetTickCount() - opened < 8000) {
        long count = captionCount(caption(popup));
        if (isShown(popup) && count != -1 && (counts.empty() || counts.back() != count))
            counts.push_back(count);
        Sleep(30);
    }
    DWORD closedAfter = GetTickCount() - opened;
    EXPECT_EQ((std::vector<long>{3, 2, 1}), counts);
    EXPECT_GE(closedAfter, 2500u);
    EXPECT_LE(closedAfter, 4500u);
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[I] CreatePopUpWindow return data = 1"));
}

TEST_F(DenyPopup, test_long_title_is_cut_to_the_caption_buffer)
{
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT, 60);
    std::string title = "T" + std::string(3000, 'x');
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_TITLE, title);
    start();
    HWND popup = waitPopup("Tx", START_MS);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ(title.substr(0, 1023), caption(popup));
    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
}

TEST_F(DenyPopup, test_logoff_type_selects_the_flags)
{
    struct Case {
        DWORD type;
        const char *line;
        const char *flags;
    } cases[] = {{0, NULL, "flags=0"}, {2, "logoff FORCED_IF_HUNG", "flags=16"}, {5, NULL, "flags=0"}};
    for (const Case &c : cases) {
        denyLogon(0, "");
        setDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, 0);
        setDword(KVD_MAIN_KEY, VAL_LOGOFF_TYPE, c.type);
        start();
        EXPECT_EQ(1u, exitCode());
        EXPECT_TRUE(traced(std::string("[I] logoff ExitWindowsEx ") + c.flags)) << c.type << "\n" << traceText();
        if (c.line != NULL)
            EXPECT_TRUE(traced(std::string("[I] logoff ") + c.line + "\r\n")) << c.type;
        else
            EXPECT_FALSE(traced("logoff FORCED")) << c.type;
        EXPECT_TRUE(traced("[I] logoff logoff ok")) << c.type;
        TearDown();
        SetUp();
    }
}

TEST_F(DenyPopup, test_missing_library_still_logs_off)
{
    std::string folder = workDir() + "\\nolibrary";
    CreateDirectoryA(folder.c_str(), NULL);
    std::string exe = folder + "\\popctl.exe";
    ASSERT_TRUE(CopyFileA(productBin("popctl.exe").c_str(), exe.c_str(), FALSE));
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, 0);
    start(exe);
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[W] VerifyDenyLogon KVDnotificationLibrary not found")) << traceText();
    EXPECT_TRUE(traced("[W] EnableFinalPopup KVDnotificationLibrary not found"));
    EXPECT_TRUE(traced("[I] logoff logoff ok"));
    EXPECT_EQ(0, sharedRecord()->_final_popup_enabled);
}

// A forced logoff ends every windowed process of the Wine session, this test
// program included once it owns a window. run_in_own_prefix.sh therefore runs
// this test twice: the first run leaves a marker, opens a window as the user's
// programs would and starts the logoff, which ends it; the second run finds the
// marker and checks what popctl traced.
TEST(ForcedLogoff, test_logoff_type_1_forces_the_logoff)
{
    std::string marker = workDir() + "\\forced_logoff.started";
    std::string traceFile = workDir() + "\\forced_logoff.trace";
    if (GetFileAttributesA(marker.c_str()) == INVALID_FILE_ATTRIBUTES) {
        deleteKeys();
        createKeys();
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
        enableTrace(1, "forced_logoff.trace");
        DeleteFileA((traceFile + ".1").c_str());
        setDword(KVD_POPCTL_KEY, VAL_POPUP_TYPE, 0);
        setDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, 0);
        setDword(KVD_MAIN_KEY, VAL_LOGOFF_TYPE, 1);
        HANDLE marking = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, marking);
        CloseHandle(marking);
        HWND userWindow = CreateWindowA("STATIC", "user's program", WS_OVERLAPPED, 0, 0, 10, 10, NULL, NULL,
                                        GetModuleHandleA(NULL), NULL);
        ASSERT_TRUE(userWindow != NULL);
        HANDLE process = startProgram("\"" + productBin("popctl.exe") + "\"");
        for (DWORD waited = 0; waited < 20000; waited += 100) {
            MSG message;
            while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
                DispatchMessageA(&message);
            Sleep(100);
        }
        CloseHandle(process);
        DestroyWindow(userWindow);
        DeleteFileA(marker.c_str());
        FAIL() << "a forced logoff must end every process of the session, this one too";
    }
    DeleteFileA(marker.c_str());
    std::string text = readFile(traceFile) + readFile(traceFile + ".1");
    EXPECT_NE(std::string::npos, text.find("[I] logoff logoff FORCED\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("[I] logoff ExitWindowsEx flags=4")) << text;
    EXPECT_NE(std::string::npos, text.find("[I] logoff logoff ok")) << text;
    deleteKeys();
}

TEST_F(DenyPopup, test_missing_exports_still_log_off)
{
    std::string folder = winPath(POPCTL_EMPTY_LIBRARY_DIR);
    std::string exe = folder + "\\popctl.exe";
    ASSERT_TRUE(CopyFileA(productBin("popctl.exe").c_str(), exe.c_str(), FALSE));
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, 0);
    start(exe);
    EXPECT_EQ(1u, exitCode());
    EXPECT_TRUE(traced("[W] VerifyDenyLogon symbol 'waitUpcallCompletion' not found in KVDnotificationLibrary"))
        << traceText();
    EXPECT_TRUE(traced("[W] EnableFinalPopup symbol 'enableFinalPopup' not found in KVDnotificationLibrary"));
    EXPECT_TRUE(traced("[I] logoff logoff ok"));
}

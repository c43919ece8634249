// Tests of popctl's shutdown interception: the choice popup, its countdown and the three actions.
#include "popctl_fixture.h"
#include "export_binding.h"
#include "notify_trace.h"

#include <vector>

class ChoicePopup : public Popctl {};

TEST_F(ChoicePopup, test_popup_shows_texts_and_preselects_default)
{
    setString(KVD_POPCTL_KEY, VAL_TITLE, "Plan running");
    setString(KVD_POPCTL_KEY, VAL_MESSAGE, "First line\\nsecond line");
    setString(KVD_POPCTL_KEY, VAL_LOGOFF_STRING, "Leave");
    setString(KVD_POPCTL_KEY, VAL_LOGOFF_SHUTDOWN_STRING, "Leave, stop later");
    setString(KVD_POPCTL_KEY, VAL_RESTART_STRING, "Reboot");
    setDword(KVD_POPCTL_KEY, VAL_DEFAULT_ACTION, 3);
    HWND popup = openChoicePopup(30, "Plan running");
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ("Plan running ( 30 )", caption(popup));
    EXPECT_EQ("First line\nsecond line", controlText(popup, CHOICE_MESSAGE));
    EXPECT_EQ((std::vector<std::string>{"Leave", "Leave, stop later", "Reboot"}), comboEntries(popup, ACTION_COMBO));
    EXPECT_EQ(2, comboSelection(popup, ACTION_COMBO));
    EXPECT_EQ(0, GetWindowLongA(popup, GWL_STYLE) & WS_SYSMENU) << "no close box";
    EXPECT_TRUE(traced("[I] logoff/reboot request shutdown/reboot requested, showing popup")) << traceText();
    EXPECT_TRUE(traced("[I] ManagePopup default action=3"));
    EXPECT_TRUE(traced("[I] ManagePopup gTimeout=30000"));
}

TEST_F(ChoicePopup, test_default_labels_and_invalid_default_actions)
{
    setString(KVD_POPCTL_KEY, VAL_DEFAULT_ACTION, "1");   // not a DWORD
    HWND popup = openChoicePopup(30);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ((std::vector<std::string>{"Logoff", "Shutdown when distribution completes", "Restart"}),
              comboEntries(popup, ACTION_COMBO));
    EXPECT_EQ("A 'distribution plan' is currently running, please choose one option",
              controlText(popup, CHOICE_MESSAGE));
    EXPECT_EQ(1, comboSelection(popup, ACTION_COMBO));
    press(popup, IDCANCEL);
    EXPECT_TRUE(waitGone(popup, 3000));

    for (DWORD action : {(DWORD)0, (DWORD)4, (DWORD)7}) {
        setDword(KVD_POPCTL_KEY, VAL_DEFAULT_ACTION, action);
        HWND window = waitMainWindow(0);
        ASSERT_EQ(FALSE, queryEndSession(window, 0));
        popup = waitPopup(DEFAULT_TITLE, START_MS);
        ASSERT_TRUE(popup != NULL);
        EXPECT_EQ(1, comboSelection(popup, ACTION_COMBO)) << "DefaultAction " << action;
        press(popup, IDCANCEL);
        EXPECT_TRUE(waitGone(popup, 3000));
    }
    EXPECT_TRUE(running());
    EXPECT_FALSE(traced("requested, executing")) << "Cancel does nothing";
}

TEST_F(ChoicePopup, test_cancel_keeps_the_shutdown_refused)
{
    HWND popup = openChoicePopup(30);
    ASSERT_TRUE(popup != NULL);
    press(popup, IDCANCEL);
    EXPECT_TRUE(waitGone(popup, 3000));
    Sleep(300);
    EXPECT_TRUE(running());
    EXPECT_FALSE(traced("requested, executing"));

    HWND window = waitMainWindow(0);
    EXPECT_EQ(FALSE, queryEndSession(window, 0)) << "the next shutdown is refused again";
    EXPECT_TRUE(waitPopup(DEFAULT_TITLE, START_MS) != NULL);
}

TEST_F(ChoicePopup, test_second_query_while_open_opens_no_second_popup)
{
    HWND popup = openChoicePopup(30);
    ASSERT_TRUE(popup != NULL);
    HWND window = waitMainWindow(0);
    EXPECT_EQ(FALSE, queryEndSession(window, 0));
    EXPECT_TRUE(traced("[I] logoff/reboot request shutdown/reboot requested, popup already shown")) << traceText();
    // A request already posted before the popup opened is dropped as well.
    PostMessageA(window, WM_USER + 1, 0, 0);
    press(popup, IDCANCEL);
    EXPECT_TRUE(waitGone(popup, 3000));
    Sleep(500);
    EXPECT_TRUE(findPopup(DEFAULT_TITLE) == NULL) << "no second popup may follow";
    EXPECT_TRUE(running());
}

TEST_F(ChoicePopup, test_countdown_and_combo_stop_it)
{
    HWND popup = openChoicePopup(30);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ(30, captionCount(caption(popup)));
    Sleep(1300);
    long counted = captionCount(caption(popup));
    EXPECT_TRUE(counted == 29 || counted == 28) << caption(popup);

    selectComboEntry(popup, ACTION_COMBO, 0);
    long stopped = captionCount(caption(popup));
    Sleep(1500);
    EXPECT_EQ(stopped, captionCount(caption(popup))) << "a combo notification stops the countdown for good";
    EXPECT_EQ(0, comboSelection(popup, ACTION_COMBO));

    press(popup, IDOK);
    EXPECT_EQ(0u, exitCode()) << "the logoff ends the session";
    EXPECT_TRUE(traced("[I] ManagePopup LOGOFF requested, executing...")) << traceText();
    EXPECT_FALSE(traced("LOGOFF_AND_SHUTDOWN"));
}

TEST_F(ChoicePopup, test_countdown_end_takes_the_default_of_that_moment)
{
    setDword(KVD_POPCTL_KEY, VAL_DEFAULT_ACTION, 3);
    HWND popup = openChoicePopup(2);
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ(2, comboSelection(popup, ACTION_COMBO));
    setDword(KVD_POPCTL_KEY, VAL_DEFAULT_ACTION, 1);
    EXPECT_TRUE(waitGone(popup, 4000));
    EXPECT_EQ(0u, exitCode());
    EXPECT_TRUE(traced("[I] ManagePopup LOGOFF requested, executing...")) << traceText();
    EXPECT_FALSE(traced("RESTART requested"));
}

TEST_F(ChoicePopup, test_long_title_is_cut_to_the_caption_buffer)
{
    std::string title = "T" + std::string(600, 'y');
    setString(KVD_POPCTL_KEY, VAL_TITLE, title);
    HWND popup = openChoicePopup(30, "Ty");
    ASSERT_TRUE(popup != NULL);
    EXPECT_EQ(title.substr(0, 259), caption(popup));
}

// ---------------------------------------------------------------------------
// Actions
// ---------------------------------------------------------------------------

TEST_F(ChoicePopup, test_no_timeout_runs_logoff_and_shutdown_at_once)
{
    ASSERT_TRUE(requestShutdown(0) != NULL);
    EXPECT_EQ(0u, exitCode()) << "the logoff ends the session";
    EXPECT_TRUE(findPopup(DEFAULT_TITLE) == NULL) << "Timeout 0: no popup";
    EXPECT_TRUE(traced("[I] ManagePopup LOGOFF_AND_SHUTDOWN requested, executing...")) << traceText();
    EXPECT_TRUE(traced("[I] ManagePopup setting shutdownWhenComplete=TRUE"));
    EXPECT_TRUE(traced("[I] ManagePopup LOGOFF requested, executing..."));
    EXPECT_EQ(1, sharedRecord()->_shutdownWhenComplete);
    // Wine's logoff query carries no ENDSESSION_LOGOFF: popctl lets its own logoff through.
    EXPECT_TRUE(traced("[I] logoff/reboot request shutdown/reboot not denied"));
}

// A standard user's choice reaches the logon process through the user's own
// hive: the logoff handler, given the user's token, honours it only when the
// user may shut down; popctl alone changes nothing.
TEST_F(ChoicePopup, test_a_standard_users_shutdown_choice_needs_the_shutdown_right)
{
    HMODULE library = LoadLibraryA(productBin("KVDnotificationLibrary.dll").c_str());
    ASSERT_TRUE(library != NULL);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 5);
    for (bool mayShutDown : {true, false}) {
        SCOPED_TRACE(mayShutDown ? "with the shutdown right" : "without it");
        setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
        setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
        setDword(KVD_POPCTL_KEY, VAL_TIMEOUT, 0);
        HANDLE user = standardUserToken(mayShutDown);
        process = startProgram("\"" + productBin("popctl.exe") + "\"", user);
        HWND window = waitMainWindow(START_MS);
        ASSERT_TRUE(window != NULL);
        EXPECT_EQ(FALSE, queryEndSession(window, 0));
        EXPECT_EQ(0u, exitCode()) << "the logoff ends the session";
        CloseHandle(process);
        process = NULL;
        ASSERT_TRUE(waitLogoffDone(START_MS));
        EXPECT_EQ(0, sharedRecord()->_shutdownWhenComplete) << "popctl alone changes nothing";
        WLX_NOTIFICATION_INFO info = {sizeof(info), 0, (PWSTR)L"user", NULL, NULL, user, NULL, NULL};
        exportOf<void(WINAPI *)(PWLX_NOTIFICATION_INFO)>(library, "KVDEventLogoff")(&info);
        EXPECT_EQ(mayShutDown ? 1 : 0, sharedRecord()->_shutdownWhenComplete);
        exportOf<void(WINAPI *)(const char *)>(library, "decreaseRunningClients")("D1");
        EXPECT_EQ(mayShutDown, traced("shutdownOnCompletion is set, performing shutdown")) << traceText();
        sharedRecord()->_shutdownWhenComplete = 0;
        DeleteFileA(trace.c_str());
        CloseHandle(user);
    }
    FreeLibrary(library);
}

TEST_F(ChoicePopup, test_logoff_and_shutdown_without_library_still_logs_off)
{
    std::string folder = workDir() + "\\nolibrary";
    CreateDirectoryA(folder.c_str(), NULL);
    std::string exe = folder + "\\popctl.exe";
    ASSERT_TRUE(CopyFileA(productBin("popctl.exe").c_str(), exe.c_str(), FALSE));
    setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
    start(exe);
    HWND window = waitMainWindow(START_MS);
    ASSERT_TRUE(window != NULL);
    EXPECT_EQ(FALSE, queryEndSession(window, 0));
    EXPECT_EQ(0u, exitCode());
    EXPECT_TRUE(traced("[W] ManagePopup KVDnotificationLibrary not found")) << traceText();
    EXPECT_TRUE(traced("[I] ManagePopup LOGOFF requested, executing..."));
    EXPECT_EQ(0, sharedRecord()->_shutdownWhenComplete);
}

TEST_F(ChoicePopup, test_restart_lets_queries_through_for_five_seconds)
{
    setDword(KVD_POPCTL_KEY, VAL_DEFAULT_ACTION, 3);
    HWND window = requestShutdown(0);
    ASSERT_TRUE(window != NULL);
    ASSERT_TRUE(waitTraced("[I] ManagePopup SystemShutdown management temprorary diabled=1")) << traceText();
    DWORD restarted = GetTickCount();
    EXPECT_TRUE(traced("[I] ManagePopup RESTART requested, executing..."));
    EXPECT_TRUE(traced("[I] ManagePopup Invoking InitiateSystemShutdown"));

    EXPECT_TRUE(findPopup(DEFAULT_TITLE) == NULL) << "Timeout 0: no popup";
    EXPECT_EQ(TRUE, queryEndSession(window, 0)) << "popctl's own restart must not be refused";
    setDword(KVD_POPCTL_KEY, VAL_TIMEOUT, 30);
    DWORD elapsed = GetTickCount() - restarted;
    if (elapsed < 5600)
        Sleep(5600 - elapsed);
    EXPECT_EQ(FALSE, queryEndSession(window, 0)) << "five seconds later the veto is back";
    EXPECT_TRUE(waitTraced("[I] WndProc TIMER_TEMP_DISABLE_SHUTDOWN >>>> ENTRY"));
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS);
    ASSERT_TRUE(popup != NULL);
    press(popup, IDCANCEL);
}

TEST_F(ChoicePopup, test_logoff_and_shutdown_without_export_still_logs_off)
{
    std::string exe = winPath(POPCTL_EMPTY_LIBRARY_DIR) + "\\popctl.exe";
    ASSERT_TRUE(CopyFileA(productBin("popctl.exe").c_str(), exe.c_str(), FALSE));
    setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
    start(exe);
    HWND window = waitMainWindow(START_MS);
    ASSERT_TRUE(window != NULL);
    EXPECT_EQ(FALSE, queryEndSession(window, 0));
    EXPECT_EQ(0u, exitCode());
    EXPECT_TRUE(traced("[W] ManagePopup symbol 'shutdownWhenComplete' not found in KVDnotificationLibrary"))
        << traceText();
    EXPECT_TRUE(traced("[I] ManagePopup LOGOFF requested, executing..."));
}

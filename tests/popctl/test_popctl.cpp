// Tests of popctl: the real program under Wine, driven as the user and the system would.
#include "popctl_fixture.h"

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

TEST_F(Popctl, test_disabled_package_ends_at_once)
{
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 2);
    denyLogon(0, "");
    start();
    EXPECT_EQ(0u, exitCode());
    EXPECT_TRUE(traced("[I] popctl KVDNotification not enabled, exiting...")) << traceText();
    EXPECT_FALSE(traced("VerifyDenyLogon"));
}

TEST_F(Popctl, test_allowed_logon_keeps_hidden_window_until_logoff)
{
    setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
    HWND window = startAllowed();
    ASSERT_TRUE(window != NULL);
    EXPECT_FALSE(IsWindowVisible(window));
    char name[128] = "";
    GetWindowTextA(window, name, sizeof(name));
    EXPECT_STREQ("KVDnotificationLibraryWindow", name);
    EXPECT_TRUE(traced("[I] VerifyDenyLogon registry key '_popupType' not found, exiting")) << traceText();

    EXPECT_EQ(TRUE, queryEndSession(window, ENDSESSION_LOGOFF)) << "a logoff is never refused";
    EXPECT_EQ(0u, exitCode());
    EXPECT_TRUE(traced("[I] logoff/reboot request logoff requested"));
}

TEST_F(Popctl, test_shutdown_query_is_let_through_without_plan)
{
    HWND window = startAllowed();
    ASSERT_TRUE(window != NULL);
    EXPECT_EQ(TRUE, queryEndSession(window, 0));
    setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 0);
    EXPECT_EQ(TRUE, queryEndSession(window, 0));
    EXPECT_TRUE(traced("[I] logoff/reboot request shutdown/reboot not denied"));
    Sleep(300);
    EXPECT_TRUE(running()) << "a shutdown query alone does not end popctl";
    EXPECT_TRUE(findPopup(DEFAULT_TITLE) == NULL);
}

TEST_F(Popctl, test_start_waits_for_the_logon_decision)
{
    sharedRecord()->_upcallRunning = 1;
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, 0);
    start();
    Sleep(1500);
    EXPECT_TRUE(running());
    EXPECT_TRUE(traced("[I] VerifyDenyLogon wait for upcall completion")) << traceText();
    EXPECT_FALSE(traced("invoking CreatePopUpWindow")) << "the marker was read before the decision ended";

    DWORD released = GetTickCount();
    sharedRecord()->_upcallRunning = 0;
    EXPECT_EQ(1u, exitCode(5000));
    EXPECT_LT(GetTickCount() - released, 3000u);
    EXPECT_TRUE(traced("[I] VerifyDenyLogon upcall completed"));
}

// ---------------------------------------------------------------------------
// Remaining-logons message
// ---------------------------------------------------------------------------

class RemainingLogons : public Popctl {
protected:
    // Starts popctl with the message enabled and returns the box (NULL when none came).
    HWND startWithBudget(DWORD budget)
    {
        setDword(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED, 1);
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, budget);
        DWORD started = GetTickCount();
        start();
        HWND window = waitMainWindow(START_MS);
        EXPECT_TRUE(window != NULL);
        startupMs = GetTickCount() - started;
        return waitPopup(REMAINING_LOGON_CAPTION, 1000);
    }
    DWORD startupMs = 0;
};

TEST_F(RemainingLogons, test_default_message_shows_the_count)
{
    HWND box = startWithBudget(3);
    ASSERT_TRUE(box != NULL);
    EXPECT_EQ("The current distribution has been paused\nYour left logon are: 3", messageBoxText(box));
    EXPECT_TRUE(traced("[I] ShowRemainingLogonPopup allowedLogon=3")) << traceText();
    EXPECT_LT(startupMs, 4000u) << "the box must not hold up the start for long";
    EXPECT_NE(0, GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) << "a system-modal box stays on top";
}

TEST_F(RemainingLogons, test_last_logon_shows_zero)
{
    HWND box = startWithBudget(0);
    ASSERT_TRUE(box != NULL);
    EXPECT_EQ("The current distribution has been paused\nYour left logon are: 0", messageBoxText(box));
}

TEST_F(RemainingLogons, test_budget_markers_need_no_message)
{
    for (DWORD budget : {(DWORD)-1, (DWORD)-2, (DWORD)0x0FFFFFFE}) {
        EXPECT_TRUE(startWithBudget(budget) == NULL) << "budget " << (int)budget;
        EXPECT_TRUE(traced("[I] ShowRemainingLogonPopup popup not needed")) << (int)budget;
        TearDown();
        SetUp();
    }
    EXPECT_TRUE(startWithBudget(0x0FFFFFFD) != NULL) << "the limit lies at 0x0FFFFFFE";
}

TEST_F(RemainingLogons, test_custom_message_with_and_without_variable)
{
    setString(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_MSG, "Only $(LEFT_LOGON) left,\\n$(LEFT_LOGON)!");
    HWND box = startWithBudget(7);
    ASSERT_TRUE(box != NULL);
    EXPECT_EQ("Only 7 left,\n7!", messageBoxText(box));
    TearDown();
    SetUp();

    setString(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_MSG, "Logons are counted");
    box = startWithBudget(7);
    ASSERT_TRUE(box != NULL);
    EXPECT_EQ("Logons are counted", messageBoxText(box));
}

TEST_F(RemainingLogons, test_disabled_or_missing_settings_show_nothing)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
    ASSERT_TRUE(startAllowed() != NULL);
    EXPECT_TRUE(traced("registry key 'LeftLogonPopupEnabled' not found, exiting")) << traceText();
    TearDown();
    SetUp();

    setDword(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED, 0);
    ASSERT_TRUE(startAllowed() != NULL);
    EXPECT_TRUE(traced("[I] ShowRemainingLogonPopup popup not enabled, exiting"));
    TearDown();
    SetUp();

    setDword(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED, 1);
    ASSERT_TRUE(startAllowed() != NULL);
    EXPECT_TRUE(traced("registry key '_maxLoginAllowed' not found, exiting"));
    EXPECT_TRUE(findPopup(REMAINING_LOGON_CAPTION) == NULL);
}

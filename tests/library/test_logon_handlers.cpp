// Tests of the logon event handlers of the shipped library: counting, the logon decision, the resume loop.
#include "library_support.h"

#include <string>
#include <vector>

using namespace kvdtest;
using namespace kvdlib;

namespace {

const DWORD SENTINEL = 0xdeadbeef;

class LogonHandlers : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        fake_.install();
    }
    // A hand-over left by an earlier denied logon.
    void presetDenial()
    {
        setDword(KVD_POPCTL_KEY, VAL_POPUP_TYPE, 7);
        setString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, "OLD");
    }
    void logon(const wchar_t *user)
    {
        WLX_NOTIFICATION_INFO info = notificationFor(user);
        library().logon(&info);
    }
    void logoff(const wchar_t *user)
    {
        WLX_NOTIFICATION_INFO info = notificationFor(user);
        library().logoff(&info);
    }
    FakeUpcall fake_{"logon_handlers"};
};

void logoffOnThread(void *)
{
    WLX_NOTIFICATION_INFO info = notificationFor(L"alice");
    library().logoff(&info);
}

TEST_F(LogonHandlers, test_switched_off_library_counts_without_deciding)
{
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 0);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 0);
    presetDenial();
    logon(L"alice");
    EXPECT_EQ(1u, record()->_dwLoggedOn);
    EXPECT_EQ(0, record()->_upcallRunning);
    EXPECT_EQ(7u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "no decision";
    EXPECT_TRUE(fileContains(trace_, "KVDnotificationLibrary not enabled"));
    EXPECT_TRUE(fileContains(trace_, "NOTIFY:  Logon."));

    logoff(L"alice");
    EXPECT_EQ(0u, record()->_dwLoggedOn);
    EXPECT_FALSE(fileContains(trace_, "DoResumeLoop")) << "no resume loop";

    WLX_NOTIFICATION_INFO info = notificationFor(L"system");
    library().startUp(&info);
    EXPECT_TRUE(fileContains(trace_, "resume worked")) << "start-up runs the loop all the same";
    EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(LogonHandlers, test_first_logon_without_plan_or_active_distribution_is_allowed)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    presetDenial();
    record()->_shutdownWhenComplete = 1;
    logon(L"alice");
    EXPECT_EQ(1u, record()->_dwLoggedOn);
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID));
    EXPECT_EQ(0, record()->_shutdownWhenComplete);
    std::vector<std::string> calls = fake_.calls();
    ASSERT_EQ(1u, calls.size()) << "the queue is asked once";
    EXPECT_NE(std::string::npos, calls[0].find("  -l "));
    EXPECT_TRUE(fileContains(trace_, "logon is allowed"));
}

TEST_F(LogonHandlers, test_active_distribution_in_the_queue_restricts_the_first_logon)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    fake_.answerCall(1, 0, "D1 0\n");
    logon(L"alice");
    EXPECT_EQ(0u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "the queue's budget 0 refuses the logon";
    EXPECT_EQ(0u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
}

TEST_F(LogonHandlers, test_second_user_is_refused_at_budget_0)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 0);
    record()->_dwLoggedOn = 1;
    logon(L"bob");
    EXPECT_EQ(2u, record()->_dwLoggedOn);
    EXPECT_EQ(0u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    std::string id = "sentinel";
    EXPECT_TRUE(getString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, &id));
    EXPECT_EQ("", id);
    EXPECT_TRUE(fake_.calls().empty()) << "two users restrict without asking the queue";
}

TEST_F(LogonHandlers, test_second_user_at_budget_2_uses_one_logon_without_pausing)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 2);
    writeNotifyFile("D1");
    presetDenial();
    record()->_dwLoggedOn = 1;
    logon(L"bob");
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    EXPECT_TRUE(fake_.calls().empty()) << "no pause while another user is counted";
    EXPECT_TRUE(fileContains(trace_, "login allowed. Login remaining = 1, pausing..."));
}

TEST_F(LogonHandlers, test_only_user_pauses_the_running_distribution_and_records_it)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
    writeNotifyFile("D1");
    fake_.answer(0);
    logon(L"alice");
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    EXPECT_EQ((std::vector<std::string>{"localhost", "D1", "2"}), pausedQueue());
    std::vector<std::string> calls = fake_.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_NE(std::string::npos, calls[0].find("  -p D1 "));
}

TEST_F(LogonHandlers, test_failed_pause_refuses_the_logon_only_when_asked_to)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
    writeNotifyFile("D1");
    fake_.answer(1);
    setDword(KVD_MAIN_KEY, VAL_DENY_LOGON_ON_PAUSE_ERROR, 1);
    logon(L"alice");
    EXPECT_EQ(1u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    std::string id;
    EXPECT_TRUE(getString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, &id));
    EXPECT_EQ("D1", id);
    EXPECT_TRUE(pausedQueue().empty());
    EXPECT_TRUE(fileContains(trace_, "DenyLogonOnPauseError is true, deny the logon"));

    record()->_dwLoggedOn = 0;
    setDword(KVD_MAIN_KEY, VAL_DENY_LOGON_ON_PAUSE_ERROR, 0);
    logon(L"alice");
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID));
}

TEST_F(LogonHandlers, test_logoff_leaving_nobody_and_nothing_paused_ends_at_once)
{
    record()->_dwLoggedOn = 1;
    DWORD start = GetTickCount();
    logoff(L"alice");
    EXPECT_LT(GetTickCount() - start, 10000u);
    EXPECT_EQ(0u, record()->_dwLoggedOn);
    EXPECT_EQ(0, record()->_someoneLooping);
    EXPECT_TRUE(fileContains(trace_, "no paused distribution to resume..."));
    EXPECT_TRUE(fileContains(trace_, "resume worked"));
}

TEST_F(LogonHandlers, test_logoff_that_was_never_counted_keeps_the_count_at_0)
{
    logoff(L"ghost");
    EXPECT_EQ(0u, record()->_dwLoggedOn);
    EXPECT_EQ(0, library().getNumLoggedOn());
    EXPECT_TRUE(fileContains(trace_, "logoff of a logon that was never counted"));
}

TEST_F(LogonHandlers, test_logoff_during_another_resume_loop_shows_the_shutdown_message)
{
    std::string marker = workDir() + "\\logoff_shutdown_popup.txt";
    DeleteFileA(marker.c_str());
    std::string program = testBin("record_args.exe") + " " + marker;
    setString(KVD_MAIN_KEY, VAL_COMPLETION_PROGRAM_PATH, program);
    setDword(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_ENABLED, 1);
    record()->_dwLoggedOn = 1;
    record()->_someoneLooping = 1;
    record()->_shutdownWhenComplete = 1;
    logoff(L"alice");
    EXPECT_TRUE(fileContains(trace_, "someone already looping exiting..."));
    EXPECT_TRUE(fileContains(trace_, "_shutdownWhenComplete = true, show popup"));
    EXPECT_EQ(program + " 1", waitForFile(marker, 10000));
    EXPECT_EQ(1, record()->_someoneLooping) << "the other loop's claim stays";
}

TEST_F(LogonHandlers, test_logon_ends_the_wait_of_a_failed_resume)
{
    setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ, multiString({"localhost", "D1", "3"}));
    fake_.answer(1);   // every resume fails, the listing shows nothing active
    record()->_dwLoggedOn = 1;
    HANDLE loop = startThread(logoffOnThread, NULL);
    for (int i = 0; i < 200 && !fileContains(trace_, "ERROR: resume failed!!"); i++)
        Sleep(50);
    ASSERT_TRUE(fileContains(trace_, "ERROR: resume failed!!"));
    EXPECT_EQ(1, record()->_someoneLooping);
    DWORD start = GetTickCount();
    logon(L"bob");
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(loop, 5000)) << "the loop ends within a second or so";
    EXPECT_LT(GetTickCount() - start, 5000u);
    CloseHandle(loop);
    EXPECT_EQ(0, record()->_someoneLooping);
    EXPECT_TRUE(fileContains(trace_, "someone logged on, exiting..."));
    EXPECT_EQ((std::vector<std::string>{"localhost", "D1", "3"}), pausedQueue()) << "kept for a later resume";
}

// The one test that waits through the minute between two resume attempts.
TEST_F(LogonHandlers, test_failed_resume_is_retried_after_60_one_second_waits)
{
    setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ, multiString({"localhost", "D1", "3"}));
    fake_.answerCall(1, 1);
    fake_.answerCall(2, 0);
    record()->_dwLoggedOn = 1;
    DWORD start = GetTickCount();
    logoff(L"alice");
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 59000u);
    EXPECT_LT(elapsed, 75000u);
    std::vector<std::string> calls = fake_.calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_NE(std::string::npos, calls[1].find("  -r D1 "));
    EXPECT_TRUE(pausedQueue().empty());
    EXPECT_EQ(0, record()->_someoneLooping);
    EXPECT_TRUE(fileContains(trace_, "resume worked"));
}

TEST_F(LogonHandlers, test_partly_failed_resume_keeps_what_failed_and_is_still_paused)
{
    setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ,
           multiString({"localhost", "D1", "3", "localhost", "D2", "2", "localhost", "D3", "1"}));
    fake_.answerCall(1, 4, "D2,D3");
    fake_.answerCall(2, 0, "D2,D9");
    record()->_dwLoggedOn = 1;
    HANDLE loop = startThread(logoffOnThread, NULL);
    for (int i = 0; i < 200 && fake_.calls().size() < 2; i++)
        Sleep(50);
    Sleep(500);
    EXPECT_EQ((std::vector<std::string>{"localhost", "D2", "2"}), pausedQueue());
    logon(L"bob");   // ends the loop, which waits to retry D2
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(loop, 5000));
    CloseHandle(loop);
    std::vector<std::string> calls = fake_.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_NE(std::string::npos, calls[0].find("  -r D1,D2,D3 "));
    EXPECT_NE(std::string::npos, calls[1].find("  -L "));
}

TEST_F(LogonHandlers, test_shutdown_event_changes_nothing)
{
    record()->_dwLoggedOn = 2;
    WLX_NOTIFICATION_INFO info = notificationFor(L"system");
    library().shutdown(&info);
    EXPECT_EQ(2u, record()->_dwLoggedOn);
    EXPECT_TRUE(fileContains(trace_, "NOTIFY:  ShutDown."));
    EXPECT_TRUE(fake_.calls().empty());
}

}  // namespace

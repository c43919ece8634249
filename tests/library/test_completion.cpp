// Tests of the running-client count, the end of a plan, the shutdown at completion and the two popup hand-overs.
#include "compiled_library.h"
#include "library_support.h"
#include "utils.h"
#include "program_util.h"
#include "registry_util.h"
#include "notify_trace.h"

#include <string>

using namespace kvdtest;
using namespace kvdlib;

namespace {

const DWORD SENTINEL = 0xdeadbeef;
const DWORD SHUTDOWN_STARTED = 0xffffffff;

class Completion : public CompiledLibraryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        trace_ = traceThisTest(1);
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
        setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
    }
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
    }
    std::string trace_;
};

TEST_F(Completion, test_decrement_from_2_leaves_the_plan_running)
{
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 2);
    EXPECT_EQ(1u, changeRunningClients(-1, 0));
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ(3u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_EQ(1u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
}

TEST_F(Completion, test_decrement_to_0_ends_the_plan)
{
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    EXPECT_EQ(0u, changeRunningClients(-1, 0));
    EXPECT_EQ(0u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ((DWORD)-2, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_EQ(0u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
    EXPECT_FALSE(fileContains(trace_, "shutdownOnCompletion is set"));
}

TEST_F(Completion, test_decrement_at_0_stays_0_and_ends_the_plan_again)
{
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 0);
    EXPECT_EQ(0u, changeRunningClients(-1, 0));
    EXPECT_TRUE(fileContains(trace_, "running_clients after change = -1"));
    EXPECT_EQ(0u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ((DWORD)-2, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_EQ(0u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
}

TEST_F(Completion, test_missing_count_is_created_by_an_increment_only)
{
    EXPECT_EQ(0u, changeRunningClients(-1, 1));
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ(3u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_EQ(1u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
    EXPECT_TRUE(fileContains(trace_, "running_client doesn't exist, decrement not possible"));

    EXPECT_EQ(1u, changeRunningClients(1, 0));
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ(2u, changeRunningClients(1, 0));
}

TEST_F(Completion, test_last_decrement_with_shutdown_asked_starts_a_shutdown)
{
    // Under Wine InitiateSystemShutdownA is accepted without effect; the
    // library falls back to ExitWindowsEx only when it fails, which would end
    // the whole Wine session, so make sure it does not fail here first.
    ASSERT_EQ(1, SetPrivilege(SE_SHUTDOWN_NAME, 1));
    ASSERT_TRUE(InitiateSystemShutdownA(NULL, NULL, 0, FALSE, FALSE));
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    EXPECT_EQ(SHUTDOWN_STARTED, changeRunningClients(-1, 1));
    EXPECT_TRUE(fileContains(trace_, "shutdownOnCompletion is set, performing shutdown"));
    EXPECT_TRUE(fileContains(trace_, "InitiateSystemShutdown invoked successfully"));
    EXPECT_EQ((DWORD)-2, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
}

TEST_F(Completion, test_final_popup_needs_its_switch)
{
    std::string marker = workDir() + "\\final_popup_off.txt";
    DeleteFileA(marker.c_str());
    setString(KVD_MAIN_KEY, VAL_COMPLETION_PROGRAM_PATH, testBin("record_args.exe") + " " + marker);
    showFinalPopup(0);
    setDword(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_ENABLED, 0);
    showFinalPopup(1);
    EXPECT_TRUE(fileContains(trace_, "Completion Popup not enabled"));
    EXPECT_TRUE(fileContains(trace_, "Shutdown Popup not enabled"));
    EXPECT_EQ("", waitForFile(marker, 1500)) << "nothing started";
}

TEST_F(Completion, test_final_popup_command_line_is_the_path_a_blank_and_the_type)
{
    std::string marker = workDir() + "\\final_popup_on.txt";
    DeleteFileA(marker.c_str());
    std::string program = testBin("record_args.exe") + " " + marker;
    setString(KVD_MAIN_KEY, VAL_COMPLETION_PROGRAM_PATH, program);
    setDword(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_ENABLED, 1);
    showFinalPopup(1);
    EXPECT_EQ(program + " 1", waitForFile(marker, 10000));

    DeleteFileA(marker.c_str());
    setDword(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_ENABLED, 1);
    showFinalPopup(0);
    EXPECT_EQ(program + " 0", waitForFile(marker, 10000));
}

TEST_F(Completion, test_final_popup_without_program_path_starts_nothing)
{
    setDword(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_ENABLED, 1);
    showFinalPopup(0);
    EXPECT_TRUE(fileContains(trace_, "Completion Program path not found"));
}

TEST_F(Completion, test_denied_logon_hand_over_is_written_and_cleared)
{
    showLoginDeniedPopUp(1, 0, NULL);
    EXPECT_EQ(0u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    std::string id = "sentinel";
    EXPECT_TRUE(getString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, &id));
    EXPECT_EQ("", id);

    showLoginDeniedPopUp(1, 1, "D7");
    EXPECT_EQ(1u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    EXPECT_TRUE(getString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, &id));
    EXPECT_EQ("D7", id);

    showLoginDeniedPopUp(0, 0, NULL);
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID));
    showLoginDeniedPopUp(0, 0, NULL);
    EXPECT_TRUE(fileContains(trace_, "error removing _popupType"));
}

}  // namespace

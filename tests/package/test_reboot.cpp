// Reboot during a plan: the machine restarts while an engine client runs; the
// persistent state carries the plan over, every start-up uses one of the
// start-up budget, and the 21st lifts the logon restriction.
//
// This program never loads the library itself: a "reboot" ends every process
// that holds the shared record, so each boot starts from a new, zeroed record.
#include "package_support.h"

#include <string>

using namespace kvdtest;
using namespace kvdlib;
using namespace kvdpkg;

namespace {

const DWORD WAIT_MS = 60000;

// One boot of the machine: the logon process starts, runs the steps, ends.
void boot(const std::string &steps)
{
    ProcessResult result = runProgram(logonStandin("startup " + steps), WAIT_MS);
    ASSERT_EQ(0u, result.exitCode) << result.out << result.err;
}

bool waitUntilRecorded(const std::string &distID)
{
    for (DWORD waited = 0; waited < WAIT_MS; waited += 100) {
        if (recordedPaused().count(distID) == 1)
            return true;
        Sleep(100);
    }
    return false;
}

class Reboot : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
        installUpcall(30);
        writeQueue({});
        removeNotifyFile();
        trace_ = enableTrace(1, "reboot.trc");
    }
    void TearDown() override
    {
        removeNotifyFile();
        RegistryTest::TearDown();
    }

    // The first boot: the logon process lives on while alice logs on and an
    // engine client starts a plan (limit 3) and has D1 paused; then the
    // machine goes down with the engine still running.
    void startPlanAndReboot()
    {
        HANDLE logonProcess = startProgram(logonStandin("startup sleep 600000"));
        ASSERT_TRUE(logonProcess != NULL);
        ProcessResult alice = runProgram(logonStandin("logon alice"), WAIT_MS);
        ASSERT_EQ(0u, alice.exitCode) << alice.out;
        HANDLE engine = startProgram(productBin("engine_standin.exe") +
                                     " --kind 1 --limit 3 --shutdown-disabled 1 --hold 600000 D1");
        ASSERT_TRUE(engine != NULL);
        bool recorded = waitUntilRecorded("D1");
        endProcess(engine);
        endProcess(logonProcess);
        ASSERT_TRUE(recorded) << "the engine's distribution was never paused";
    }

    std::string trace_;
};

TEST_F(Reboot, test_start_ups_count_down_the_start_up_budget_and_the_21st_lifts_the_restriction)
{
    startPlanAndReboot();
    EXPECT_EQ(3u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    // The plan began with no budget in force: nothing reset the start-up budget yet.
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    EXPECT_EQ(1u, dwordOf(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ(1u, dwordOf(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
    EXPECT_EQ((std::set<std::string>{"D1"}), pausedInQueue());

    // Start-up 1 finds nobody logged on in the new record: the resume loop resumes D1.
    boot("");
    EXPECT_EQ(19u, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    EXPECT_TRUE(pausedInQueue().empty());
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE));

    // Start-up 2: bob logs on (one logon of the budget; D1, still named in the
    // notify file, is paused) and off again (D1 resumed).
    boot("logon bob logoff bob");
    EXPECT_EQ(18u, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    EXPECT_EQ(2u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_TRUE(fileContains(trace_, "Content of notify file is 'D1'"));
    EXPECT_TRUE(pausedInQueue().empty());

    for (DWORD left = 17; left > 0; left--) {
        boot("");
        ASSERT_EQ(left, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    }
    boot("");   // the 20th start-up uses the last one
    EXPECT_EQ(0u, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    EXPECT_EQ(2u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "still restricted";
    EXPECT_FALSE(fileContains(trace_, "shutdownLeft=0 enabling logon and reset shutdownLeft"));

    boot("");   // the 21st
    EXPECT_EQ((DWORD)NO_PLAN_RUNNING, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_EQ(DEF_DEFAULT_SHUTDOWN_ALLOWED, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    EXPECT_TRUE(fileContains(trace_, "[W] updateMaxShutdownAllowed shutdownLeft=0 enabling logon and reset shutdownLeft"));
    // The plan ends as a recovery ends it: the client of the engine that went
    // down with the machine no longer keeps it counted.
    EXPECT_EQ(0u, dwordOf(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ(0u, dwordOf(KVD_POPCTL_KEY, VAL_IS_ACTIVE));

    // A 22nd start-up with no plan counts nothing.
    boot("");
    EXPECT_EQ(DEF_DEFAULT_SHUTDOWN_ALLOWED, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
}

TEST_F(Reboot, test_a_smaller_start_up_budget_and_logons_between_boots)
{
    setDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, 2);
    startPlanAndReboot();
    // Budget 3: carol and dave are allowed on the first boot, erin is refused on the second.
    boot("logon carol logoff carol logon dave logoff dave");
    EXPECT_EQ(1u, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT)) << "created with 2, one used";
    EXPECT_EQ(1u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    boot("logon frank logoff frank logon erin");
    EXPECT_EQ(0u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_EQ(0u, dwordOf(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "erin refused, budget used up";
    EXPECT_EQ(0u, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    // The third start-up lifts the restriction and refills the start-up
    // budget; erin is allowed (D1, still active in the queue, sets a new
    // budget from the queue's listing).
    boot("logon erin logoff erin");
    EXPECT_EQ(2u, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT));
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "erin allowed";
    EXPECT_TRUE(fileContains(trace_, "shutdownLeft=0 enabling logon and reset shutdownLeft"));
}

}  // namespace

// Tests of the distribution-engine API of the shipped library: pause requests, budgets, running clients.
#include "library_support.h"

#include <string>
#include <vector>

using namespace kvdtest;
using namespace kvdlib;

namespace {

const DWORD SENTINEL = 0xdeadbeef;

class EngineApi : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        fake_.install();
    }
    FakeUpcall fake_{"engine_api"};
};

TEST_F(EngineApi, test_switched_off_library_answers_0_and_still_counts_clients)
{
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 0);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    record()->_dwLoggedOn = 1;
    EXPECT_EQ(0, library().pauseMeIfNeeded("localhost", "D1", 1, 3, 1));
    EXPECT_EQ((DWORD)-2, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
    EXPECT_TRUE(fake_.calls().empty());

    library().increaseRunningClients("D1");
    library().increaseRunningClients("D2");
    EXPECT_EQ(2u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    library().decreaseRunningClients("D2");
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
}

TEST_F(EngineApi, test_nobody_logged_on_lets_the_distribution_run_and_sets_the_plan)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    EXPECT_EQ(2, library().pauseMeIfNeeded("localhost", "D1", 1, -1, 1));
    EXPECT_EQ((DWORD)-1, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_EQ(1u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
    EXPECT_TRUE(fake_.calls().empty()) << "no pause without users";
    EXPECT_TRUE(fileContains(trace_, "none is logged on the machine at the moment"));
}

struct BudgetCase {
    int budget;
    int kind;
    int limit;
    int expected;
};

TEST_F(EngineApi, test_a_later_plan_can_only_make_the_budget_stricter)
{
    const BudgetCase cases[] = {
        {-2, 1, -1, -1}, {-2, 3, 4, 4}, {3, 1, 5, 3}, {3, 1, 2, 2}, {-1, 1, 0, 0},
        {2, 1, -1, 2}, {-1, 3, -3, -1}, {3, 2, 0, 3}, {-2, 2, 4, -2},
        {-5, 1, 4, 4},   // every negative budget but -2 is unlimited
    };
    for (const BudgetCase &c : cases) {
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)c.budget);
        EXPECT_EQ(2, library().pauseMeIfNeeded("localhost", "D1", c.kind, c.limit, 0));
        EXPECT_EQ(c.expected, (int)dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED))
            << "budget " << c.budget << ", kind " << c.kind << ", limit " << c.limit;
    }
}

TEST_F(EngineApi, test_shutdown_disabled_flag_is_written_for_plan_kinds_only)
{
    setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 7);
    library().pauseMeIfNeeded("localhost", "D1", 1, 3, 0);
    EXPECT_EQ(7u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE)) << "a 0 is not written";
    library().pauseMeIfNeeded("localhost", "D1", 2, 3, 1);
    EXPECT_EQ(7u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE)) << "kind 2 leaves it alone";
    library().pauseMeIfNeeded("localhost", "D1", 3, 3, 1);
    EXPECT_EQ(1u, dword(KVD_POPCTL_KEY, VAL_IS_ACTIVE));
}

TEST_F(EngineApi, test_user_logged_on_asks_for_a_pause_whatever_its_outcome)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    record()->_dwLoggedOn = 1;
    fake_.answer(1);
    EXPECT_EQ(1, library().pauseMeIfNeeded("localhost", "D1", 1, 3, 0));
    EXPECT_TRUE(pausedQueue().empty());
    fake_.answer(0);
    EXPECT_EQ(1, library().pauseMeIfNeeded("ep1", "D2", 1, 5, 0));
    EXPECT_EQ((std::vector<std::string>{"ep1", "D2", "3"}), pausedQueue()) << "recorded with the budget in force";
    std::vector<std::string> calls = fake_.calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_NE(std::string::npos, calls[1].find("  -p D2 "));
}

TEST_F(EngineApi, test_shutdown_at_completion_waits_for_another_active_distribution)
{
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    record()->_shutdownWhenComplete = 1;
    fake_.answer(0, "D2 5\n");
    library().decreaseRunningClients("D1");
    EXPECT_EQ(0u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_FALSE(fileContains(trace_, "shutdownOnCompletion is set"));
    std::vector<std::string> calls = fake_.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_NE(std::string::npos, calls[0].find("  -l "));

    // Without the shutdown request the queue is not asked.
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    record()->_shutdownWhenComplete = 0;
    library().decreaseRunningClients("D1");
    EXPECT_EQ(1u, fake_.calls().size());
}

TEST_F(EngineApi, test_completion_message_after_the_last_client_when_nobody_is_logged_on)
{
    std::string marker = workDir() + "\\engine_final_popup.txt";
    DeleteFileA(marker.c_str());
    std::string program = testBin("record_args.exe") + " " + marker;
    setString(KVD_MAIN_KEY, VAL_COMPLETION_PROGRAM_PATH, program);
    setDword(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_ENABLED, 1);
    library().enableFinalPopup();

    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    record()->_dwLoggedOn = 1;
    library().decreaseRunningClients("D1");
    EXPECT_EQ(1, record()->_final_popup_enabled) << "kept while a user is logged on";

    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 2);
    record()->_dwLoggedOn = 0;
    library().decreaseRunningClients("D1");
    EXPECT_EQ(1, record()->_final_popup_enabled) << "kept while a client runs";

    library().decreaseRunningClients("D2");
    EXPECT_EQ(0, record()->_final_popup_enabled);
    EXPECT_EQ(program + " 0", waitForFile(marker, 10000));
}

}  // namespace

// Tests of the persistent logon-control state: the logon budget, the start-up budget,
// the pause-error switch and the notify file, against the real registry and file system.
#include "test_support.h"
#include "utils.h"
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>

using namespace kvdtest;

namespace {

const DWORD SENTINEL = 0xdeadbeef;
const char NOTIFY_FILE[] = "__KVD_notification_distid_file__";

class State : public RegistryTest {
protected:
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
        DeleteFileA(windowsDirFile(NOTIFY_FILE).c_str());
    }
    std::string traceOn(const char *name)
    {
        std::string path = enableTrace(2, name);
        TRACE_INITIALIZE();
        return path;
    }
    static int storedBudget()
    {
        DWORD value = SENTINEL;
        EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &value)) << "budget not stored as a DWORD";
        return (int)value;
    }
    static DWORD storedLeft()
    {
        DWORD value = SENTINEL;
        EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, &value)) << "start-ups left not stored";
        return value;
    }
    static void setBudget(int budget)
    {
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)budget);
    }
};

// One row of the budget table: what a logon check returns and leaves behind.
struct BudgetCase {
    const char *stored;   // null: missing, "string": a REG_SZ, else a number
    int read;
    int runningPlan;
    int logonAllowed;
    int left;
};

void storeBudgetCase(const BudgetCase &row)
{
    if (row.stored == NULL)
        return;
    if (strcmp(row.stored, "string") == 0)
        setString(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, "3");
    else
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)atoi(row.stored));
}

TEST_F(State, test_budget_table)
{
    const BudgetCase rows[] = {
        {NULL, -2, 0, 1, -2}, {"string", -2, 0, 1, -2}, {"3", 3, 1, 1, 2},
        {"1", 1, 1, 1, 0},    {"0", 0, 1, 0, 0},         {"-1", -1, 1, 1, -1},
    };
    for (const BudgetCase &row : rows) {
        const char *name = row.stored ? row.stored : "missing";
        removeValue(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED);
        storeBudgetCase(row);
        EXPECT_EQ(row.read, readOrResetLogonBudget()) << name;
        EXPECT_EQ(row.read, storedBudget()) << name << ": the default is written back as a DWORD";
        EXPECT_EQ(row.runningPlan, isPlanRunning()) << name;
        EXPECT_EQ(row.logonAllowed, useOneLogon()) << name;
        EXPECT_EQ(row.left, storedBudget()) << name;
        EXPECT_EQ(row.left, readOrResetLogonBudget()) << name;
    }
}

TEST_F(State, test_logon_check_traces_its_budget)
{
    std::string trace = traceOn("logon_check.log");
    setBudget(3);
    EXPECT_EQ(1, useOneLogon());
    setBudget(0);
    EXPECT_EQ(0, useOneLogon());
    EXPECT_EQ(1, isPlanRunning());
    EXPECT_TRUE(fileContains(trace, "[I] checkMaxAllowedLogin current max_login_allowed=3"));
    EXPECT_TRUE(fileContains(trace, "[I] checkMaxAllowedLogin set max_login_allowed to = 2"));
    EXPECT_TRUE(fileContains(trace, "[I] checkMaxAllowedLogin current max_login_allowed=0"));
    EXPECT_TRUE(fileContains(trace, "[I] checkMaxAllowedLogin return data = 0"));
    EXPECT_TRUE(fileContains(trace, "[I] checkRunningDistribution return data = 1"));
}

// Every call reads the registry again: a change made by another writer is seen at once.
TEST_F(State, test_budget_is_read_afresh_at_every_call)
{
    setBudget(5);
    EXPECT_EQ(5, readOrResetLogonBudget());
    setBudget(-2);
    EXPECT_EQ(0, isPlanRunning());
    setMaxLoginAllowed(7);
    EXPECT_EQ(7, storedBudget());
    setMaxLoginAllowed(-1);
    EXPECT_EQ(-1, storedBudget());
}

TEST_F(State, test_startup_without_restriction_touches_nothing)
{
    for (int budget : {-2, -1}) {
        setBudget(budget);
        removeValue(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT);
        updateMaxShutdownAllowed(0);
        EXPECT_EQ(budget, storedBudget());
        EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT)) << budget;
        EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED)) << budget;

        setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 0);
        updateMaxShutdownAllowed(0);
        updateMaxShutdownAllowed(1);
        EXPECT_EQ(budget, storedBudget());
        EXPECT_EQ(0u, storedLeft()) << budget;
    }
}

TEST_F(State, test_startup_with_budget_0_and_nothing_stored_creates_then_counts)
{
    std::string trace = traceOn("startup_counts.log");
    setBudget(0);
    updateMaxShutdownAllowed(0);
    DWORD defaultNum = SENTINEL;
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, &defaultNum));
    EXPECT_EQ(20u, defaultNum);
    EXPECT_EQ(19u, storedLeft());
    EXPECT_EQ(0, storedBudget());
    EXPECT_TRUE(fileContains(trace, "[E] getCurrentShutdownLeft error retrieving '_currShutdownLeft'"));
    EXPECT_TRUE(fileContains(trace, "[I] getCurrentShutdownLeft setting to value 20"));
    EXPECT_TRUE(fileContains(trace, "[I] updateMaxShutdownAllowed shutdownLeft = 20"));

    // A configured size is used as it stands.
    removeValue(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT);
    setDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, 3);
    updateMaxShutdownAllowed(0);
    EXPECT_EQ(2u, storedLeft());
}

TEST_F(State, test_startup_with_none_left_lifts_the_restriction)
{
    std::string trace = traceOn("startup_lifts.log");
    setBudget(2);
    setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 0);
    updateMaxShutdownAllowed(0);
    EXPECT_EQ(-2, storedBudget());
    EXPECT_EQ(20u, storedLeft());
    EXPECT_TRUE(fileContains(trace, "[W] updateMaxShutdownAllowed shutdownLeft=0 enabling logon and reset shutdownLeft"));

    setBudget(0);
    setDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, 4);
    setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 0);
    updateMaxShutdownAllowed(0);
    EXPECT_EQ(-2, storedBudget());
    EXPECT_EQ(4u, storedLeft());
}

TEST_F(State, test_21st_startup_after_a_reset_lifts_the_restriction)
{
    setBudget(0);
    setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 3);
    updateMaxShutdownAllowed(1);
    EXPECT_EQ(20u, storedLeft());
    for (int startup = 1; startup <= 20; startup++) {
        updateMaxShutdownAllowed(0);
        ASSERT_EQ(0, storedBudget()) << "start-up " << startup;
        ASSERT_EQ((DWORD)(20 - startup), storedLeft()) << "start-up " << startup;
    }
    updateMaxShutdownAllowed(0);
    EXPECT_EQ(-2, storedBudget());
    EXPECT_EQ(20u, storedLeft());
}

TEST_F(State, test_shutdown_settings_defaults_are_written_back)
{
    setString(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, "7");
    EXPECT_EQ(20u, readStartUpBudget());
    DWORD stored = SENTINEL;
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, &stored));
    EXPECT_EQ(20u, stored);

    setDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, 9);
    EXPECT_EQ(9u, readOrResetStartUpsLeft());
    EXPECT_EQ(9u, storedLeft());
    setCurrentShutdownLeft(4);
    EXPECT_EQ(4u, readOrResetStartUpsLeft());
}

TEST_F(State, test_deny_on_pause_error_switch)
{
    std::string trace = traceOn("deny_switch.log");
    EXPECT_EQ(1, denyLogonOnPauseError());
    DWORD stored = SENTINEL;
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_DENY_LOGON_ON_PAUSE_ERROR, &stored));
    EXPECT_EQ(1u, stored);
    EXPECT_TRUE(fileContains(trace, "[E] denyLogonOnPauseError Error retrieving denyLogonOnPauseError status, "
                                    "may be key is missing... try to create it"));
    setDword(KVD_MAIN_KEY, VAL_DENY_LOGON_ON_PAUSE_ERROR, 0);
    EXPECT_EQ(0, denyLogonOnPauseError());
    EXPECT_TRUE(fileContains(trace, "[I] denyLogonOnPauseError return data = 0"));
}

// Without the main key nothing can be stored: every read gives its default.
TEST_F(State, test_missing_key_behaves_as_no_plan)
{
    deleteKeys();
    EXPECT_EQ(-2, readOrResetLogonBudget());
    EXPECT_EQ(0, isPlanRunning());
    EXPECT_EQ(1, useOneLogon());
    EXPECT_EQ(1, denyLogonOnPauseError());
    EXPECT_EQ(20u, readStartUpBudget());
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    createKeys();
}

void writeNotifyFile(const std::string &content)
{
    HANDLE file = CreateFileA(windowsDirFile(NOTIFY_FILE).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    DWORD written = 0;
    BOOL ok = WriteFile(file, content.data(), (DWORD)content.size(), &written, NULL);
    CloseHandle(file);
    ASSERT_TRUE(ok);
    ASSERT_EQ(content.size(), written);
}

std::string runningDistribution(bool *isNull)
{
    char *text = retrieveRunningDistribution();
    *isNull = text == NULL;
    std::string result = text != NULL ? text : "";
    free(text);
    return result;
}

TEST_F(State, test_notify_file_missing_gives_null)
{
    std::string trace = traceOn("notify_missing.log");
    DeleteFileA(windowsDirFile(NOTIFY_FILE).c_str());
    bool isNull = false;
    runningDistribution(&isNull);
    EXPECT_TRUE(isNull);
    EXPECT_TRUE(fileContains(trace, "[W] retrieveRunningDistribution unable to open '" +
                                        windowsDirFile(NOTIFY_FILE) + "' error 2"));
    EXPECT_TRUE(fileContains(trace, "[I] retrieveRunningDistribution exiting NULL"));
}

TEST_F(State, test_notify_file_content_ends_at_its_line_end_and_trailing_blanks)
{
    std::string trace = traceOn("notify_content.log");
    bool isNull = true;
    writeNotifyFile("");
    EXPECT_EQ("", runningDistribution(&isNull));
    EXPECT_FALSE(isNull) << "an empty file gives an empty text";

    writeNotifyFile("1234567.dist\r\n");
    EXPECT_EQ("1234567.dist", runningDistribution(&isNull));
    EXPECT_TRUE(fileContains(trace, "[I] retrieveRunningDistribution Content of notify file is '1234567.dist'"));
    writeNotifyFile("D 9 \t\nsecond line");
    EXPECT_EQ("D 9", runningDistribution(&isNull)) << "inner blanks stay";

    std::string long300;
    for (int i = 0; i < 300; i++)
        long300 += (char)('a' + i % 26);
    writeNotifyFile(long300);
    std::string got = runningDistribution(&isNull);
    EXPECT_EQ(200u, got.size());
    EXPECT_EQ(long300.substr(0, 200), got);
}

// However a plan ends, each state value is left as its row says (ntfcfg -r by
// its recovery column), and the plan's values read the same all three ways.
struct PlanEnding {
    const char *how;
    plan_ending column;
    void (*end)();
};

TEST_F(State, test_three_ways_of_ending_a_plan_give_one_result)
{
    const PlanEnding ways[] = {
        {"last client", PLAN_ENDED, [] { EXPECT_EQ(0u, changeRunningClients(-1, 0)); }},
        {"start-up lift", PLAN_ENDED,
         [] {
             setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 0);
             updateMaxShutdownAllowed(0);
         }},
        {"ntfcfg -r", PLAN_RECOVERED,
         [] { EXPECT_EQ(0u, runProgram(productBin("ntfcfg.exe") + " -r").exitCode); }},
    };
    for (const PlanEnding &way : ways) {
        setDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, 7);
        setBudget(2);
        setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
        setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
        setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 5);
        ASSERT_TRUE(addToPersistentPausedList("ep", "D1", 2));
        showLoginDeniedPopUp(1, 1, "D1");
        way.end();
        for (const state_row &row : STATE) {
            state_action action = way.column == PLAN_RECOVERED ? row.recovered : row.ended;
            DWORD value = SENTINEL;
            EXPECT_EQ(action != STATE_REMOVED, valueExists(row.key, row.name)) << way.how << ": " << row.name;
            if (action == STATE_WRITTEN || action == STATE_RESTARTED) {
                EXPECT_TRUE(getDword(row.key, row.name, &value)) << way.how << ": " << row.name;
                EXPECT_EQ(action == STATE_WRITTEN ? row.value : 7u, value) << way.how << ": " << row.name;
            }
        }
        DWORD clients = SENTINEL, active = SENTINEL;
        getDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, &clients);
        getDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, &active);
        EXPECT_EQ(0u, clients) << way.how;
        EXPECT_EQ(0u, active) << way.how;
        EXPECT_EQ(0, isPlanRunning()) << way.how;
        EXPECT_EQ(7u, readOrResetStartUpsLeft()) << way.how << ": the next plan counts its start-ups afresh";
    }
}

}  // namespace

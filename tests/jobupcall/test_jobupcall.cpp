// test_jobupcall: jobupcall started by the library's runner: caller check, options, filter, listings, control, faults.
#include "upcall_endpoint.h"
#include "KVDnotificationLibrary.h"

using namespace upcalltest;

static const DWORD REFUSED = 0xffffffff;
static const char NOT_AUTHORIZED[] = "You are not authorized to run this program...\n";

// ---- caller check ----

TEST_F(UpcallTest, test_direct_run_is_refused_whatever_the_arguments)
{
    writeQueue({myJob("D1", 0)});
    for (const char *arguments : {"", "-l", "-L", "-x", "-t 30 -l", "-p D1", "-P"}) {
        UpcallResult run = runUpcallDirectly(arguments);
        EXPECT_EQ(REFUSED, run.exitCode) << "arguments '" << arguments << "'";
        EXPECT_EQ(NOT_AUTHORIZED, run.err) << "arguments '" << arguments << "'";
        EXPECT_EQ("", run.out) << "no usage text for '" << arguments << "'";
    }
    EXPECT_EQ(myJob("D1", 0) + "\r\n", readQueue()) << "a refused -p or -P changes nothing";
}

TEST_F(UpcallTest, test_run_is_refused_when_the_shared_code_names_another_process)
{
    writeQueue({myJob("D1", 0)});
    shareData->_upcallCode = GetCurrentProcessId();
    UpcallResult run = runUpcallDirectly("-l");
    shareData->_upcallCode = 0;
    EXPECT_EQ(REFUSED, run.exitCode);
    EXPECT_EQ(NOT_AUTHORIZED, run.err);
    EXPECT_EQ("", run.out);
}

TEST_F(UpcallTest, test_run_by_the_library_passes_the_check)
{
    writeQueue({myJob("D1", 0)});
    UpcallResult run = runUpcall("-l");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("D1 0\n", run.out);
    EXPECT_EQ("", run.err);
}

// ---- option scanning ----

TEST_F(UpcallTest, test_timeout_and_list_print_one_line)
{
    writeQueue({myJob("D1", 0, "SW_MAX_LOGIN_ALLOWED:l=3")});
    UpcallResult run = runUpcall("-t 120 -l", {"XEP_TRACE_LEVEL=4"});
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("D1 3\n", run.out);
    EXPECT_TRUE(traceContains(" [I] jobupcall timeout=120\n"));
    EXPECT_TRUE(traceContains(" [I] mobile_get_queue setting upcall timeout to 120\n"));

    writeQueue({myJob("D1", 6)});
    run = runUpcall("-t 120 -l");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.out) << "no active job of this package";
}

TEST_F(UpcallTest, test_last_operation_letter_wins)
{
    writeQueue({myJob("A1", 0), myJob("P1", 1)});
    UpcallResult run = runUpcall("-l -L");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("P1", run.out);
}

TEST_F(UpcallTest, test_unknown_letter_prints_usage_and_a_later_operation_runs)
{
    writeQueue({myJob("A1", 0)});
    UpcallResult run = runUpcall("-x -l");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(usageText() + "A1 0\n", run.out);

    run = runUpcall("-l -x");
    EXPECT_EQ(REFUSED, run.exitCode);
    EXPECT_EQ(usageText(), run.out);
}

TEST_F(UpcallTest, test_missing_argument_prints_usage)
{
    writeQueue({myJob("A1", 0)});
    UpcallResult run = runUpcall("-p");
    EXPECT_EQ(REFUSED, run.exitCode);
    EXPECT_EQ(usageText(), run.out);
    EXPECT_EQ(myJob("A1", 0) + "\r\n", readQueue());
}

TEST_F(UpcallTest, test_timeout_that_is_not_a_number_keeps_the_runtime_timeout)
{
    writeQueue({myJob("A1", 0)});
    UpcallResult run = runUpcall("-t abc -l", {"XEP_TRACE_LEVEL=4"});
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("A1 0\n", run.out);
    EXPECT_TRUE(traceContains(" [I] jobupcall timeout=0\n"));
    EXPECT_FALSE(traceContains("setting upcall timeout"));
}

TEST_F(UpcallTest, test_no_operation_exits_refused_without_output)
{
    writeQueue({myJob("A1", 0)});
    for (const char *arguments : {"-t 30", "foo -l", "-- -l"}) {
        UpcallResult run = runUpcall(arguments);
        EXPECT_EQ(REFUSED, run.exitCode) << arguments;
        EXPECT_EQ("", run.out) << arguments;
        EXPECT_EQ("", run.err) << arguments;
    }
}

TEST_F(UpcallTest, test_grouped_letters_take_the_rest_as_argument)
{
    writeQueue({myJob("A1", 0)});
    UpcallResult run = runUpcall("-lt30", {"XEP_TRACE_LEVEL=4"});
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("A1 0\n", run.out);
    EXPECT_TRUE(traceContains(" [I] jobupcall timeout=30\n"));
}

TEST_F(UpcallTest, test_no_arguments_print_usage)
{
    UpcallResult run = runUpcall("");
    EXPECT_EQ(REFUSED, run.exitCode);
    EXPECT_EQ(usageText(), run.out);
}

// ---- filter and listings ----

TEST_F(UpcallTest, test_jobs_of_other_applications_are_not_listed)
{
    writeQueue({"dist_id:s=O1 app_id:s=Other state:h=0 SW_CONCURRENT_LOGIN_ALLOWED:l=1",
                "dist_id:s=O2 app_id:s=palvento state:h=1 SW_CONCURRENT_LOGIN_ALLOWED:l=1",
                "dist_id:s=O3 state:h=0 SW_CONCURRENT_LOGIN_ALLOWED:l=1"});
    for (const char *arguments : {"-l", "-L"}) {
        UpcallResult run = runUpcall(arguments);
        EXPECT_EQ(0u, run.exitCode) << arguments;
        EXPECT_EQ("", run.out) << arguments;
    }
}

TEST_F(UpcallTest, test_state_decides_which_listing_shows_a_job)
{
    struct {
        const char *state;
        bool active, paused;
    } cases[] = {{"state:h=0", true, false}, {"state:h=1", false, true}, {"state:h=2", true, false},
                 {"state:h=5", true, false}, {"state:h=6", false, false}, {"state:h=9", false, false},
                 {"state:h=-1", true, false}, {"", false, false}};
    for (const auto &c : cases) {
        writeQueue({std::string("dist_id:s=J app_id:s=Palvento SW_CONCURRENT_LOGIN_ALLOWED:l=1 ") + c.state});
        EXPECT_EQ(c.active ? "J 0\n" : "", runUpcall("-l").out) << "'" << c.state << "'";
        EXPECT_EQ(c.paused ? "J" : "", runUpcall("-L").out) << "'" << c.state << "'";
    }
}

TEST_F(UpcallTest, test_jobs_without_concurrent_login_are_not_listed)
{
    for (const char *flag : {"SW_CONCURRENT_LOGIN_ALLOWED:l=0", ""}) {
        writeQueue({std::string("dist_id:s=A app_id:s=Palvento state:h=0 ") + flag,
                    std::string("dist_id:s=P app_id:s=Palvento state:h=1 ") + flag});
        EXPECT_EQ("", runUpcall("-l").out) << "'" << flag << "'";
        EXPECT_EQ("", runUpcall("-L").out) << "'" << flag << "'";
    }
}

TEST_F(UpcallTest, test_login_limit_over_active_jobs)
{
    struct {
        const char *first, *second;
        const char *expected;
    } cases[] = {{"SW_MAX_LOGIN_ALLOWED:l=5", "SW_MAX_LOGIN_ALLOWED:l=2", "D1 2\n"},
                 {"SW_MAX_LOGIN_ALLOWED:l=-1", "SW_MAX_LOGIN_ALLOWED:l=2", "D1 -1\n"},
                 {"", "SW_MAX_LOGIN_ALLOWED:l=7", "D1 7\n"},
                 {"", "", "D1 0\n"}};
    for (const auto &c : cases) {
        writeQueue({myJob("D1", 0, c.first), myJob("D2", 3, c.second)});
        UpcallResult run = runUpcall("-l");
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ(c.expected, run.out) << "'" << c.first << "' then '" << c.second << "'";
    }
}

TEST_F(UpcallTest, test_paused_listing_keeps_queue_order_with_commas)
{
    writeQueue({myJob("P3", 1), myJob("A1", 0), "dist_id:s=X app_id:s=Other state:h=1 SW_CONCURRENT_LOGIN_ALLOWED:l=1",
                myJob("P1", 1), myJob("F1", 7), myJob("P2", 1)});
    UpcallResult run = runUpcall("-L");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("P3,P1,P2", run.out) << "no blanks, no newline at the end";
}

// ---- pause and resume ----

TEST_F(UpcallTest, test_empty_pause_list_does_nothing)
{
    writeQueue({myJob("A1", 0)});
    UpcallResult run = runUpcall("-p \"\"", {"XEP_TRACE_LEVEL=4"});
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(myJob("A1", 0) + "\r\n", readQueue());
    EXPECT_FALSE(traceContains("control_jobs")) << "no control request was sent";
}

TEST_F(UpcallTest, test_pause_list_items_are_taken_as_they_stand)
{
    writeQueue({myJob("a", 0), myJob("b", 2)});
    UpcallResult run = runUpcall("-p a,,b", {"XEP_TRACE_LEVEL=4"});
    EXPECT_EQ(4u, run.exitCode) << "the empty middle item names no job";
    EXPECT_EQ("", run.out) << "the failed list holds one empty ID";
    EXPECT_EQ("Error: Some distributions failed!\n", run.err);
    EXPECT_EQ(myJob("a", 1) + "\r\n" + myJob("b", 1) + "\r\n", readQueue());
    EXPECT_TRUE(traceContains("control_jobs type 2: 3 entries, 1 failed"));
}

TEST_F(UpcallTest, test_failed_jobs_are_reported_with_exit_code_4)
{
    writeQueue({myJob("R1", 1), myJob("A1", 0), myJob("R2", 1)});
    UpcallResult run = runUpcall("-r R1,NOSUCH,A1,R2");
    EXPECT_EQ(4u, run.exitCode);
    EXPECT_EQ("NOSUCH,A1", run.out);
    EXPECT_EQ("Error: Some distributions failed!\n", run.err);
    EXPECT_EQ(myJob("R1", 0) + "\r\n" + myJob("A1", 0) + "\r\n" + myJob("R2", 0) + "\r\n", readQueue());

    run = runUpcall("-p R1,R2");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(myJob("R1", 1) + "\r\n" + myJob("A1", 0) + "\r\n" + myJob("R2", 1) + "\r\n", readQueue());
}

TEST_F(UpcallTest, test_pause_all_and_resume_all_act_on_every_job)
{
    std::string other = "dist_id:s=O1 app_id:s=Other state:h=3";
    writeQueue({myJob("A1", 0), other, myJob("F1", 7)});
    UpcallResult run = runUpcall("-P");
    EXPECT_EQ(4u, run.exitCode) << "the finished job cannot be paused";
    EXPECT_EQ("F1", run.out);
    EXPECT_EQ(myJob("A1", 1) + "\r\n" + "dist_id:s=O1 app_id:s=Other state:h=1\r\n" + myJob("F1", 7) + "\r\n",
              readQueue());

    writeQueue({myJob("A1", 1), "dist_id:s=O1 app_id:s=Other state:h=1"});
    run = runUpcall("-R");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(myJob("A1", 0) + "\r\n" + "dist_id:s=O1 app_id:s=Other state:h=0\r\n", readQueue());
}

// ---- runtime faults ----

TEST_F(UpcallTest, test_read_exception_fails_the_listings)
{
    writeQueue({myJob("A1", 0), "!fail-read Queue database is offline"});
    for (const char *arguments : {"-l", "-L"}) {
        UpcallResult run = runUpcall(arguments);
        EXPECT_EQ(1u, run.exitCode) << arguments;
        EXPECT_EQ("", run.out) << arguments;
        EXPECT_EQ("Exception: Queue database is offline\n", run.err) << arguments;
    }
}

TEST_F(UpcallTest, test_read_timeout_in_listing_exits_2)
{
    writeQueue({myJob("A1", 0), "!slow-read 30"});
    DWORD start = GetTickCount();
    UpcallResult run = runUpcall("-t 1 -l", {"XEP_TRACE_LEVEL=2"});
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(2u, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("Exception: Korvo2Queue: get_jobs did not complete within 1 s\n", run.err);
    EXPECT_TRUE(traceContains(" [E] mobile_get_queue ERROR: Timeout\n"));
    EXPECT_GE(elapsed, 900u) << "the runtime waited for its timeout";
    EXPECT_LT(elapsed, 20000u) << "and not for the whole delay";
}

TEST_F(UpcallTest, test_slow_read_within_the_timeout_succeeds)
{
    writeQueue({myJob("A1", 0), "!slow-read 1"});
    UpcallResult run = runUpcall("-t 10 -l");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("A1 0\n", run.out);
    EXPECT_EQ("", run.err);
}

TEST_F(UpcallTest, test_read_exception_with_pause_all_exits_0)
{
    writeQueue({myJob("A1", 0), "!fail-read Queue database is offline"});
    UpcallResult run = runUpcall("-P");
    EXPECT_EQ(0u, run.exitCode) << "-P goes on with the empty sequence the failed read left";
    EXPECT_EQ("", run.out);
    EXPECT_EQ("Exception: Queue database is offline\n", run.err);
    EXPECT_EQ(myJob("A1", 0) + "\r\n!fail-read Queue database is offline\r\n", readQueue());
}

TEST_F(UpcallTest, test_control_exception_exits_1)
{
    writeQueue({myJob("A1", 0), "!fail-control Engine busy"});
    UpcallResult run = runUpcall("-p A1", {"XEP_TRACE_LEVEL=2"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("Exception: Engine busy\n", run.err);
    EXPECT_TRUE(traceContains(
        " [E] mobile_control_jobs EXCEPTION after t_MobileEngine_Korvo2Queue_control_jobs: Engine busy\n"));

    writeQueue({myJob("A1", 0), "!slow-control 30"});
    run = runUpcall("-t 1 -r A1");
    EXPECT_EQ(1u, run.exitCode) << "a control timeout is not told apart";
    EXPECT_EQ("Exception: Korvo2Queue: control_jobs did not complete within 1 s\n", run.err);
}

TEST_F(UpcallTest, test_exception_of_another_type_is_handed_on)
{
    writeQueue({myJob("A1", 0), "!fault-read Injected fault"});
    UpcallResult run = runUpcall("-l");
    EXPECT_EQ(3u, run.exitCode) << "the runtime ends a process whose exception no frame accepts";
    EXPECT_EQ("", run.out);
    EXPECT_EQ("Unhandled exception Fault.ExInjected: Injected fault\n", run.err);
}

// ---- trace ----

TEST_F(UpcallTest, test_trace_levels_and_tags)
{
    writeQueue({"dist_id:s=O1 app_id:s=Other state:h=0", myJob("A1", 0)});
    runUpcall("-l", {"XEP_TRACE_LEVEL=5"});
    std::string trace = readTrace();
    for (const char *line : {" [I] jobupcall >>>> ENTRY >>>>> \n", " [I] listDistributions >>>> ENTRY >>>>> \n",
                             " [I] verifyIsMine not Palvento dist!\n", " [I] verifyIsMine current state is = 0\n",
                             " [I] retrieveMyDistributions mobile_get_queue returned 0, 2 elements\n",
                             " [I] retrieveMyDistributions discarding job at 0\n",
                             " [I] listDistributions max_login_allowed 0\n",
                             " [I] listDistributions at least one job is present\n",
                             " [I] jobupcall return data = 0\n", " [I] jobupcall <<<<< EXIT <<<<<\n"})
        EXPECT_NE(std::string::npos, trace.find(line)) << "missing '" << line << "' in\n" << trace;

    DeleteFileA(tracePath().c_str());
    runUpcall("-l", {"XEP_TRACE_LEVEL=4"});
    trace = readTrace();
    EXPECT_NE(std::string::npos, trace.find("at least one job is present"));
    EXPECT_EQ(std::string::npos, trace.find("ENTRY")) << "entries need level 5";
    EXPECT_EQ(std::string::npos, trace.find("return data")) << "return data needs level 5";

    DeleteFileA(tracePath().c_str());
    runUpcall("-l", {"XEP_TRACE_LEVEL=5", "XEP_TRACE_TAGS=queue"});
    trace = readTrace();
    EXPECT_NE(std::string::npos, trace.find(" [I] Korvo2Queue get_jobs: 2 jobs\n"));
    EXPECT_EQ(std::string::npos, trace.find("jobupcall")) << "the program traces under the tag common";

    DeleteFileA(tracePath().c_str());
    runUpcall("-l");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(tracePath().c_str())) << "level 0 writes no file";
}

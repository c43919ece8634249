// The Application event log: the events the shipped library writes when the
// logon stand-in drives it (read from Wine's event log stub), their sentences
// from the library's message table, and the limit on repeating faults.
#include "library_support.h"
#include "event_log.h"

#include <algorithm>

using namespace kvdtest;
using namespace kvdlib;

namespace {

const std::string LIBRARY = productBin("KVDnotificationLibrary.dll");

// The event of id among events: of its type, with the inserts; its sentence holds the words.
void expectEvent(const std::vector<LoggedEvent> &events, DWORD id, WORD type, const std::vector<std::string> &inserts,
                 const std::string &words)
{
    auto found = std::find_if(events.begin(), events.end(), [&](const LoggedEvent &e) { return e.id == id; });
    ASSERT_TRUE(found != events.end()) << "not written: " << std::hex << id;
    EXPECT_EQ(type, found->type) << std::hex << id;
    EXPECT_EQ(inserts, found->inserts) << std::hex << id;
    std::string sentence = formatEvent(LIBRARY, id, found->inserts);
    EXPECT_NE(std::string::npos, sentence.find(words)) << sentence;
}

class EventLog : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        fake_.install();
    }
    FakeUpcall fake_{"event_log"};
};

TEST_F(EventLog, test_refused_logon_names_user_session_popup_type_and_distribution)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 0);
    writeNotifyFile("D7");
    record()->_dwLoggedOn = 1;
    std::vector<LoggedEvent> events = runLoggingEvents(logonStandin("logon bob"));
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::string reason = "no logons are left in the plan's budget (deny popup type 0)";
    expectEvent(events, KVD_EVENT_LOGON_REFUSED, EVENTLOG_WARNING_TYPE,
                {"WORKGROUP\\bob", std::to_string(session), reason, "D7"},
                "The logon of user WORKGROUP\\bob (session " + std::to_string(session) + ") was refused: " + reason +
                    ". Distribution: D7.");
    EXPECT_EQ(1u, events.size());
}

TEST_F(EventLog, test_pause_at_a_logon_and_resume_at_the_logoff)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
    writeNotifyFile("D1");
    fake_.answer(0);
    std::vector<LoggedEvent> events = runLoggingEvents(logonStandin("logon alice logoff alice"));
    ASSERT_EQ(2u, events.size());
    expectEvent(events, KVD_EVENT_DISTRIBUTION_PAUSED, EVENTLOG_INFORMATION_TYPE, {"D1", "2"},
                "Distribution D1 was paused because a user is logged on; it is resumed once nobody is logged on. "
                "Logons left in the plan's budget: 2.");
    expectEvent(events, KVD_EVENT_DISTRIBUTIONS_RESUMED, EVENTLOG_INFORMATION_TYPE, {"D1"},
                "Nobody is logged on: the paused distributions D1 were resumed");
}

TEST_F(EventLog, test_start_up_budget_lifts_the_restriction_and_ends_the_plan)
{
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 1);
    setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 0);
    setDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, 4);
    std::vector<LoggedEvent> events = runLoggingEvents(logonStandin("startup"));
    ASSERT_EQ(2u, events.size());
    expectEvent(events, KVD_EVENT_RESTRICTION_LIFTED, EVENTLOG_WARNING_TYPE, {"4"},
                "The logon restriction was lifted: the machine started 4 times");
    expectEvent(events, KVD_EVENT_PLAN_ENDED, EVENTLOG_INFORMATION_TYPE, {},
                "The distribution plan ended: logons on this machine are no longer counted or refused.");
}

TEST_F(EventLog, test_upcall_ended_at_its_deadline_is_an_error)
{
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, "KVDFakeUpcallRelease");
    fake_.hang();
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, 1);   // the child is ended after 2 x 1 + 5 seconds
    std::vector<LoggedEvent> events = runLoggingEvents(logonStandin("logon alice"));
    SetEvent(release);
    CloseHandle(release);
    ASSERT_EQ(1u, events.size());
    std::string cmdLine = fake_.calls().at(0);   // as the library ran it
    expectEvent(events, KVD_EVENT_UPCALL_DEADLINE, EVENTLOG_ERROR_TYPE, {cmdLine, "7"},
                "The upcall program did not end within 7 seconds and was ended: " + cmdLine);
}

// Compiled in: the resume loop's failure every 60 seconds is written once, and
// again only when it changes, after a decision, or an hour later.
TEST(EventRepeats, test_a_repeating_fault_is_written_at_most_once_an_hour_while_unchanged)
{
    EXPECT_EQ(1, eventResumeFailed(NULL, "D1"));
    EXPECT_EQ(0, eventResumeFailed(NULL, "D1")) << "the next attempt, unchanged";
    EXPECT_EQ(1, eventLockCeiling(50000)) << "another fault";
    EXPECT_EQ(0, eventResumeFailed(NULL, "D1")) << "another fault in between changes nothing";
    EXPECT_EQ(1, eventResumeFailed(NULL, "D1,D2")) << "changed";
    eventLogTestHookAge(EVENT_REPEAT_INTERVAL_MS - 60000);
    EXPECT_EQ(0, eventResumeFailed(NULL, "D1,D2")) << "59 minutes later";
    eventLogTestHookAge(60000);
    EXPECT_EQ(1, eventResumeFailed(NULL, "D1,D2")) << "an hour later";
    EXPECT_EQ(1, eventPlanBudget(NO_PLAN_RUNNING, 3));
    EXPECT_EQ(1, eventPlanBudget(NO_PLAN_RUNNING, 3)) << "decisions are never held back";
    EXPECT_EQ(1, eventResumeFailed(NULL, "D1,D2")) << "after a decision";
}

TEST(EventMessages, test_every_event_has_a_sentence_in_the_library)
{
    for (DWORD id : {KVD_EVENT_PLAN_STARTED, KVD_EVENT_PLAN_ENDED, KVD_EVENT_DISTRIBUTION_PAUSED,
                     KVD_EVENT_DISTRIBUTIONS_RESUMED, KVD_EVENT_LOGON_REFUSED, KVD_EVENT_RESUME_FAILED,
                     KVD_EVENT_SHUTDOWN_AT_COMPLETION, KVD_EVENT_RESTRICTION_LIFTED, KVD_EVENT_LOCK_CEILING,
                     KVD_EVENT_LOCK_ABANDONED, KVD_EVENT_UPCALL_DEADLINE, KVD_EVENT_FAULT_CONTAINED})
        EXPECT_GT(formatEvent(LIBRARY, id, {"A", "B", "C", "D"}).size(), 60u) << std::hex << id;
    EXPECT_EQ("The object Global\\KVDNotificationFileMap is not owned by a trusted account (SYSTEM or "
              "Administrators), so the library does not use it: another program may have created it to "
              "interfere with logon control.",
              formatEvent(LIBRARY, KVD_EVENT_OBJECT_NOT_TRUSTED, {SHARED_MEMORY_NAME}));
}

}  // namespace

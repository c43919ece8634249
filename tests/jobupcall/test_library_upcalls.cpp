// test_library_upcalls: the library's upcall client asking the real jobupcall about the substitute queue.
#include "upcall_endpoint.h"
#include "upcalls.h"
#include "KVDnotificationLibrary.h"

#include <stdlib.h>

using namespace upcalltest;

// The upcall settings point at the endpoint; the library builds the child's Path and variables itself.
class LibraryUpcallTest : public UpcallTest {
protected:
    void SetUp() override
    {
        UpcallTest::SetUp();
        kvdtest::setString(KVD_UPCALL_KEY, VAL_UPCALL_PROGRAM, jobupcallPath());
        kvdtest::setString(KVD_UPCALL_KEY, VAL_XEP_BINDIR, endpoint().binDir);
        kvdtest::setString(KVD_UPCALL_KEY, VAL_XEP_CACHEDIR, endpoint().cacheDir);
        kvdtest::setString(KVD_UPCALL_KEY, VAL_XEP_DATDIR, endpoint().dataDir);
    }
};

static std::string takeText(char *text)
{
    std::string copy = text != NULL ? text : "(null)";
    free(text);
    return copy;
}

TEST_F(LibraryUpcallTest, test_pending_distribution_sets_the_logon_budget)
{
    writeQueue({myJob("P1", 1), myJob("D1", 0, "SW_MAX_LOGIN_ALLOWED:l=3"), myJob("D2", 4, "SW_MAX_LOGIN_ALLOWED:l=2")});
    EXPECT_EQ(1, adoptPendingDistribution(NULL));
    DWORD budget = 0xdeadbeef;
    EXPECT_TRUE(kvdtest::getDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &budget));
    EXPECT_EQ(2u, budget);
    EXPECT_EQ(0, adoptPendingDistribution("D1")) << "only the first active job is reported";

    writeQueue({myJob("P1", 1)});
    kvdtest::removeValue(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED);
    EXPECT_EQ(0, adoptPendingDistribution(NULL));
    EXPECT_FALSE(kvdtest::valueExists(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
}

TEST_F(LibraryUpcallTest, test_pause_list_and_resume_round_trip)
{
    writeQueue({myJob("D1", 0), myJob("D2", 1)});
    char *paused = (char *)0xdeadbeef;
    ASSERT_EQ(1, GW_ListAllPausedDistributions(&paused));
    EXPECT_EQ("D2", takeText(paused));

    EXPECT_EQ(1, GW_PauseDistribution("localhost", "D1"));
    EXPECT_EQ(myJob("D1", 1) + "\r\n" + myJob("D2", 1) + "\r\n", readQueue());
    EXPECT_EQ(1, GW_PauseDistribution("localhost", "D1")) << "one ID refused with exit code 4 counts as paused";

    paused = (char *)0xdeadbeef;
    ASSERT_EQ(1, GW_ListAllPausedDistributions(&paused));
    EXPECT_EQ("D1,D2", takeText(paused));

    char *failed = (char *)0xdeadbeef;
    EXPECT_EQ(0, GW_ResumeDistributions("localhost", "D1,NOSUCH", &failed));
    EXPECT_EQ("NOSUCH", takeText(failed));
    EXPECT_EQ(myJob("D1", 0) + "\r\n" + myJob("D2", 1) + "\r\n", readQueue());

    failed = (char *)0xdeadbeef;
    EXPECT_EQ(1, GW_ResumeDistributions("localhost", "D2", &failed));
    EXPECT_EQ((char *)0xdeadbeef, failed) << "untouched on success";
}

TEST_F(LibraryUpcallTest, test_unreadable_queue_fails_the_questions)
{
    writeQueue({myJob("D1", 1), "!fail-read Queue database is offline"});
    char *paused = (char *)0xdeadbeef;
    EXPECT_EQ(0, GW_ListAllPausedDistributions(&paused));
    EXPECT_EQ((char *)0xdeadbeef, paused) << "untouched on failure";
    EXPECT_EQ(0, adoptPendingDistribution(NULL));
}

// End-to-end tests: the shipped library, the real jobupcall over the substitute queue, and the two stand-ins in processes of their own.
#include "library_support.h"
#include "test_config.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace kvdtest;
using namespace kvdlib;

namespace {

const DWORD SENTINEL = 0xdeadbeef;
const DWORD PROCESS_WAIT_MS = 180000;

// The product folder holds jobupcall, its runtime libraries and the queue tool.
std::string productDir()
{
    return winPath(KVD_PRODUCT_BIN_UNIX);
}

std::string dataDir()
{
    std::string dir = workDir() + "\\e2e_data";
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

std::string queuePath()
{
    return dataDir() + "\\korvo2queue.txt";
}

std::string myJob(const std::string &distID, int state, int maxLogin)
{
    return "dist_id:s=" + distID + " app_id:s=Palvento state:h=" + std::to_string(state) +
           " SW_CONCURRENT_LOGIN_ALLOWED:l=1 SW_MAX_LOGIN_ALLOWED:l=" + std::to_string(maxLogin);
}

void writeQueue(const std::vector<std::string> &jobs)
{
    std::string text;
    for (const std::string &job : jobs)
        text += job + "\r\n";
    FILE *file = fopen(queuePath().c_str(), "wb");
    ASSERT_TRUE(file != NULL);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

// The value of "name:type=" in a job line, "" when absent.
std::string property(const std::string &line, const std::string &prefix)
{
    size_t at = line.find(prefix);
    if (at == std::string::npos)
        return "";
    size_t start = at + prefix.size();
    return line.substr(start, line.find_first_of(" \r", start) - start);
}

// The distribution IDs whose jobs are in the paused state (1) in the queue.
std::multiset<std::string> pausedInQueue()
{
    std::multiset<std::string> ids;
    std::string text = readFile(queuePath());
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, end - start);
        if (property(line, "state:h=") == "1")
            ids.insert(property(line, "dist_id:s="));
        start = end + 1;
    }
    return ids;
}

// The distinct IDs recorded in _pausedQueue.
std::set<std::string> recordedPaused()
{
    std::vector<std::string> strings = pausedQueue();
    std::set<std::string> ids;
    for (size_t i = 1; i < strings.size(); i += 3)
        ids.insert(strings[i]);
    return ids;
}

std::set<std::string> distinct(const std::multiset<std::string> &ids)
{
    return std::set<std::string>(ids.begin(), ids.end());
}

class EndToEnd : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        setString(KVD_UPCALL_KEY, VAL_UPCALL_PROGRAM, productBin("jobupcall.exe"));
        setString(KVD_UPCALL_KEY, VAL_XEP_BINDIR, productDir());
        setString(KVD_UPCALL_KEY, VAL_XEP_CACHEDIR, dataDir());
        setString(KVD_UPCALL_KEY, VAL_XEP_DATDIR, dataDir());
        setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, 30);
        writeQueue({});
    }
};

TEST_F(EndToEnd, test_logon_pauses_the_running_job_and_the_last_logoff_resumes_it)
{
    writeQueue({myJob("D1", 0, 2)});
    writeNotifyFile("D1");
    WLX_NOTIFICATION_INFO alice = notificationFor(L"alice");
    library().logon(&alice);
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "allowed";
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "the queue's limit 2, one logon used";
    EXPECT_EQ((std::multiset<std::string>{"D1"}), pausedInQueue());
    EXPECT_EQ((std::vector<std::string>{"localhost", "D1", "1"}), pausedQueue());

    library().logoff(&alice);
    EXPECT_TRUE(pausedInQueue().empty());
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE));
    EXPECT_EQ(0, record()->_someoneLooping);
}

TEST_F(EndToEnd, test_logon_at_budget_0_of_the_queue_is_refused)
{
    writeQueue({myJob("D1", 0, 0)});
    WLX_NOTIFICATION_INFO alice = notificationFor(L"alice");
    library().logon(&alice);
    EXPECT_EQ(0u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    EXPECT_EQ((std::multiset<std::string>{}), pausedInQueue());
}

TEST_F(EndToEnd, test_no_shutdown_while_the_queue_lists_another_active_distribution)
{
    // Should the library shut down after all, Wine must accept the request
    // rather than have the library fall back to ending the whole session.
    ASSERT_TRUE(InitiateSystemShutdownA(NULL, NULL, 0, FALSE, FALSE));
    // D1 has completed and left the queue; D2 is still active.
    writeQueue({myJob("D2", 0, 2)});
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    record()->_shutdownWhenComplete = 1;
    library().decreaseRunningClients("D1");
    EXPECT_EQ(0u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ((DWORD)-2, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_FALSE(fileContains(trace_, "shutdownOnCompletion is set"));
    EXPECT_TRUE(fileContains(trace_, "checkPendingDistribution return data = 1"));
}

TEST_F(EndToEnd, test_shutdown_at_completion_when_the_queue_lists_only_the_ending_distribution)
{
    // Under Wine InitiateSystemShutdownA is accepted without effect; make sure
    // it is, so that the library never falls back to ExitWindowsEx here.
    ASSERT_TRUE(InitiateSystemShutdownA(NULL, NULL, 0, FALSE, FALSE));
    writeQueue({myJob("D1", 0, 2)});
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    record()->_shutdownWhenComplete = 1;
    library().decreaseRunningClients("D1");
    EXPECT_TRUE(fileContains(trace_, "Except 'D1' found"));
    EXPECT_TRUE(fileContains(trace_, "InitiateSystemShutdown invoked successfully"));
}

std::string engine(const std::string &distID, const std::string &options)
{
    return productBin("engine_standin.exe") + " " + options + " " + distID;
}

void runAll(const std::vector<std::string> &cmdLines)
{
    std::vector<HANDLE> processes;
    for (const std::string &cmdLine : cmdLines)
        processes.push_back(startProgram(cmdLine));
    for (size_t i = 0; i < processes.size(); i++) {
        ASSERT_TRUE(processes[i] != NULL);
        EXPECT_EQ(0u, waitExitCode(processes[i], PROCESS_WAIT_MS)) << cmdLines[i];
        CloseHandle(processes[i]);
    }
}

TEST_F(EndToEnd, test_engines_and_logons_in_many_processes_keep_counts_and_lists_exact)
{
    setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, 0);   // the trace would serialise the processes
    // Carol stays logged on, so every distribution is paused as it starts.
    runAll({logonStandin("logon carol")});
    ASSERT_EQ(1u, record()->_dwLoggedOn);

    std::vector<std::string> wave;
    for (int i = 1; i <= 4; i++)
        wave.push_back(engine("D" + std::to_string(i), "--kind 1 --limit 5 --hold 300 --keep-job"));
    for (int i = 1; i <= 3; i++) {
        std::string user = "u" + std::to_string(i);
        wave.push_back(logonStandin("logon " + user + " sleep 200 logoff " + user + " logon " + user +
                                    " logoff " + user));
    }
    runAll(wave);

    EXPECT_EQ(1u, record()->_dwLoggedOn) << "only carol";
    EXPECT_EQ(0u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ((DWORD)-2, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "the last client ended the plan";
    std::set<std::string> all = {"D1", "D2", "D3", "D4"};
    EXPECT_EQ(all, distinct(pausedInQueue()));
    EXPECT_EQ(all, recordedPaused());

    // Carol leaves: the resume loop resumes everything it recorded.
    runAll({logonStandin("logoff carol")});
    EXPECT_EQ(0u, record()->_dwLoggedOn);
    EXPECT_EQ(0, record()->_someoneLooping);
    EXPECT_TRUE(pausedInQueue().empty());
    EXPECT_TRUE(recordedPaused().empty());
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE));
}

TEST_F(EndToEnd, test_running_clients_of_parallel_engines_return_to_0)
{
    setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, 0);
    std::vector<std::string> engines;
    for (int i = 1; i <= 6; i++)
        engines.push_back(engine("E" + std::to_string(i), "--kind 2 --no-queue --hold " + std::to_string(50 * i)));
    runAll(engines);
    EXPECT_EQ(0u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ(0u, record()->_dwLoggedOn);
}

}  // namespace

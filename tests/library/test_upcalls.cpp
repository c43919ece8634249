// Tests of the upcall client: command lines, the child's environment, and how each answer is read.
#include "compiled_library.h"
#include "library_support.h"
#include "upcalls.h"
#include "utils.h"
#include "program_util.h"
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

using namespace kvdtest;
using namespace kvdlib;

namespace {

const DWORD SENTINEL = 0xdeadbeef;
const DWORD NOT_RUN = 0xffffffff;
char *const NOT_SET = (char *)0xdeadbeef;

class Upcalls : public CompiledLibraryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        trace_ = traceThisTest(1);
    }
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
    }
    std::string trace_;
};

std::string programOf(const FakeUpcall &fake)
{
    return testBin("fake_upcall.exe") + " " + fake.dir();
}

// The value of an entry of an environment listing, matched by its exact name.
bool entryOf(const std::vector<std::string> &entries, const std::string &name, std::string *value)
{
    for (const std::string &entry : entries)
        if (entry.compare(0, name.size() + 1, name + "=") == 0) {
            *value = entry.substr(name.size() + 1);
            return true;
        }
    return false;
}

// The entries of an environment block.
std::vector<std::string> blockEntries(const char *block)
{
    std::vector<std::string> entries;
    for (const char *entry = block; *entry != '\0'; entry += strlen(entry) + 1)
        entries.push_back(entry);
    return entries;
}

std::string savedPath()
{
    char value[32768];
    DWORD len = GetEnvironmentVariableA("Path", value, sizeof(value));
    return std::string(value, len < sizeof(value) ? len : 0);
}

TEST_F(Upcalls, test_environment_without_path_gets_a_last_path_entry)
{
    std::string path = savedPath();
    SetEnvironmentVariableA("Path", NULL);
    std::vector<char> block(65536, (char)0xbd);
    int fitted = createNewEnv(block.data(), block.size(), "B;C;");
    SetEnvironmentVariableA("Path", path.c_str());

    ASSERT_EQ(1, fitted);
    std::vector<std::string> entries = blockEntries(block.data());
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ("Path=B;C;", entries.back());
}

TEST_F(Upcalls, test_environment_entry_spelled_PATH_keeps_its_spelling_and_gets_the_prefix)
{
    std::string path = savedPath();
    SetEnvironmentVariableA("Path", NULL);
    SetEnvironmentVariableA("PATH", "V1;V2");
    std::vector<char> block(65536, (char)0xbd);
    int fitted = createNewEnv(block.data(), block.size(), "B;C;");
    SetEnvironmentVariableA("PATH", NULL);
    SetEnvironmentVariableA("Path", path.c_str());

    ASSERT_EQ(1, fitted);
    std::string value;
    std::vector<std::string> entries = blockEntries(block.data());
    EXPECT_TRUE(entryOf(entries, "PATH", &value));
    EXPECT_EQ("B;C;V1;V2", value);
    EXPECT_FALSE(entryOf(entries, "Path", &value)) << "only one entry, spelled as before";
}

TEST_F(Upcalls, test_environment_block_that_does_not_fit_is_refused_within_its_buffer)
{
    std::vector<char> block(64, (char)0xbd);
    EXPECT_EQ(0, createNewEnv(block.data(), 32, "B;C;"));
    EXPECT_EQ('\0', block[0]);
    EXPECT_EQ('\0', block[1]);
    for (size_t i = 32; i < block.size(); i++)
        ASSERT_EQ((char)0xbd, block[i]) << "byte " << i << " written past the buffer";
}

TEST_F(Upcalls, test_listed_distribution_is_scanned_with_an_id_of_at_most_49_characters)
{
    char id[UPCALL_MAX_LISTED_ID + 1];
    int budget = (int)SENTINEL;
    EXPECT_EQ(1, scanListedDistribution("D1 3\n", id, sizeof(id), &budget));
    EXPECT_STREQ("D1", id);
    EXPECT_EQ(3, budget);

    std::string longest(49, 'x');
    EXPECT_EQ(1, scanListedDistribution((longest + " -1").c_str(), id, sizeof(id), &budget));
    EXPECT_EQ(longest, id);
    EXPECT_EQ(-1, budget);

    memset(id, 0xbd, sizeof(id));
    budget = (int)SENTINEL;
    std::string tooLong(50, 'y');
    EXPECT_EQ(-1, scanListedDistribution((tooLong + " 3").c_str(), id, sizeof(id), &budget));
    EXPECT_EQ(0, scanListedDistribution("single", id, sizeof(id), &budget));
    EXPECT_EQ(0, scanListedDistribution("", id, sizeof(id), &budget));
    EXPECT_EQ((int)SENTINEL, budget);
    for (size_t i = 0; i < sizeof(id); i++)
        ASSERT_EQ((char)0xbd, id[i]) << "byte " << i;
}

TEST_F(Upcalls, test_id_chunks_hold_whole_ids_within_the_limit)
{
    EXPECT_EQ(5u, idChunkLength("D1,D2", 505));
    EXPECT_EQ(5u, idChunkLength("D1,D2,D3", 6));
    EXPECT_EQ(2u, idChunkLength("D1,D2,D3", 4));
    EXPECT_EQ(8u, idChunkLength("LONGLONG,D2", 4)) << "a first ID longer than the limit comes alone";
    EXPECT_EQ(0u, idChunkLength("", 505));
}

TEST_F(Upcalls, test_missing_timeout_is_written_back_and_sent_as_120)
{
    FakeUpcall fake("upcall_timeout_default");
    fake.install();
    removeValue(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT);
    DWORD exitCode = SENTINEL;
    char *output = execUpcall(" -l ", &exitCode);
    EXPECT_EQ(NULL, output);
    EXPECT_EQ(0u, exitCode);
    DWORD timeout = SENTINEL;
    EXPECT_TRUE(getDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, &timeout));
    EXPECT_EQ(120u, timeout);
    std::vector<std::string> calls = fake.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(programOf(fake) + " -t 120  -l ", calls[0]);
}

TEST_F(Upcalls, test_zero_or_negative_timeout_leaves_the_option_out)
{
    FakeUpcall fake("upcall_timeout_zero");
    fake.install();
    DWORD exitCode = SENTINEL;
    free(execUpcall(" -L ", &exitCode));
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, (DWORD)-5);
    free(execUpcall(" -L ", &exitCode));
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, 30);
    free(execUpcall(" -L ", &exitCode));
    std::vector<std::string> calls = fake.calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(programOf(fake) + "  -L ", calls[0]);
    EXPECT_EQ(programOf(fake) + "  -L ", calls[1]);
    EXPECT_EQ(programOf(fake) + " -t 30  -L ", calls[2]);
}

TEST_F(Upcalls, test_missing_data_directory_starts_no_child)
{
    FakeUpcall fake("upcall_no_datdir");
    fake.install();
    removeValue(KVD_UPCALL_KEY, VAL_XEP_DATDIR);
    DWORD exitCode = SENTINEL;
    EXPECT_EQ(NULL, execUpcall(" -l ", &exitCode));
    EXPECT_EQ(NOT_RUN, exitCode);
    EXPECT_EQ(0, GW_PauseDistribution("localhost", "D1"));
    EXPECT_TRUE(fake.calls().empty());
    EXPECT_TRUE(fileContains(trace_, "ERROR retrieving data for external program"));
}

TEST_F(Upcalls, test_child_sees_endpoint_directories_in_front_of_path)
{
    FakeUpcall fake("upcall_env");
    fake.install("Z:\\ep\\bin", "Z:\\ep\\cache");
    std::string path = savedPath();
    DWORD exitCode = SENTINEL;
    free(execUpcall(" -L ", &exitCode));
    std::vector<std::string> env = fake.environment(1);
    std::string value;
    bool found = false;
    for (const std::string &entry : env)
        if (_strnicmp(entry.c_str(), "Path=", 5) == 0) {
            value = entry.substr(5);
            found = true;
        }
    ASSERT_TRUE(found);
    EXPECT_EQ("Z:\\ep\\bin;Z:\\ep\\cache;" + path, value);
    EXPECT_TRUE(entryOf(env, "XEP_DATDIR", &value));
    EXPECT_EQ("Z:\\ep\\dat", value);
    char own[MAX_PATH] = "";
    EXPECT_EQ(0u, GetEnvironmentVariableA("XEP_CACHEDIR", own, sizeof(own))) << "the caller's environment is left alone";
    EXPECT_EQ(path, savedPath());
}

TEST_F(Upcalls, test_pending_distribution_sets_the_budget_unless_it_is_the_exception)
{
    FakeUpcall fake("upcall_pending");
    fake.install();
    fake.answer(0, "D1 3\n");
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)-2);
    listed_distribution listed = {"", -7};
    EXPECT_EQ(1, GW_IsPendingDistribution(NULL, &listed));
    EXPECT_STREQ("D1", listed.distID);
    EXPECT_EQ(3, listed.budget);
    EXPECT_EQ((DWORD)-2, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "the upcall layer writes nothing";
    EXPECT_EQ(1, adoptPendingDistribution(NULL));
    EXPECT_EQ(3u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "its caller sets the budget";

    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 7);
    EXPECT_EQ(0, adoptPendingDistribution("D1"));
    EXPECT_EQ(7u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));
    EXPECT_TRUE(fileContains(trace_, "Except 'D1' found"));

    fake.answer(0, "");
    EXPECT_EQ(0, GW_IsPendingDistribution(NULL, &listed));
}

TEST_F(Upcalls, test_unscannable_listing_is_no_pending_distribution)
{
    FakeUpcall fake("upcall_unscannable");
    fake.install();
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 7);
    fake.answer(0, "single");
    EXPECT_EQ(0, adoptPendingDistribution(NULL));
    fake.answer(0, std::string(300, 'L') + " 3\n");
    EXPECT_EQ(0, adoptPendingDistribution(NULL));
    EXPECT_TRUE(fileContains(trace_, "ERROR scanning output"));
    EXPECT_TRUE(fileContains(trace_, "distribution ID longer than 49 characters"));
    DWORD budget = SENTINEL;
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &budget));
    EXPECT_EQ(7u, budget) << "the budget is not written";
}

TEST_F(Upcalls, test_pause_exit_codes_of_one_id_and_of_a_list)
{
    FakeUpcall fake("upcall_pause_codes");
    fake.install();
    fake.answer(0);
    EXPECT_EQ(1, GW_PauseDistribution("localhost", "D1"));
    fake.answer(4);
    EXPECT_EQ(1, GW_PauseDistribution("localhost", "D1"));
    EXPECT_EQ(0, GW_PauseDistribution("localhost", "D1,D2"));
    fake.answer(1);
    EXPECT_EQ(0, GW_PauseDistribution("localhost", "D1"));
    std::vector<std::string> calls = fake.calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(programOf(fake) + "  -p D1,D2 ", calls[2]);
}

// IDs "ID000".."IDnnn" of 5 characters joined by ",".
std::string idList(int count, std::vector<std::string> *ids)
{
    std::string joined;
    for (int i = 0; i < count; i++) {
        char id[16];
        snprintf(id, sizeof(id), "ID%03d", i);
        ids->push_back(id);
        joined += (i > 0 ? "," : "") + std::string(id);
    }
    return joined;
}

// The IDs an upcall command line carried after its option letter.
std::string sentIds(const std::string &call, const char *option)
{
    size_t at = call.find(option);
    if (at == std::string::npos)
        return "";
    std::string rest = call.substr(at + strlen(option));
    return rest.substr(0, rest.size() - 1);   // the closing blank
}

TEST_F(Upcalls, test_long_pause_list_goes_in_several_upcalls_of_whole_ids)
{
    FakeUpcall fake("upcall_pause_chunks");
    fake.install();
    std::vector<std::string> ids;
    std::string joined = idList(200, &ids);   // 1199 characters
    fake.answer(0);
    EXPECT_EQ(1, GW_PauseDistribution("localhost", joined.c_str()));
    std::vector<std::string> calls = fake.calls();
    ASSERT_EQ(3u, calls.size());
    std::string rejoined;
    for (const std::string &call : calls) {
        std::string sent = sentIds(call, " -p ");
        EXPECT_LE(sent.size(), 505u);
        rejoined += (rejoined.empty() ? "" : ",") + sent;
    }
    EXPECT_EQ(joined, rejoined) << "every ID sent once, whole and in order";

    fake.answerCall(5, 4);   // the second upcall of the next pause
    EXPECT_EQ(0, GW_PauseDistribution("localhost", joined.c_str()));
    EXPECT_EQ(6u, fake.calls().size()) << "the remaining upcalls still run";
}

TEST_F(Upcalls, test_resume_failure_hands_back_the_failed_ids)
{
    FakeUpcall fake("upcall_resume");
    fake.install();
    fake.answer(4, "D2");
    char *failed = NOT_SET;
    EXPECT_EQ(0, GW_ResumeDistributions("localhost", "D1,D2", &failed));
    ASSERT_NE(NOT_SET, failed);
    EXPECT_STREQ("D2", failed);
    free(failed);

    fake.answer(1);
    failed = NOT_SET;
    EXPECT_EQ(0, GW_ResumeDistributions("localhost", "D1,D2", &failed));
    EXPECT_EQ(NULL, failed);

    fake.answer(0, "ignored");
    failed = NOT_SET;
    EXPECT_EQ(1, GW_ResumeDistributions("localhost", "D1,D2", &failed));
    EXPECT_EQ(NOT_SET, failed) << "untouched on success";
}

TEST_F(Upcalls, test_long_resume_list_joins_the_failed_ids_of_every_upcall)
{
    FakeUpcall fake("upcall_resume_chunks");
    fake.install();
    std::vector<std::string> ids;
    std::string joined = idList(200, &ids);
    fake.answerCall(1, 4, "ID003");
    fake.answerCall(2, 0);
    fake.answerCall(3, 4, "ID190,ID199");
    char *failed = NOT_SET;
    EXPECT_EQ(0, GW_ResumeDistributions("localhost", joined.c_str(), &failed));
    ASSERT_NE(NOT_SET, failed);
    ASSERT_NE((char *)NULL, failed);
    EXPECT_STREQ("ID003,ID190,ID199", failed);
    free(failed);

    // An upcall of several that fails without naming IDs counts all of its IDs.
    FakeUpcall silent("upcall_resume_silent");
    silent.install();
    silent.answerCall(1, 0);
    silent.answerCall(2, 1);
    silent.answerCall(3, 0);
    failed = NOT_SET;
    EXPECT_EQ(0, GW_ResumeDistributions("localhost", joined.c_str(), &failed));
    ASSERT_NE(NOT_SET, failed);
    ASSERT_NE((char *)NULL, failed);
    EXPECT_EQ(sentIds(silent.calls()[1], " -r "), std::string(failed));
    free(failed);
}

TEST_F(Upcalls, test_paused_listing)
{
    FakeUpcall fake("upcall_paused_list");
    fake.install();
    fake.answer(0);
    char *paused = NOT_SET;
    EXPECT_EQ(1, GW_ListAllPausedDistributions(&paused));
    EXPECT_EQ(NULL, paused);
    fake.answer(0, "D1,D7");
    EXPECT_EQ(1, GW_ListAllPausedDistributions(&paused));
    ASSERT_NE(NOT_SET, paused);
    EXPECT_STREQ("D1,D7", paused);
    free(paused);
    fake.answer(2, "D1");
    paused = NOT_SET;
    EXPECT_EQ(0, GW_ListAllPausedDistributions(&paused));
    EXPECT_EQ(NOT_SET, paused);
    EXPECT_TRUE(fileContains(trace_, "ERROR retrieving paused list (2)"));
}

TEST_F(Upcalls, test_pause_is_recorded_only_when_it_worked)
{
    FakeUpcall fake("upcall_pause_record");
    fake.install();
    fake.answer(1);
    EXPECT_EQ(0, pauseDistribution("localhost", "D1", 3));
    EXPECT_TRUE(pausedQueue().empty());
    fake.answer(4);
    EXPECT_EQ(1, pauseDistribution("localhost", "D1", 3));
    EXPECT_EQ((std::vector<std::string>{"localhost", "D1", "3"}), pausedQueue());
}

TEST_F(Upcalls, test_resume_all_joins_the_list_in_order)
{
    FakeUpcall fake("upcall_resume_all");
    fake.install();
    fake.answer(0);
    char *failed = NOT_SET;
    EXPECT_EQ(0, resumeAllDistributions(NULL, &failed));
    paused_distribution_s *list = (paused_distribution_s *)calloc(1, sizeof(paused_distribution_s));
    initializeBuffer(list);
    EXPECT_EQ(0, verifyPausedDistributions(list));
    EXPECT_EQ(0, isBlockingDistribution(list));
    addToList(list, "localhost", "D1", 3);
    addToList(list, "localhost", "D7", 0);
    EXPECT_EQ(1, verifyPausedDistributions(list));
    EXPECT_EQ(1, isBlockingDistribution(list));
    EXPECT_EQ(1, resumeAllDistributions(list, &failed));
    freePausedListStructure(list);
    EXPECT_EQ(0, verifyPausedDistributions(NULL));
    EXPECT_EQ(0, isBlockingDistribution(NULL));
    std::vector<std::string> calls = fake.calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(programOf(fake) + "  -r D1,D7 ", calls[0]);
}

}  // namespace

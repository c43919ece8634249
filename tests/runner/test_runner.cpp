// Tests of the child-process runner: real children of the test suite, real pipes, the shared record.
#include "compiled_library.h"
#include "test_support.h"
#include "KVDnotificationLibrary.h"
#include "program_util.h"
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>
#include <vector>

using namespace kvdtest;

namespace {

const DWORD SENTINEL = 0xdeadbeef;
const DWORD NOT_RUN = 0xffffffff;

class Runner : public CompiledLibraryTest {
protected:
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
    }
    std::string traceOn(const char *name)
    {
        std::string path = enableTrace(1, name);
        TRACE_INITIALIZE();
        return path;
    }
};

std::string childLine(const std::string &arguments)
{
    return "\"" + testBin("runner_child.exe") + "\" " + arguments;
}

struct RunResult {
    DWORD exitCode = SENTINEL;
    bool isNull = true;
    std::string out;
};

RunResult run(const std::string &cmdLine, char *env = NULL)
{
    std::vector<char> line(cmdLine.begin(), cmdLine.end());
    line.push_back('\0');
    RunResult result;
    child_result child;
    char *output = execProgram(line.data(), env, &child, CHILD_WAIT_CEILING_MS, &shareData->_upcallCode);
    result.exitCode = child.exitCode;
    result.isNull = output == NULL;
    if (output != NULL)
        result.out = output;
    free(output);
    return result;
}

std::string pattern(size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; i++)
        text += (char)('A' + i % 26);
    return text;
}

TEST_F(Runner, test_silent_child_gives_null_output_and_exit_code_0)
{
    std::string trace = traceOn("silent.log");
    RunResult result = run(childLine("silent"));
    EXPECT_TRUE(result.isNull) << "got '" << result.out << "'";
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_TRUE(fileContains(trace, "execProgram output is null... returning NULL"));
    EXPECT_TRUE(fileContains(trace, "ReadChildOutput ReadChildOutput completed"));
    EXPECT_TRUE(fileContains(trace, "execProgram Child exitCode 0"));
}

TEST_F(Runner, test_long_output_comes_back_whole_and_in_order)
{
    for (size_t length : {1u, 255u, 256u, 600u, 5000u}) {
        RunResult result = run(childLine("bytes " + std::to_string(length)));
        EXPECT_EQ(0u, result.exitCode) << length;
        EXPECT_FALSE(result.isNull) << length;
        EXPECT_EQ(pattern(length), result.out) << length;
    }
}

TEST_F(Runner, test_zero_byte_ends_the_text_of_its_piece)
{
    RunResult result = run(childLine("zero"));
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ("abc", result.out);
}

std::string windowedChildLine(const std::string &arguments)
{
    return "\"" + testBin("runner_child_windowed.exe") + "\" " + arguments;
}

// The child closes its output and only exits half a second later: the exit
// code must be the child's, not the still-active 259. Under Wine only the
// windowed child really breaks the pipe early (the console host of the other
// keeps a copy of its output handle until the console ends).
TEST_F(Runner, test_exit_code_is_read_once_the_child_has_ended)
{
    for (const std::string &cmdLine : {windowedChildLine("close-exit 500"), childLine("close-exit 500")}) {
        DWORD started = GetTickCount();
        RunResult result = run(cmdLine);
        DWORD elapsed = GetTickCount() - started;
        EXPECT_EQ(7u, result.exitCode) << cmdLine;
        EXPECT_TRUE(result.isNull) << cmdLine;
        EXPECT_GE(elapsed, 400u) << "execProgram returned before the child ended: " << cmdLine;
    }
}

TEST_F(Runner, test_missing_program_gives_minus_one_and_leaves_upcall_code)
{
    std::string trace = traceOn("missing.log");
    shareData->_upcallCode = SENTINEL;
    RunResult result = run("\"" + workDir() + "\\no_such_program.exe\" -l");
    EXPECT_EQ(NOT_RUN, result.exitCode);
    EXPECT_TRUE(result.isNull);
    EXPECT_EQ(SENTINEL, shareData->_upcallCode);
    EXPECT_TRUE(fileContains(trace, "[E] RunChild Error creating the child (2)"));
    EXPECT_TRUE(fileContains(trace, "execProgram Error inRunChild"));
    EXPECT_TRUE(fileContains(trace, "execProgram returning NULL"));
    shareData->_upcallCode = 0;
}

// The child itself is the other process: it opens the shared record read-only
// and reports the identifier found there next to its own.
TEST_F(Runner, test_child_identifier_is_shared_while_it_runs_and_cleared_after)
{
    shareData->_upcallCode = SENTINEL;
    RunResult result = run(childLine("shared-pid"));
    ASSERT_EQ(0u, result.exitCode) << "the child could not read the shared record";
    unsigned long own = 0, shared = 0;
    ASSERT_EQ(2, sscanf(result.out.c_str(), "%lu %lu", &own, &shared)) << result.out;
    EXPECT_NE(0ul, own);
    EXPECT_EQ(own, shared);
    EXPECT_EQ(0u, shareData->_upcallCode);
}

struct HeldChild {
    std::string cmdLine;
    RunResult result;
};

DWORD WINAPI runHeldChild(LPVOID param)
{
    HeldChild *child = (HeldChild *)param;
    child->result = run(child->cmdLine);
    return 0;
}

// A third process, started while the child runs, finds the child's identifier in the shared record.
TEST_F(Runner, test_other_process_sees_the_running_child)
{
    shareData->_upcallCode = SENTINEL;
    HeldChild child = {childLine("hold 3000"), RunResult()};
    HANDLE thread = CreateThread(NULL, 0, runHeldChild, &child, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    for (int i = 0; i < 200 && shareData->_upcallCode == SENTINEL; i++)
        Sleep(50);
    ProcessResult reader = runProgram(childLine("shared-pid"));
    WaitForSingleObject(thread, 60000);
    CloseHandle(thread);

    EXPECT_EQ(0u, reader.exitCode) << "the reader could not open the shared record";
    unsigned long readerPid = 0, seen = 0;
    ASSERT_EQ(2, sscanf(reader.out.c_str(), "%lu %lu", &readerPid, &seen)) << reader.out;
    ASSERT_EQ(0u, child.result.exitCode);
    EXPECT_EQ(std::to_string(seen), child.result.out) << "the reader saw another identifier than the child's";
    EXPECT_EQ(0u, shareData->_upcallCode);
}

TEST_F(Runner, test_child_runs_with_hidden_window_and_given_environment)
{
    RunResult startup = run(childLine("startup"));
    char expected[64];
    snprintf(expected, sizeof(expected), "flags=%lu show=%u",
             (unsigned long)(STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW), (unsigned)SW_HIDE);
    EXPECT_EQ(expected, startup.out);

    // The block keeps the variables Wine needs to start a program.
    std::string block = "KVD_RUNNER_TEST=from the block";
    block += '\0';
    for (const char *name : {"SystemRoot", "PATH", "WINEPREFIX"}) {
        const char *value = getenv(name);
        if (value != NULL) {
            block += std::string(name) + "=" + value;
            block += '\0';
        }
    }
    block += '\0';
    RunResult env = run(childLine("env KVD_RUNNER_TEST"), &block[0]);
    EXPECT_EQ(0u, env.exitCode);
    EXPECT_EQ("from the block", env.out);
}

TEST_F(Runner, test_run_child_returns_identifier_and_handle)
{
    std::string cmdLine = childLine("silent");
    std::vector<char> line(cmdLine.begin(), cmdLine.end());
    line.push_back('\0');
    DWORD childId = SENTINEL;
    HANDLE child = RunChild(line.data(), NULL, NULL, NULL, NULL, &childId);
    ASSERT_NE((HANDLE)NULL, child);
    EXPECT_EQ(GetProcessId(child), childId);
    EXPECT_EQ(0u, waitExitCode(child, 30000));
    CloseHandle(child);
}

TEST_F(Runner, test_read_child_output_collects_until_the_pipe_breaks)
{
    HANDLE readEnd = NULL, writeEnd = NULL;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, NULL, 0));
    std::string text = pattern(700);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writeEnd, text.data(), (DWORD)text.size(), &written, NULL));
    CloseHandle(writeEnd);
    char *output = ReadChildOutput(readEnd);
    CloseHandle(readEnd);
    ASSERT_NE((char *)NULL, output);
    EXPECT_EQ(text, output);
    free(output);
}

DWORD WINAPI runHoldersUntilStopped(LPVOID stop)
{
    while (!*(volatile bool *)stop)
        run(childLine("hold 1500"));
    return 0;
}

// Without a handle list (Windows XP and Server 2003) a child inherits its own
// pipe and no other: quick children beside long ones end as soon as they do.
TEST_F(Runner, test_children_started_without_a_handle_list_inherit_no_other_pipe)
{
    startChildrenWithoutHandleList(1);
    bool stop = false;
    HANDLE holders[3];
    for (HANDLE &holder : holders)
        holder = CreateThread(NULL, 0, runHoldersUntilStopped, &stop, 0, NULL);
    for (int i = 0; i < 20; i++) {
        DWORD since = GetTickCount();
        RunResult quick = run(childLine("bytes 10"));
        EXPECT_LT(GetTickCount() - since, 1000u) << "run " << i << " waited for a holder's end";
        EXPECT_EQ(pattern(10), quick.out);
    }
    stop = true;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, holders, TRUE, 30000));
    for (HANDLE holder : holders)
        CloseHandle(holder);
    startChildrenWithoutHandleList(0);
}

}  // namespace

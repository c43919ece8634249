// Tests of the shared record and the global lock across processes.
#include "test_support.h"
#include "KVDnotificationLibrary.h"
#include "export_binding.h"

#include <regex>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

using namespace kvdtest;

namespace {

class SharedState : public RegistryTest {
protected:
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
    }
};

std::string probe(const std::string &arguments = "")
{
    ProcessResult result = runProgram(testBin("core_attach_probe.exe") + " " +
                                      productBin("KVDnotificationLibrary.dll") + arguments);
    EXPECT_EQ(0u, result.exitCode) << result.out;
    return result.out;
}

// Trace lines of one process, by its identifier in the header.
std::vector<std::string> linesOfOtherProcesses(const std::string &path)
{
    std::vector<std::string> lines;
    std::string own = "[" + std::to_string(GetCurrentProcessId()) + ":";
    for (const std::string &line : readLines(path))
        if (line.compare(0, own.size(), own) != 0)
            lines.push_back(line);
    return lines;
}

bool anyLineHas(const std::vector<std::string> &lines, const std::string &text)
{
    for (const std::string &line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

}  // namespace

static DWORD WINAPI loadOnThisThread(LPVOID path)
{
    return LoadLibraryA((const char *)path) != NULL;
}

// Attaching opens nothing and traces nothing: another thread's library load
// is not held up, whoever holds the trace semaphore.
TEST_F(SharedState, test_attach_holds_up_no_other_load_while_the_trace_semaphore_is_held)
{
    enableTrace(2, "shared_quiet_attach.log");
    HANDLE held = CreateSemaphoreA(trustedObjectSecurity(), 0, 1, "KVDNotificationSemaphore_trace");
    std::string library = productBin("KVDnotificationLibrary.dll");
    DWORD since = GetTickCount();
    HANDLE loads[2] = {CreateThread(NULL, 0, loadOnThisThread, (LPVOID)library.c_str(), 0, NULL),
                       CreateThread(NULL, 0, loadOnThisThread, (LPVOID) "msacm32.dll", 0, NULL)};
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, loads, TRUE, 5000));
    EXPECT_LT(GetTickCount() - since, 5000u);
    for (HANDLE load : loads)
        CloseHandle(load);
    FreeLibrary(GetModuleHandleA(library.c_str()));
    CloseHandle(held);
}

TEST_F(SharedState, test_second_process_sees_the_first_ones_record)
{
    std::string trace = enableTrace(2, "shared_attach.log");
    HMODULE library = LoadLibraryA(productBin("KVDnotificationLibrary.dll").c_str());
    ASSERT_NE((HMODULE)NULL, library);
    EXPECT_FALSE(fileContains(trace, "dll initialization")) << "nothing at attach";
    exportOf<int(WINAPI *)()>(library, "getNumLoggedOn")();
    EXPECT_TRUE(fileContains(trace, "first instance, initialize memory"));

    EXPECT_EQ("loggedOn=0\r\nafter=3\r\n", probe(" set-logged-on 3"));
    EXPECT_EQ("loggedOn=3\r\n", probe());
    std::vector<std::string> others = linesOfOtherProcesses(trace);
    EXPECT_TRUE(anyLineHas(others, "map the shared memory"));
    EXPECT_FALSE(anyLineHas(others, "first instance, initialize memory"));

    // Once the last process lets go, the next attach starts from a zeroed record.
    FreeLibrary(library);
    EXPECT_EQ("loggedOn=0\r\n", probe());
}

TEST_F(SharedState, test_taken_name_gives_a_private_record)
{
    std::string trace = enableTrace(2, "shared_private.log");
    HANDLE squatter = CreateEventA(NULL, TRUE, FALSE, "Global\\KVDNotificationFileMap");
    ASSERT_NE((HANDLE)NULL, squatter);
    EXPECT_EQ("loggedOn=0\r\nafter=0\r\n", probe(" set-logged-on 9"));
    CloseHandle(squatter);
    EXPECT_TRUE(std::regex_search(readFile(trace), std::regex(R"(\[E\] dll initialization Error creating the shared memory \(\d+\), exiting)")));
}

TEST_F(SharedState, test_lock_serialises_four_processes)
{
    initialize();   // keeps the record alive and lets the test read it
    shareData->_dwLoggedOn = 0;
    const int processes = 4, cycles = 500;
    HANDLE counters[processes];
    for (HANDLE &counter : counters)
        counter = startProgram(testBin("core_lock_counter.exe") + " " + std::to_string(cycles));
    for (HANDLE counter : counters) {
        ASSERT_NE((HANDLE)NULL, counter);
        EXPECT_EQ(0u, waitExitCode(counter, 120000));
        CloseHandle(counter);
    }
    EXPECT_EQ((DWORD)(processes * cycles), shareData->_dwLoggedOn);
    deInitialize();
}

static DWORD WINAPI unlockOnOtherThread(LPVOID)
{
    releaseGlobalLock();
    return 0;
}

// Whether another thread could take the lock at once (taken and given back).
static DWORD WINAPI tryLock(LPVOID)
{
    HANDLE lock = CreateMutexA(NULL, FALSE, GLOBAL_SEMAPHORE_NAME);   // the library keeps it; an administrator may open it
    if (lock == NULL)
        return WAIT_FAILED;
    DWORD result = WaitForSingleObject(lock, 0);
    if (result == WAIT_OBJECT_0)
        ReleaseMutex(lock);
    CloseHandle(lock);
    return result;
}

static DWORD tryLockOnOtherThread()
{
    HANDLE thread = CreateThread(NULL, 0, tryLock, NULL, 0, NULL);
    DWORD result = WAIT_FAILED;
    WaitForSingleObject(thread, 10000);
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result;
}

TEST_F(SharedState, test_unlock_without_lock_releases_nothing)
{
    std::string trace = enableTrace(2, "shared_unlock.log");
    TRACE_INITIALIZE();
    initialize();
    takeGlobalLock();

    HANDLE thread = CreateThread(NULL, 0, unlockOnOtherThread, NULL, 0, NULL);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    EXPECT_TRUE(fileContains(trace, "[E] unlockSemaphore Error retrieving the local value for hSem, error: "));

    EXPECT_EQ((DWORD)WAIT_TIMEOUT, tryLockOnOtherThread()) << "the lock must still be taken";
    releaseGlobalLock();
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, tryLockOnOtherThread()) << "the owner's unlock frees it";
    EXPECT_TRUE(fileContains(trace, "ReleaseSemaphore returned = 1"));
    deInitialize();
}

TEST_F(SharedState, test_dll_main_returns_true_for_every_reason)
{
    initialize();
    shared_record *before = shareData;
    EXPECT_EQ(TRUE, DllMain(NULL, DLL_THREAD_ATTACH, NULL));
    EXPECT_EQ(TRUE, DllMain(NULL, DLL_THREAD_DETACH, NULL));
    EXPECT_EQ(TRUE, DllMain(NULL, DLL_PROCESS_DETACH, (LPVOID)1));   // at process exit: nothing
    EXPECT_EQ(before, shareData);
    EXPECT_EQ(TRUE, DllMain(NULL, DLL_PROCESS_DETACH, NULL));
    EXPECT_EQ((shared_record *)NULL, shareData);
    EXPECT_EQ(TRUE, DllMain(NULL, DLL_PROCESS_ATTACH, NULL));
    EXPECT_EQ((shared_record *)NULL, shareData) << "opened at the first call, not at attach";
}

TEST_F(SharedState, test_dump_lists_every_field)
{
    std::string trace = enableTrace(2, "shared_dump.log");
    TRACE_INITIALIZE();
    initialize();
    shareData->_upcallCode = 1234;
    shareData->_final_popup_enabled = 1;
    DumpSharedMemory();
    deInitialize();
    std::string log = readFile(trace);
    for (const char *line : {"  _dwLoggedOn=0", "  _upcallCode=1234", "  _someoneLooping=0",
                             "  _shutdownWhenComplete=0", "  _upcallRunning=0", "  _final_popup_enabled=1"})
        EXPECT_NE(std::string::npos, log.find(std::string("DumpSharedMemory ") + line + "\r\n")) << line;
}

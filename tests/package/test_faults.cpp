// Faults that must lock nobody out, one a case, in several processes at once: each
// case times its logon and engine calls (UpcallTimeout 5) and checks the state left.
#include "package_support.h"

#include <sddl.h>
#include <algorithm>

#include "kvd_events.h"

using namespace kvdtest;
using namespace kvdlib;
using namespace kvdpkg;

namespace {

const DWORD CAP_MS = 75000;
const DWORD LONG_WAIT = 600000;   // the stand-in's wait for a handler: longer than any case   // a call still running then is hung: it is ended and the case fails
#ifndef KVD_GLOBAL_LOCK_IS_MUTEX
#define KVD_GLOBAL_LOCK_IS_MUTEX 0   // a semaphore
#endif
const std::set<std::string> ONLY_D1 = {"D1"};

std::string agent(const std::string &action, const std::string &argument = "D1")
{
    return testBin("fault_agent.exe") + " " + productBin("KVDnotificationLibrary.dll") + " " + action + " " + argument;
}

// Waits for a process up to CAP_MS (then ends it); the seconds since `since`.
double finish(const char *what, HANDLE process, DWORD since, DWORD *exitCode = NULL)
{
    DWORD code = waitExitCode(process, CAP_MS);
    CloseHandle(process);
    if (exitCode != NULL)
        *exitCode = code;
    printf("[   TIME   ] %s: %.1f s\n", what, (GetTickCount() - since) / 1000.0);
    return (GetTickCount() - since) / 1000.0;
}

double timed(const char *what, const std::string &cmdLine, DWORD *exitCode = NULL)
{
    DWORD since = GetTickCount();
    return finish(what, startProgram(cmdLine), since, exitCode);
}

FakeUpcall installFake(const std::string &name, const std::string &answer)
{
    FakeUpcall fake(name);
    fake.install();
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, 5);
    writeWholeFile(fake.dir() + "\\answer.txt", answer);
    return fake;
}

// A plan runs (budget 5) and the notify file holds `notify`; nobody is logged on.
void planRuns(const std::string &notify)
{
    resetRecord();
    removeValue(KVD_POPCTL_KEY, VAL_POPUP_TYPE);
    removeValue(KVD_MAIN_KEY, VAL_PAUSED_QUEUE);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 5);
    writeNotifyBytes(notify);
}

// Whether the upcall child that wrote its process id to pidFile has ended.
bool processGone(const std::string &pidFile)
{
    std::string pid = readFile(pidFile);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, strtoul(pid.c_str(), NULL, 10));
    bool gone = !pid.empty() && (process == NULL || WaitForSingleObject(process, 5000) == WAIT_OBJECT_0);
    if (process != NULL)
        CloseHandle(process);
    return gone;
}

// A named lock this thread takes and gives back only when destroyed.
struct HeldLock {
    bool mutex;
    HANDLE handle;
    HeldLock(const char *name, bool isMutex)
        : mutex(isMutex), handle(isMutex ? CreateMutexA(NULL, FALSE, name) : CreateSemaphoreA(NULL, 1, 1, name))
    {
        EXPECT_NE((DWORD)WAIT_TIMEOUT, WaitForSingleObject(handle, 5000)) << name;
    }
    ~HeldLock()
    {
        mutex ? ReleaseMutex(handle) : ReleaseSemaphore(handle, 1, NULL);
        CloseHandle(handle);
    }
};

// Gives the main key the access list in SDDL form.
void mainKeyAccess(const char *sddl)
{
    HKEY key;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, KVD_MAIN_KEY, 0, WRITE_DAC, &key));
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, NULL);
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
    LocalFree(descriptor);
    RegCloseKey(key);
    HKEY probe;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KVD_MAIN_KEY, 0, KEY_SET_VALUE, &probe);
    if (opened == ERROR_SUCCESS)
        RegCloseKey(probe);
    EXPECT_EQ(strstr(sddl, "(D;") != NULL ? ERROR_ACCESS_DENIED : ERROR_SUCCESS, opened)
        << "the key's access list is not enforced";
}

// Runs before any case of this program loads the library: a standard user
// makes the names of the record, the lock, donemsg's mutex and the trace
// semaphore first. A logon is decided at its usual speed without them, and
// donemsg shows its message all the same.
TEST(Squatters, test_objects_a_standard_user_made_first_are_not_used)
{
    deleteKeys();
    createKeys();
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
    std::string trace = enableTrace(2, "squatters.trc"), ready = workDir() + "\\squat.txt";
    DeleteFileA(ready.c_str());
    HANDLE user = standardUserToken(false);
    HANDLE squatter = startProgram(agent("squat", ready), user);
    ASSERT_EQ("ready", waitForFile(ready, 30000)) << "the names were not free";
    DWORD since = GetTickCount();
    std::vector<LoggedEvent> events = runLoggingEvents(logonStandin("logon alice", LONG_WAIT));
    EXPECT_LE(GetTickCount() - since, 10000u) << "a logon beside the squatter";
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const LoggedEvent &event) {
        return event.id == KVD_EVENT_OBJECT_NOT_TRUSTED && event.inserts == std::vector<std::string>{SHARED_MEMORY_NAME};
    })) << "the Application log names the record";
    HANDLE done = startProgram(productBin("donemsg.exe") + " 0");
    for (int i = 0; i < 100 && !fileContains(trace, "type=0"); i++)
        Sleep(100);
    EXPECT_TRUE(fileContains(trace, "type=0")) << "donemsg went on to show its message";
    endProcess(done);
    for (const char *name : {"Global\\KVDNotificationFileMap", "Global\\KVDNotificationSemaphore",
                             "Global\\KVD_donemsg_mutex", "KVDNotificationSemaphore_trace"})
        EXPECT_TRUE(fileContains(trace, std::string("'") + name + "' exists with an owner")) << name;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, SHARED_MEMORY_NAME);
    const DWORD *squattersRecord = (const DWORD *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    EXPECT_EQ(77u, squattersRecord != NULL ? squattersRecord[0] : 0) << "the squatter's record is not written";
    UnmapViewOfFile(squattersRecord);
    CloseHandle(mapping);
    endProcess(squatter);
    CloseHandle(user);
    removeValue(KVD_MAIN_KEY, VAL_TRACE_LEVEL);
}

// The real jobupcall on the substitute queue holding D1; fake upcalls end with the case.
class Faults : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        release_ = CreateEventA(NULL, TRUE, FALSE, "KVDFakeUpcallRelease");
        ResetEvent(release_);
        installUpcall(5);
        writeQueue({palventoJob("D1", 0, 5)});
    }
    void TearDown() override
    {
        SetEvent(release_);
        CloseHandle(release_);
        LibraryTest::TearDown();
    }
    HANDLE release_;
};

TEST_F(Faults, test_a_lock_holder_that_dies_stops_nobody)
{
    FakeUpcall fake = installFake("fault_dies", "hang\n");
    HANDLE holder = startProgram(logonStandin("logon alice", LONG_WAIT));
    EXPECT_FALSE(waitForFile(fake.dir() + "\\pid1.txt", 30000).empty()) << "alice's logon never asked";
    HANDLE engine = startProgram(agent("increase"));
    Sleep(1000);   // the engine waits for the lock alice's logon holds
    endProcess(holder, 1);
    EXPECT_LE(finish("engine call once the holder died", engine, GetTickCount()), 10.0);
    writeWholeFile(fake.dir() + "\\answer.txt", "0\n");
    EXPECT_LE(timed("bob's logon", logonStandin("logon bob", LONG_WAIT)), 10.0);
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_EQ(2u, record()->_dwLoggedOn);
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "bob refused";
    EXPECT_TRUE(fileContains(trace_, "died holding it"));
}

TEST_F(Faults, test_a_lock_never_given_back_delays_a_logon_and_an_engine_call_but_stops_neither)
{
    installFake("fault_live", "0\n");
    HeldLock lock(GLOBAL_SEMAPHORE_NAME, KVD_GLOBAL_LOCK_IS_MUTEX);
    DWORD since = GetTickCount();
    HANDLE logon = startProgram(logonStandin("logon carol", LONG_WAIT)), engine = startProgram(agent("increase"));
    EXPECT_LE(finish("carol's logon", logon, since), 60.0);
    EXPECT_LE(finish("engine call", engine, since), 60.0);
    EXPECT_EQ(1u, record()->_dwLoggedOn);
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_TRUE(fileContains(trace_, "going on without it"));
}

TEST_F(Faults, test_an_upcall_that_hangs_or_floods_is_ended_and_fails)
{
    for (std::string mode : {"hang", "flood"}) {
        SCOPED_TRACE(mode);
        FakeUpcall fake = installFake("fault_" + mode, mode + "\n");
        planRuns("D1");
        EXPECT_LE(timed("logon while a plan runs", logonStandin("logon alice", LONG_WAIT)), 30.0);
        EXPECT_EQ(1u, dword(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "a failed pause refuses the logon";
        EXPECT_LE(timed("engine pause with alice logged on", agent("pause", "D2")), 30.0);
        EXPECT_EQ(0u, recordedPaused().count("D2"));
        EXPECT_TRUE(processGone(fake.dir() + "\\pid1.txt") && processGone(fake.dir() + "\\pid2.txt"));
    }
}

TEST_F(Faults, test_a_fault_in_a_handler_ends_the_handler_and_one_outside_ends_the_process)
{
    DWORD code;
    timed("logons with bad records, then an engine call", agent("badlogon"), &code);
    EXPECT_LT(code, 5000u) << "the engine call's milliseconds, or the code that ended the process";
    EXPECT_TRUE(fileContains(trace_, "FATAL: unhandled Exception was raised!")) << "a bad record: the library's fault";
    EXPECT_TRUE(fileContains(trace_, "[E] KVDEventLogon a text of the notification record cannot be read"));
    EXPECT_EQ(0u, record()->_dwLoggedOn) << "one logon counted, two logoffs";
    FakeUpcall fake = installFake("fault_thread", "hang\n");
    resetRecord();   // the first logon asks the upcall program
    timed("a fault beside a logon", agent("threadfault", fake.dir()), &code);
    EXPECT_EQ(0xC0000005u, code);
    removeValue(KVD_MAIN_KEY, VAL_TRACE_LEVEL);   // untraced, the ID is first read inside the guarded stretch
    record()->_dwLoggedOn = 1;
    timed("a fault of the C runtime inside an engine call", agent("badpause"), &code);
    EXPECT_EQ(0xC0000005u, code) << "a fault outside the library's image is not resumed";
}

TEST_F(Faults, test_a_notify_file_with_a_line_end_or_blanks_names_the_bare_id)
{
    for (std::string notify : {"D1\r\n", "D1   "}) {
        SCOPED_TRACE(notify);
        writeQueue({palventoJob("D1", 0, 5)});
        planRuns(notify);
        EXPECT_LE(timed("logon while a plan runs", logonStandin("logon alice", LONG_WAIT)), 30.0);
        EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "alice refused";
        EXPECT_EQ(ONLY_D1, recordedPaused());
        EXPECT_EQ(ONLY_D1, pausedInQueue());
    }
}

// An engine pause with a user logged on, the upcall program under a folder
// with a blank and a Program.exe planted before it; then also with a
// _pausedQueue that cannot be written. Nothing stays paused in the queue that
// _pausedQueue does not record, and the planted program never runs.
TEST_F(Faults, test_an_engine_pause_under_a_fault_leaves_the_queue_and_the_record_alike)
{
    std::string root = workDir() + "\\blank", dir = root + "\\Program Files\\KVD";
    for (const std::string &folder : {root, root + "\\Program Files", dir})
        CreateDirectoryA(folder.c_str(), NULL);
    // its runtime comes from the endpoint's bin folder, first in the Path the library gives it
    ASSERT_TRUE(CopyFileA(productBin("jobupcall.exe").c_str(), (dir + "\\jobupcall.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(testBin("fault_agent.exe").c_str(), (root + "\\Program.exe").c_str(), FALSE));
    DeleteFileA((root + "\\Program.exe.ran").c_str());
    setString(KVD_UPCALL_KEY, VAL_UPCALL_PROGRAM, dir + "\\jobupcall.exe");
    for (bool unwritable : {false, true}) {
        SCOPED_TRACE(unwritable ? "_pausedQueue cannot be written" : "a blank in the program's path");
        writeQueue({palventoJob("D1", 0, 5)});
        removeValue(KVD_MAIN_KEY, VAL_PAUSED_QUEUE);
        record()->_dwLoggedOn = 1;
        if (unwritable)
            mainKeyAccess("D:(D;;0x2;;;WD)(A;;KA;;;WD)");   // everyone may do all but set values
        EXPECT_LE(timed("engine pause", agent("pause")), 30.0);
        EXPECT_EQ(pausedInQueue(), recordedPaused());
        EXPECT_EQ(unwritable ? std::set<std::string>() : ONLY_D1, recordedPaused());
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((root + "\\Program.exe.ran").c_str())) << "planted one ran";
    mainKeyAccess("D:(A;;KA;;;WD)");
    deleteKeys();   // created again with the access list they inherit
    createKeys();
}

TEST_F(Faults, test_children_of_the_library_get_none_of_its_handles)
{
    FakeUpcall fake = installFake("fault_inherit", "0\n");
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), NULL, TRUE};
    HANDLE event = CreateEventA(&inheritable, TRUE, TRUE, NULL);
    char value[32];
    snprintf(value, sizeof(value), "%p", (void *)event);
    SetEnvironmentVariableA("KVD_INHERIT_PROBE", value);
    setString(KVD_MAIN_KEY, VAL_COMPLETION_PROGRAM_PATH, testBin("fake_upcall.exe") + " " + fake.dir());
    setDword(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_ENABLED, 1);
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    record()->_dwLoggedOn = 1;
    library().pauseMeIfNeeded("localhost", "D1", 1, 5, 1);   // the upcall: call 1
    record()->_dwLoggedOn = 0;
    record()->_final_popup_enabled = 1;
    library().decreaseRunningClients("D1");                 // the completion message: call 2
    EXPECT_EQ("not inherited", waitForFile(fake.dir() + "\\handle1.txt", 30000)) << "upcall";
    EXPECT_EQ("not inherited", waitForFile(fake.dir() + "\\handle2.txt", 30000)) << "completion message";
    SetEnvironmentVariableA("KVD_INHERIT_PROBE", NULL);
    CloseHandle(event);
}

// Every way a standard user has to change the shared state, on keys secured as
// the installers secure them, while a logon is being decided.
TEST_F(Faults, test_a_standard_user_changes_nothing_the_logon_process_trusts)
{
    ASSERT_EQ(0u, runProgram(productBin("ntfcfg.exe") + " -a").exitCode);
    planRuns("D1");
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 1);
    record()->_dwLoggedOn = 1;
    HANDLE user = standardUserToken(true);
    DWORD since = GetTickCount(), worked = SENTINEL;
    HANDLE attempts = startProgram(agent("user"), user);
    EXPECT_LE(timed("a logon meanwhile", logonStandin("logon carol", LONG_WAIT)), 10.0);
    finish("a standard user's attempts", attempts, since, &worked);
    EXPECT_EQ(0u, worked) << "1: record writable, 2: lock reachable, 4: a value writable";
    EXPECT_EQ(2u, record()->_dwLoggedOn) << "the user's logon events counted nothing";
    EXPECT_EQ(0, record()->_shutdownWhenComplete + record()->_final_popup_enabled + record()->_someoneLooping);
    EXPECT_EQ(4u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "carol's logon alone used one";
    EXPECT_EQ(1u, dword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS));
    EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE));
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    std::string userTrace = temp + trace_.substr(trace_.find_last_of('\\') + 1) + ".user";
    EXPECT_TRUE(fileContains(userTrace, "not allowed in a standard-user process")) << userTrace;
    EXPECT_FALSE(fileContains(trace_, "not allowed in a standard-user process")) << "a file of its own";
    CloseHandle(user);
}

TEST_F(Faults, test_a_trace_lock_held_for_good_costs_nothing_while_tracing_is_off)
{
    removeValue(KVD_MAIN_KEY, VAL_TRACE_LEVEL);
    HeldLock traceLock("KVDNotificationSemaphore_trace", false);
    DWORD ms;
    timed("engine call", agent("clients"), &ms);
    EXPECT_LT(ms, 500u) << "milliseconds of increaseRunningClients and decreaseRunningClients";
}

}  // namespace

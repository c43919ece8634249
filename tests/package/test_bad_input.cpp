// Bad input: every value of the registry schema of the wrong type, empty and
// 4 KB long; a malformed queue file; odd notify files; a trace path in a
// missing folder. The shipped library (with the real jobupcall), ntfcfg and
// donemsg must not crash, must say what they found, and must apply defaults.
#include "bad_values.h"
#include "package_support.h"
#include "test_config.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

using namespace kvdtest;
using namespace kvdlib;
using namespace kvdpkg;

namespace {

struct SchemaValue {
    const char *key;
    const char *name;
    ValueKind kind;
    char ntfcfgOption;    // 0: not a setting of ntfcfg
    bool readByLibrary;   // the library's drive below reads it
};

// The settings the library's drive below reads; the rest are read by the programs.
const setting_id READ_BY_LIBRARY[] = {
    SETTING_IS_ENABLED, SETTING_DENY_LOGON_ON_PAUSE_ERROR, SETTING_DEFAULT_SHUTDOWN_ALLOWED,
    SETTING_COMPLETION_PROGRAM_PATH, SETTING_COMPLETION_POPUP_ENABLED, SETTING_UPCALL_PROGRAM,
    SETTING_UPCALL_TIMEOUT, SETTING_XEP_BINDIR, SETTING_XEP_CACHEDIR, SETTING_XEP_DATDIR,
};

const SchemaValue STATE_VALUES[] = {
    {KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, KIND_DWORD, 0, true},
    {KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, KIND_DWORD, 0, true},
    {KVD_MAIN_KEY, VAL_PAUSED_QUEUE, KIND_MULTI, 0, true},
    {KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, KIND_DWORD, 0, true},
    {KVD_POPCTL_KEY, VAL_IS_ACTIVE, KIND_DWORD, 0, false},
    {KVD_POPCTL_KEY, VAL_POPUP_TYPE, KIND_DWORD, 0, false},
    {KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, KIND_TEXT, 0, false},
};

// Every setting of the table, then the state.
std::vector<SchemaValue> schema()
{
    std::vector<SchemaValue> values;
    for (int id = 0; id < SETTING_COUNT; id++) {
        const setting_row &row = SETTINGS[id];
        bool readByLibrary = std::find(std::begin(READ_BY_LIBRARY), std::end(READ_BY_LIBRARY), id)
                             != std::end(READ_BY_LIBRARY);
        values.push_back({row.key, row.name, row.type == SETTING_TEXT ? KIND_TEXT : KIND_DWORD, row.option,
                          readByLibrary});
    }
    values.insert(values.end(), std::begin(STATE_VALUES), std::end(STATE_VALUES));
    return values;
}

// Whether the reader gets nothing usable from a bad value and must apply its default.
bool unreadable(ValueKind kind, BadForm form)
{
    // An empty multi-string is an empty list, an empty text an empty text; a
    // REG_DWORD holds a number only with exactly four bytes.
    return form == WRONG_TYPE || kind == KIND_DWORD || (form == LONG_4K && kind == KIND_MULTI);
}

class BadInput : public LibraryTest {
protected:

    // The three keys with a working configuration, a queue with D1 and D2
    // active, a notify file naming two distributions that are not in the
    // queue (a list whose pause fails as a whole).
    void baseline(const std::string &traceName)
    {
        deleteKeys();
        createKeys();
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
        installUpcall(30);
        setDword(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_ENABLED, 1);
        // One marker per case: a completion program started late cannot be taken for the next case's.
        completionMarker_ = workDir() + "\\" + traceName + ".completion";
        setString(KVD_MAIN_KEY, VAL_COMPLETION_PROGRAM_PATH, testBin("record_args.exe") + " " + completionMarker_);
        DeleteFileA(completionMarker_.c_str());
        writeQueue({palventoJob("D1", 0, 3), palventoJob("D2", 0, 3)});
        writeNotifyFile("D9,D8");
        resetRecord();
        trace_ = enableTrace(2, traceName);
    }

    // The library's round of a plan: the engine announces D2 (budget 2),
    // the machine starts, alice logs on (one logon used; the pause of the
    // notify file's distributions fails: denied), the engine asks again (D2 paused), alice logs off (D2
    // resumed), the engine ends D2 and the completion program is started.
    void drivePlan()
    {
        WLX_NOTIFICATION_INFO alice = notificationFor(L"alice");
        library().increaseRunningClients("D2");
        firstAnswer_ = library().pauseMeIfNeeded("localhost", "D2", 1, 2, 1);
        library().startUp(&alice);
        library().logon(&alice);
        secondAnswer_ = library().pauseMeIfNeeded("localhost", "D2", 1, 2, 1);
        library().logoff(&alice);
        library().enableFinalPopup();
        library().decreaseRunningClients("D2");
    }

    // What must hold whatever the bad value was.
    void expectSound(const std::string &what)
    {
        EXPECT_EQ(0u, record()->_dwLoggedOn) << what;
        EXPECT_EQ(0, record()->_someoneLooping) << what;
        EXPECT_EQ(0, record()->_upcallRunning) << what;
        EXPECT_TRUE(pausedInQueue().empty()) << what;
        EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE)) << what;
        EXPECT_EQ(0u, dwordOf(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS)) << what;
        EXPECT_EQ((DWORD)NO_PLAN_RUNNING, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << what;
    }

    // An error line of the trace that names the value.
    bool tracedError(const char *name)
    {
        for (const std::string &line : readLines(trace_))
            if (line.find("[E]") != std::string::npos && line.find(name) != std::string::npos)
                return true;
        return false;
    }

    void expectDefaults(const SchemaValue &value, BadForm form, const std::string &what);
    void expectNtfcfgReads(const SchemaValue &value, BadForm form, const std::string &what);
    void runForm(BadForm form);

    std::string completionMarker_;
    int firstAnswer_ = (int)SENTINEL;
    int secondAnswer_ = (int)SENTINEL;
};

// The defaults the documentation gives, where the drive makes them visible.
void BadInput::expectDefaults(const SchemaValue &value, BadForm form, const std::string &what)
{
    std::string name = value.name;
    bool readable = !unreadable(value.kind, form);
    if (name == VAL_IS_ENABLED) {
        EXPECT_EQ(0, firstAnswer_) << what << ": switched off";
        if (!readable) {
            EXPECT_EQ(0u, dwordOf(KVD_MAIN_KEY, VAL_IS_ENABLED)) << what << ": 0 written back";
        }
        return;
    }
    EXPECT_EQ(2, firstAnswer_) << what << ": nobody logged on yet";
    EXPECT_EQ(1, secondAnswer_) << what << ": alice is logged on";
    if (name == VAL_TRACE_LEVEL || name == VAL_TRACE_PATH) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(trace_.c_str())) << what << ": tracing off";
    }
    if (readable || name == VAL_TRACE_LEVEL || name == VAL_TRACE_PATH)
        return;
    if (name == VAL_DENY_LOGON_ON_PAUSE_ERROR) {
        EXPECT_EQ(1u, dwordOf(KVD_MAIN_KEY, VAL_DENY_LOGON_ON_PAUSE_ERROR)) << what;
        EXPECT_EQ(1u, dwordOf(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << what << ": alice refused";
    }
    if (name == VAL_DEFAULT_SHUTDOWN_ALLOWED || name == VAL_CURR_SHUTDOWN_LEFT) {
        EXPECT_EQ(DEF_DEFAULT_SHUTDOWN_ALLOWED, dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT)) << what;
    }
    if (name == VAL_DEFAULT_SHUTDOWN_ALLOWED) {
        EXPECT_EQ(DEF_DEFAULT_SHUTDOWN_ALLOWED, dwordOf(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED)) << what;
    }
    if (name == VAL_UPCALL_TIMEOUT) {
        EXPECT_EQ(DEF_UPCALL_TIMEOUT, dwordOf(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT)) << what << ": written back";
    }
    if (name == VAL_COMPLETION_PROGRAM_PATH || name == VAL_COMPLETION_POPUP_ENABLED) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(completionMarker_.c_str()))
            << what << ": no completion program";
    }
    if (name == VAL_PAUSED_QUEUE && form == LONG_4K) {
        EXPECT_TRUE(fileContains(trace_, "[E] initializePausedList ERROR: invalid persistent list structure!")) << what;
    } else {
        EXPECT_TRUE(tracedError(value.name)) << what << ": no error line names the value";
    }
}

// ntfcfg -g prints what is stored, and nothing past it; a value it cannot read prints 0, false or nothing.
void BadInput::expectNtfcfgReads(const SchemaValue &value, BadForm form, const std::string &what)
{
    if (value.ntfcfgOption == 0)
        return;
    ProcessResult got = runProgram(productBin("ntfcfg.exe") + " -g -" + std::string(1, value.ntfcfgOption));
    EXPECT_EQ(0u, got.exitCode) << what << ": " << got.err;
    std::string out = withoutCR(got.out);
    if (value.kind == KIND_TEXT && form == LONG_4K) {
        EXPECT_TRUE(out == longText() + "\n") << what << ": " << out.size() << " bytes printed";
    } else if (value.kind == KIND_TEXT || form == LONG_4K) {
        EXPECT_LE(out.size(), 12u) << what;
    } else {
        EXPECT_TRUE(out == "0\n" || out == "false\n") << what << ": '" << out << "'";
    }
}

void BadInput::runForm(BadForm form)
{
    for (const SchemaValue &value : schema()) {
        std::string what = std::string(value.name) + " " + FORM_NAMES[form];
        baseline(std::string("bad_") + value.name + "_" + std::to_string(form) + ".trc");
        DWORD type;
        std::string bytes;
        badValue(value.kind, form, &type, &bytes);
        setRaw(value.key, value.name, type, bytes);
        expectNtfcfgReads(value, form, what);
        // The values of popctl and donemsg alone change nothing the library does.
        bool traceSetting = value.name == std::string(VAL_TRACE_LEVEL) || value.name == std::string(VAL_TRACE_PATH);
        if (!value.readByLibrary && !traceSetting)
            continue;
        firstAnswer_ = secondAnswer_ = (int)SENTINEL;
        drivePlan();
        expectSound(what);
        expectDefaults(value, form, what);
    }
}

TEST_F(BadInput, test_every_value_of_the_wrong_type)
{
    runForm(WRONG_TYPE);
}

TEST_F(BadInput, test_every_value_empty)
{
    runForm(EMPTY);
}

TEST_F(BadInput, test_every_value_4_kb_long)
{
    runForm(LONG_4K);
}

// A queue file with a line that does not parse: every queue call fails, the
// file stays as it was, and a resume loop that cannot resume ends by a logon.
TEST_F(BadInput, test_a_malformed_queue_file)
{
    installUpcall(30);
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
    // D1 was paused and recorded before the file went bad.
    setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ, multiString({"localhost", "D1", "3"}));
    std::string malformed = palventoJob("D1", 1, 3) + "\r\n" + "dist_id:s=D2 state:h=zero app_id:s=Palvento\r\n";
    writeQueueText(malformed);
    writeNotifyFile("D1");
    WLX_NOTIFICATION_INFO alice = notificationFor(L"alice"), bob = notificationFor(L"bob");

    library().logon(&alice);
    EXPECT_EQ(2u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "one logon of the budget used";
    EXPECT_EQ(1u, dwordOf(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << "the pause failed: refused";
    EXPECT_EQ(1, library().pauseMeIfNeeded("localhost", "D2", 1, 2, 0));
    EXPECT_TRUE(fileContains(trace_, "[E] KVDEventLogon ERROR pausing distribution"));
    EXPECT_EQ(malformed, readFile(queuePath())) << "the file is not changed";

    // Alice leaves: the resume fails and the loop waits; bob's logon ends it.
    HANDLE logoff = startThread([](void *info) { library().logoff((PWLX_NOTIFICATION_INFO)info); }, &alice);
    DWORD waited = 0;
    while (!fileContains(trace_, "ERROR: resume failed!!") && waited < 30000) {
        Sleep(100);
        waited += 100;
    }
    EXPECT_TRUE(fileContains(trace_, "[E] resumePendingDistributions ERROR resumeAllDistributions failed"));
    EXPECT_EQ(1, record()->_someoneLooping);
    library().logon(&bob);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(logoff, 5000)) << "the loop ended within a second of the logon";
    CloseHandle(logoff);
    EXPECT_TRUE(fileContains(trace_, "someone logged on, exiting..."));
    EXPECT_EQ(0, record()->_someoneLooping);
    EXPECT_EQ((std::vector<std::string>{"localhost", "D1", "3"}), pausedQueue()) << "kept for the next attempt";

    // The file mended, bob's logoff resumes D1.
    writeQueue({palventoJob("D1", 1, 3)});
    library().logoff(&bob);
    EXPECT_TRUE(pausedInQueue().empty());
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE));
}

struct NotifyCase {
    const char *name;
    std::string bytes;
    std::string distID;   // what the library must read: at most 200 bytes, up to a zero byte
};

std::vector<NotifyCase> notifyCases()
{
    std::string binary;
    for (int i = 0; i < 200; i++)
        binary += (char)(1 + (i * 37) % 255);
    std::string id200(200, 'N'), id300 = std::string(200, 'T') + std::string(100, 'X');
    // The ID ends at the first line end; blanks before it are not part of it.
    std::string binaryID = binary.substr(0, binary.find_first_of("\r\n"));
    binaryID.erase(binaryID.find_last_not_of(" \t") + 1);
    return {{"0 bytes", "", ""},
            {"200 bytes", id200, id200},
            {"300 bytes", id300, id300.substr(0, 200)},
            {"binary bytes", binary, binaryID},
            {"a zero byte inside", std::string("D3\0\xff\xfe", 5), "D3"},
            {"a blank and an option", "D3 -R", "D3 -R"}};
}

// Notify files of odd sizes and contents: the logon reads at most 200 bytes,
// pauses what they name when it is a job, and touches no other job.
TEST_F(BadInput, test_notify_files_of_0_200_300_and_binary_bytes)
{
    for (const NotifyCase &c : notifyCases()) {
        baseline(std::string("bad_notify_") + std::to_string(c.bytes.size()) + ".trc");
        std::string printable = c.distID.find_first_of(" \r\n\t%\"") == std::string::npos &&
                                        c.distID.find_first_not_of("NTX3D") == std::string::npos
                                    ? c.distID
                                    : "";
        // D7 was paused at an earlier logon and must stay so while alice is logged on.
        std::vector<std::string> jobs = {palventoJob("D7", 1, 3)};
        if (!printable.empty())
            jobs.push_back(palventoJob(printable, 0, 3));
        writeQueue(jobs);
        setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ, multiString({"localhost", "D7", "3"}));
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
        writeNotifyBytes(c.bytes);
        WLX_NOTIFICATION_INFO alice = notificationFor(L"alice");

        library().logon(&alice);
        std::string what = c.name;
        EXPECT_TRUE(fileContains(trace_, "Content of notify file is '" + c.distID + "'")) << what;
        EXPECT_EQ(2u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << what;
        std::set<std::string> paused = {"D7"};
        if (!printable.empty()) {
            paused.insert(printable);
            EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << what << ": allowed";
        } else {
            EXPECT_EQ(1u, dwordOf(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << what << ": nothing to pause, refused";
            EXPECT_TRUE(fileContains(trace_, "[E] KVDEventLogon ERROR pausing distribution")) << what;
        }
        EXPECT_EQ(paused, pausedInQueue()) << what;
        EXPECT_EQ(paused, recordedPaused()) << what;

        library().logoff(&alice);
        EXPECT_TRUE(pausedInQueue().empty()) << what;
        EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE)) << what;
        EXPECT_EQ(0, record()->_someoneLooping) << what;
    }
}

// A trace path in a folder that does not exist: nothing is written, nothing
// fails, and the programs that trace go on as without a trace.
TEST_F(BadInput, test_trace_path_in_a_missing_folder)
{
    std::string missing = workDir() + "\\no_such_folder\\kvd.trc";
    installUpcall(30);
    writeQueue({palventoJob("D1", 0, 2)});
    writeNotifyFile("D1");
    setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, 2);
    setString(KVD_MAIN_KEY, VAL_TRACE_PATH, missing);
    WLX_NOTIFICATION_INFO alice = notificationFor(L"alice");
    library().logon(&alice);
    EXPECT_EQ((std::set<std::string>{"D1"}), pausedInQueue());
    EXPECT_EQ(1u, dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED)) << "the queue's limit 2, one used";
    library().logoff(&alice);
    EXPECT_TRUE(pausedInQueue().empty());

    ProcessResult cfg = runProgram(productBin("ntfcfg.exe") + " -g -y");
    EXPECT_EQ(0u, cfg.exitCode);
    EXPECT_EQ(missing + "\n", withoutCR(cfg.out));
    // donemsg with another instance's mutex held exits at once, after its trace lines.
    HANDLE mutex = CreateMutexA(trustedObjectSecurity(), TRUE, "Global\\KVD_donemsg_mutex");
    ProcessResult done = runProgram(productBin("donemsg.exe") + " 0", 20000);
    CloseHandle(mutex);
    EXPECT_EQ(1u, done.exitCode);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((workDir() + "\\no_such_folder").c_str()))
        << "no folder is created";
}

}  // namespace

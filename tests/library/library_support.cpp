// library_support: the shipped library loaded by name, its shared record, and the fake upcall program's folder.
#include "library_support.h"
#include "export_binding.h"

#include <stdio.h>
#include <string.h>

using namespace kvdtest;

namespace kvdlib {

template <typename Fn>
static void bind(HMODULE module, const char *name, Fn *fn)
{
    *fn = exportOf<Fn>(module, name);
    if (*fn == NULL)
        ADD_FAILURE() << "the library does not export " << name;
}

const LibraryExports &library()
{
    static LibraryExports exports = {};
    if (exports.module == NULL) {
        exports.module = LoadLibraryA(productBin("KVDnotificationLibrary.dll").c_str());
        if (exports.module == NULL) {
            ADD_FAILURE() << "cannot load the library: error " << GetLastError();
            return exports;
        }
        bind(exports.module, "getNumLoggedOn", &exports.getNumLoggedOn);
        bind(exports.module, "pauseMeIfNeeded", &exports.pauseMeIfNeeded);
        bind(exports.module, "increaseRunningClients", &exports.increaseRunningClients);
        bind(exports.module, "decreaseRunningClients", &exports.decreaseRunningClients);
        bind(exports.module, "shutdownWhenComplete", &exports.shutdownWhenComplete);
        bind(exports.module, "enableFinalPopup", &exports.enableFinalPopup);
        bind(exports.module, "KVDEventStartUp", &exports.startUp);
        bind(exports.module, "KVDEventLogon", &exports.logon);
        bind(exports.module, "KVDEventLogoff", &exports.logoff);
        bind(exports.module, "KVDEventShutdown", &exports.shutdown);
    }
    return exports;
}

volatile shared_record *record()
{
    static volatile shared_record *view = NULL;
    if (view == NULL) {
        library().getNumLoggedOn();   // the first call opens the shared objects
        HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, SHARED_MEMORY_NAME);
        if (mapping != NULL)
            view = (volatile shared_record *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(shared_record));
        if (view == NULL)
            ADD_FAILURE() << "cannot map the shared record: error " << GetLastError();
        // the mapping handle stays open for the whole test program
    }
    return view;
}

void resetRecord()
{
    volatile shared_record *shared = record();
    shared->_dwLoggedOn = 0;
    shared->_upcallCode = 0;
    shared->_someoneLooping = 0;
    shared->_shutdownWhenComplete = 0;
    shared->_upcallRunning = 0;
    shared->_final_popup_enabled = 0;
}

WLX_NOTIFICATION_INFO notificationFor(const wchar_t *user)
{
    static wchar_t domain[] = L"WORKGROUP";
    static wchar_t station[] = L"WinSta0";
    WLX_NOTIFICATION_INFO info = {};
    info.Size = sizeof(info);
    info.UserName = (PWSTR)user;
    info.Domain = domain;
    info.WindowStation = station;
    return info;
}

static void writeFile(const std::string &path, const std::string &content)
{
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != NULL) << path;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}

FakeUpcall::FakeUpcall(const std::string &name) : dir_(workDir() + "\\" + name)
{
    CreateDirectoryA(dir_.c_str(), NULL);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir_ + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileA((dir_ + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void FakeUpcall::install(const std::string &binDir, const std::string &cacheDir)
{
    setString(KVD_UPCALL_KEY, VAL_UPCALL_PROGRAM, testBin("fake_upcall.exe") + " " + dir_);
    setString(KVD_UPCALL_KEY, VAL_XEP_BINDIR, binDir);
    setString(KVD_UPCALL_KEY, VAL_XEP_CACHEDIR, cacheDir);
    setString(KVD_UPCALL_KEY, VAL_XEP_DATDIR, "Z:\\ep\\dat");
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, 0);
}

void FakeUpcall::answer(int exitCode, const std::string &output)
{
    writeFile(dir_ + "\\answer.txt", std::to_string(exitCode) + "\n" + output);
}

void FakeUpcall::hang()
{
    writeFile(dir_ + "\\answer.txt", "hang\n");
}

void FakeUpcall::answerCall(int call, int exitCode, const std::string &output)
{
    writeFile(dir_ + "\\answer" + std::to_string(call) + ".txt", std::to_string(exitCode) + "\n" + output);
}

static std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> FakeUpcall::calls() const
{
    return splitLines(readFile(dir_ + "\\calls.log"));
}

std::vector<std::string> FakeUpcall::environment(int call) const
{
    return splitLines(readFile(dir_ + "\\env" + std::to_string(call) + ".txt"));
}

static std::string notifyFilePath()
{
    return windowsDirFile(NOTIFY_FILE_NAME + 1);   // the name without its leading backslash
}

void writeNotifyFile(const std::string &distID)
{
    writeFile(notifyFilePath(), distID);
}

void removeNotifyFile()
{
    DeleteFileA(notifyFilePath().c_str());
}

std::vector<std::string> pausedQueue()
{
    std::vector<std::string> strings;
    DWORD type;
    std::string bytes;
    if (!getRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, &type, &bytes))
        return strings;
    size_t start = 0, end;
    while ((end = bytes.find('\0', start)) != std::string::npos && end > start) {
        strings.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

std::string logonStandin(const std::string &steps, DWORD waitMs)
{
    return productBin("logon_standin.exe") + " --wait " + std::to_string(waitMs) + " " + steps;
}

std::string waitForFile(const std::string &path, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return readFile(path);
        Sleep(50);
    }
    return "";
}

struct ThreadStart {
    void (*fn)(void *);
    void *argument;
};

static DWORD WINAPI threadMain(LPVOID param)
{
    ThreadStart start = *(ThreadStart *)param;
    delete (ThreadStart *)param;
    start.fn(start.argument);
    return 0;
}

HANDLE startThread(void (*fn)(void *), void *argument)
{
    return CreateThread(NULL, 0, threadMain, new ThreadStart{fn, argument}, 0, NULL);
}

void LibraryTest::SetUp()
{
    RegistryTest::SetUp();
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
    resetRecord();
    removeNotifyFile();
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    trace_ = enableTrace(2, std::string(info->name()) + ".trc");
}

void LibraryTest::TearDown()
{
    resetRecord();
    removeNotifyFile();
    RegistryTest::TearDown();
}

}  // namespace kvdlib

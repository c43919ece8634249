// library_support: the shipped library loaded by name, its shared record, and the fake upcall program's folder.
#ifndef KVD_LIBRARY_SUPPORT_H
#define KVD_LIBRARY_SUPPORT_H

#include "test_support.h"
#include "KVDnotificationLibrary.h"

#include <string>
#include <vector>

namespace kvdlib {

// The exports of the shipped library, loaded once per test program.
struct LibraryExports {
    HMODULE module;
    int(WINAPI *getNumLoggedOn)();
    int(WINAPI *pauseMeIfNeeded)(const char *, const char *, int, int, int);
    void(WINAPI *increaseRunningClients)(const char *);
    void(WINAPI *decreaseRunningClients)(const char *);
    void(WINAPI *shutdownWhenComplete)(int);
    void(WINAPI *enableFinalPopup)();
    void(WINAPI *startUp)(PWLX_NOTIFICATION_INFO);
    void(WINAPI *logon)(PWLX_NOTIFICATION_INFO);
    void(WINAPI *logoff)(PWLX_NOTIFICATION_INFO);
    void(WINAPI *shutdown)(PWLX_NOTIFICATION_INFO);
};
const LibraryExports &library();

// The shared record, mapped by this process (the loaded library keeps it alive).
volatile shared_record *record();
void resetRecord();

// A filled notification record for the given user; the texts are static.
WLX_NOTIFICATION_INFO notificationFor(const wchar_t *user);

// The fake upcall program's control folder: what it answers and what it saw.
class FakeUpcall {
public:
    explicit FakeUpcall(const std::string &name);
    void install(const std::string &binDir = "Z:\\ep\\bin", const std::string &cacheDir = "Z:\\ep\\cache");
    void answer(int exitCode, const std::string &output = "");
    void answerCall(int call, int exitCode, const std::string &output = "");
    void hang();   // every call hangs while the event "KVDFakeUpcallRelease" exists and is not set
    std::vector<std::string> calls() const;        // the command lines, one per call
    std::vector<std::string> environment(int call) const;
    std::string dir() const { return dir_; }

private:
    std::string dir_;
};

// The library's view of the notify file and of the paused queue.
void writeNotifyFile(const std::string &distID);
void removeNotifyFile();
std::vector<std::string> pausedQueue();            // the strings of _pausedQueue, empty when absent

// Waits up to timeoutMs for a file and returns its content ("" on time-out).
std::string waitForFile(const std::string &path, DWORD timeoutMs);
// The logon-process stand-in's command line: its steps, each handler waited for up to waitMs.
std::string logonStandin(const std::string &steps, DWORD waitMs = 60000);
// Runs fn on a thread of its own; the caller waits for and closes the handle.
HANDLE startThread(void (*fn)(void *), void *argument);

// Every case: the three keys empty, the library on, the record zeroed, no
// notify file, tracing into a fresh file of its own.
class LibraryTest : public kvdtest::RegistryTest {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string trace_;
};

}  // namespace kvdlib

#endif

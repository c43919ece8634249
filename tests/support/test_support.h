// test_support: registry fixture, paths and process helpers shared by the test programs.
#ifndef KVD_TEST_SUPPORT_H
#define KVD_TEST_SUPPORT_H

#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "registry_schema.h"

namespace kvdtest {

// ---- paths (Wine maps the Unix root to drive Z:) ----
std::string winPath(const std::string &unixPath);
std::string productBin(const std::string &file);   // a shipped binary
std::string testBin(const std::string &file);      // a test helper program
std::string workDir();                             // a scratch folder of the test tree, created on demand
std::string windowsDirFile(const std::string &file);

// ---- registry (HKEY_LOCAL_MACHINE; tests may create keys, the product never does) ----
void deleteKeys();                                 // removes Software\Orvane and its policy keys with everything under them
void createKeys();                                 // creates the main key and its two subkeys, empty
void createPolicyKeys();                           // creates the three policy keys, empty
void setDword(const char *key, const char *name, DWORD value);
void setString(const char *key, const char *name, const std::string &value);
void setRaw(const char *key, const char *name, DWORD type, const std::string &bytes);
bool getDword(const char *key, const char *name, DWORD *value);
DWORD dword(const char *key, const char *name);    // 0xdeadbeef when missing or of another type
bool getString(const char *key, const char *name, std::string *value);
bool getRaw(const char *key, const char *name, DWORD *type, std::string *bytes);
bool valueExists(const char *key, const char *name);
bool keyExists(const char *key);
std::string dwordBytes(DWORD value);                // a REG_DWORD's four bytes
void removeValue(const char *key, const char *name);

// A multi-string from its texts: each ended by a zero byte, then one more.
std::string multiString(const std::vector<std::string> &texts);

// ---- trace ----
// Switches tracing on into a fresh file of the work folder and returns the Windows path
// this session's processes write to (the name with the session suffix).
std::string enableTrace(DWORD level, const std::string &fileName);
std::string readFile(const std::string &path);
bool fileContains(const std::string &path, const std::string &text);
std::vector<std::string> readLines(const std::string &path);   // split at CRLF

// ---- processes ----
struct ProcessResult {
    DWORD exitCode = 0xdeadbeef;
    std::string out;
    std::string err;
    bool timedOut = false;
};
// Runs a command line with hidden console, captures standard output and error.
ProcessResult runProgram(const std::string &cmdLine, DWORD timeoutMs = 60000, const char *currentDir = NULL);
// Starts a command line, as the token's user when one is given, and returns
// its process handle (caller closes).
HANDLE startProgram(const std::string &cmdLine, HANDLE token = NULL);
DWORD waitExitCode(HANDLE process, DWORD timeoutMs = 60000);

// ---- a standard user ----
// A restricted token of this process's user, as a user who is no administrator
// holds: Administrators deny-only, every privilege deleted (Wine ignores
// DISABLE_MAX_PRIVILEGE) but SeShutdownPrivilege when mayShutDown. Caller closes.
HANDLE standardUserToken(bool mayShutDown);
// The security attributes the package's trusted processes give their objects: owner Administrators.
SECURITY_ATTRIBUTES *trustedObjectSecurity();
// ---- the event log ----
// Wine's event log is a stub that prints each event on its debug channels, into
// the output file of scripts/wine-run.sh (KVD_WINE_OUTPUT).
struct LoggedEvent {
    DWORD id = 0;
    WORD type = 0;
    std::vector<std::string> inserts;
};
// Runs a command line with those channels on; the events its processes wrote.
std::vector<LoggedEvent> runLoggingEvents(const std::string &cmdLine, DWORD timeoutMs = 60000);
// The sentence of event id in library's message table with the inserts, as
// Event Viewer shows it ("" when the table lacks it).
std::string formatEvent(const std::string &library, DWORD id, const std::vector<std::string> &inserts);

// Every case starts from the three keys present and empty, tracing off.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace kvdtest

#endif

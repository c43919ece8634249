// upcall_endpoint: an endpoint for jobupcall runs: folders, queue file, the child's environment, authorized runs.
#include "upcall_endpoint.h"
#include "KVDnotificationLibrary.h"
#include "program_util.h"

#include <algorithm>
#include <stdlib.h>
#include <string.h>

namespace upcalltest {

static const char *const RUNTIME_DLLS[] = {"libkfr60.dll", "libvqcore.dll", "libzpl60.dll", "libqprop60.dll",
                                           "libqmob60.dll"};

static void copyInto(const std::string &file, const std::string &folder)
{
    std::string target = folder + "\\" + file;
    ASSERT_TRUE(CopyFileA(kvdtest::productBin(file).c_str(), target.c_str(), FALSE))
        << "copying " << file << " to " << folder << ": error " << GetLastError();
}

// Installed once per test program; the library is compiled in and attached by hand.
static Endpoint install()
{
    Endpoint site;
    site.root = kvdtest::workDir() + "\\endpoint";
    site.appDir = site.root + "\\app";
    site.binDir = site.root + "\\bin";
    site.cacheDir = site.root + "\\cache";
    site.dataDir = site.root + "\\data";
    for (const std::string &folder : {site.root, site.appDir, site.binDir, site.cacheDir, site.dataDir})
        CreateDirectoryA(folder.c_str(), NULL);
    copyInto("jobupcall.exe", site.appDir);
    copyInto("KVDnotificationLibrary.dll", site.appDir);
    for (const char *dll : RUNTIME_DLLS)
        copyInto(dll, site.binDir);
    initialize();
    return site;
}

const Endpoint &endpoint()
{
    static Endpoint site = install();
    return site;
}

std::string queuePath()
{
    return endpoint().dataDir + "\\korvo2queue.txt";
}

void writeQueue(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\r\n";
    HANDLE file = CreateFileA(queuePath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << queuePath();
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    ASSERT_EQ(text.size(), written);
}

std::string readQueue()
{
    return kvdtest::readFile(queuePath());
}

std::string tracePath()
{
    return endpoint().dataDir + "\\upctrc1.trc";
}

static std::string withoutCarriageReturns(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string readTrace()
{
    return withoutCarriageReturns(kvdtest::readFile(tracePath()));
}

bool traceContains(const std::string &text)
{
    return readTrace().find(text) != std::string::npos;
}

std::string myJob(const std::string &distID, int state, const std::string &extra)
{
    return "dist_id:s=" + distID + " app_id:s=Palvento state:h=" + std::to_string(state) +
           " SW_CONCURRENT_LOGIN_ALLOWED:l=1" + (extra.empty() ? "" : " " + extra);
}

static bool isReplaced(const char *entry)
{
    static const char *const names[] = {"PATH=", "XEP_BINDIR=", "XEP_CACHEDIR=", "XEP_DATDIR="};
    for (const char *name : names)
        if (_strnicmp(entry, name, strlen(name)) == 0)
            return true;
    return false;
}

static std::string currentPath()
{
    char value[32768];
    DWORD length = GetEnvironmentVariableA("PATH", value, sizeof(value));
    return length > 0 && length < sizeof(value) ? value : "";
}

std::string childEnvironment(const std::vector<std::string> &extra)
{
    const Endpoint &site = endpoint();
    std::string block;
    char *strings = GetEnvironmentStringsA();
    for (const char *entry = strings; *entry != '\0'; entry += strlen(entry) + 1)
        if (!isReplaced(entry))
            block += std::string(entry) + '\0';
    FreeEnvironmentStringsA(strings);
    std::vector<std::string> added = {"Path=" + site.binDir + ";" + site.cacheDir + ";" + currentPath(),
                                      "XEP_BINDIR=" + site.binDir, "XEP_CACHEDIR=" + site.cacheDir,
                                      "XEP_DATDIR=" + site.dataDir};
    added.insert(added.end(), extra.begin(), extra.end());
    for (const std::string &entry : added)
        block += entry + '\0';
    return block + '\0';
}

std::string jobupcallPath()
{
    return endpoint().appDir + "\\jobupcall.exe";
}

// The runner hands the child our own standard error: point it at a file for the run.
UpcallResult runUpcall(const std::string &arguments, const std::vector<std::string> &extraEnvironment)
{
    UpcallResult result;
    std::string errPath = endpoint().root + "\\stderr.txt";
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), NULL, TRUE};
    HANDLE errFile = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, errFile);
    HANDLE savedErr = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, errFile);

    std::string command = jobupcallPath() + (arguments.empty() ? "" : " " + arguments);
    std::vector<char> commandLine(command.begin(), command.end());
    commandLine.push_back('\0');
    std::string environment = childEnvironment(extraEnvironment);
    child_result child;
    char *out = execProgram(commandLine.data(), &environment[0], &child, CHILD_WAIT_CEILING_MS, &shareData->_upcallCode);
    result.exitCode = child.exitCode;

    SetStdHandle(STD_ERROR_HANDLE, savedErr);
    CloseHandle(errFile);
    result.out = withoutCarriageReturns(out != NULL ? out : "");
    free(out);
    result.err = withoutCarriageReturns(kvdtest::readFile(errPath));
    EXPECT_EQ(0u, shareData->_upcallCode) << "the runner clears the child's identifier when it ends";
    return result;
}

UpcallResult runUpcallDirectly(const std::string &arguments)
{
    // The runtime DLLs are found through Path, as in the library's children.
    std::string savedPath = currentPath();
    SetEnvironmentVariableA("PATH", (endpoint().binDir + ";" + savedPath).c_str());
    kvdtest::ProcessResult run = kvdtest::runProgram(jobupcallPath() + (arguments.empty() ? "" : " " + arguments));
    SetEnvironmentVariableA("PATH", savedPath.c_str());
    UpcallResult result;
    result.exitCode = run.exitCode;
    result.out = withoutCarriageReturns(run.out);
    result.err = withoutCarriageReturns(run.err);
    return result;
}

std::string usageText()
{
    return "Usage: " + jobupcallPath() + " [-t upcall_timeout] [-l| -p distID,... | -P | -r distID,... | -R]\n"
           "          -t  upcall timeout\n"
           "          -l  list all active distributions\n"
           "          -L  list all paused distributions\n"
           "          -p  pause distributions\n"
           "          -P  pause all distributions\n"
           "          -r  resume distributions\n"
           "          -R  resume all distributions\n";
}

void UpcallTest::SetUp()
{
    kvdtest::RegistryTest::SetUp();
    endpoint();
    DeleteFileA(queuePath().c_str());
    DeleteFileA(tracePath().c_str());
}

}  // namespace upcalltest

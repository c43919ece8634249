// test_support: registry fixture, paths and process helpers shared by the test programs.
#include "test_support.h"

#include <sddl.h>
#include "test_config.h"

#include <shlwapi.h>
#include <stdio.h>
#include <fstream>
#include <map>
#include <sstream>

namespace kvdtest {

std::string winPath(const std::string &unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string productBin(const std::string &file)
{
    return winPath(std::string(KVD_PRODUCT_BIN_UNIX) + "/" + file);
}

std::string testBin(const std::string &file)
{
    return winPath(std::string(KVD_TEST_BIN_UNIX) + "/" + file);
}

std::string workDir()
{
    std::string dir = winPath(KVD_TEST_WORK_UNIX);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

std::string windowsDirFile(const std::string &file)
{
    char dir[MAX_PATH];
    GetWindowsDirectoryA(dir, sizeof(dir));
    return std::string(dir) + "\\" + file;
}

void deleteKeys()
{
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Orvane");
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Policies\\Orvane");
}

static void createKey(const char *path)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL))
        << path;
    RegCloseKey(key);
}

void createKeys()
{
    createKey(KVD_MAIN_KEY);
    createKey(KVD_POPCTL_KEY);
    createKey(KVD_UPCALL_KEY);
}

void createPolicyKeys()
{
    for (const char *key : {KVD_POLICY_MAIN_KEY, KVD_POLICY_POPCTL_KEY, KVD_POLICY_UPCALL_KEY})
        createKey(key);
}

void setRaw(const char *key, const char *name, DWORD type, const std::string &bytes)
{
    HKEY handle;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &handle)) << key;
    LONG status = RegSetValueExA(handle, name, 0, type, (const BYTE *)bytes.data(), (DWORD)bytes.size());
    RegCloseKey(handle);
    ASSERT_EQ(ERROR_SUCCESS, status) << key << "\\" << name;
}

std::string dwordBytes(DWORD value)
{
    return std::string((const char *)&value, sizeof(value));
}

bool keyExists(const char *key)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void setDword(const char *key, const char *name, DWORD value)
{
    setRaw(key, name, REG_DWORD, dwordBytes(value));
}

void setString(const char *key, const char *name, const std::string &value)
{
    setRaw(key, name, REG_SZ, std::string(value.c_str(), value.size() + 1));
}

bool getRaw(const char *key, const char *name, DWORD *type, std::string *bytes)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    LONG status = RegQueryValueExA(handle, name, NULL, type, NULL, &size);
    if (status == ERROR_SUCCESS) {
        bytes->assign(size, '\0');
        status = RegQueryValueExA(handle, name, NULL, type, (BYTE *)&(*bytes)[0], &size);
        bytes->resize(size);
    }
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

bool getDword(const char *key, const char *name, DWORD *value)
{
    DWORD type;
    std::string bytes;
    if (!getRaw(key, name, &type, &bytes) || type != REG_DWORD || bytes.size() != sizeof(DWORD))
        return false;
    memcpy(value, bytes.data(), sizeof(DWORD));
    return true;
}

DWORD dword(const char *key, const char *name)
{
    DWORD value = 0xdeadbeef;
    getDword(key, name, &value);
    return value;
}

bool getString(const char *key, const char *name, std::string *value)
{
    DWORD type;
    std::string bytes;
    if (!getRaw(key, name, &type, &bytes) || type != REG_SZ)
        return false;
    *value = bytes.c_str();
    return true;
}

bool valueExists(const char *key, const char *name)
{
    DWORD type;
    std::string bytes;
    return getRaw(key, name, &type, &bytes);
}

void removeValue(const char *key, const char *name)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(handle, name);
    RegCloseKey(handle);
}

std::string multiString(const std::vector<std::string> &texts)
{
    std::string result;
    for (const std::string &text : texts) {
        result += text;
        result += '\0';
    }
    result += '\0';
    return result;
}

std::string enableTrace(DWORD level, const std::string &fileName)
{
    std::string path = workDir() + "\\" + fileName;
    setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, level);
    setString(KVD_MAIN_KEY, VAL_TRACE_PATH, path);
    // Processes of a session other than 0 write to "path.N" (under Wine: session 1).
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    if (session != 0)
        path += "." + std::to_string(session);
    DeleteFileA(path.c_str());
    return path;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool fileContains(const std::string &path, const std::string &text)
{
    return readFile(path).find(text) != std::string::npos;
}

std::vector<std::string> readLines(const std::string &path)
{
    std::string content = readFile(path);
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = content.find("\r\n", start)) != std::string::npos) {
        lines.push_back(content.substr(start, end - start));
        start = end + 2;
    }
    if (start < content.size())
        lines.push_back(content.substr(start));
    return lines;
}

struct PipeReader {
    HANDLE pipe;
    std::string text;
};

static DWORD WINAPI drainPipe(LPVOID param)
{
    PipeReader *reader = (PipeReader *)param;
    char buffer[4096];
    DWORD got;
    while (ReadFile(reader->pipe, buffer, sizeof(buffer), &got, NULL) && got > 0)
        reader->text.append(buffer, got);
    return 0;
}

static void makePipe(HANDLE *readEnd, HANDLE *writeEnd)
{
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, TRUE};
    CreatePipe(readEnd, writeEnd, &attributes, 0);
    SetHandleInformation(*readEnd, HANDLE_FLAG_INHERIT, 0);
}

// Wine's CreateProcess fails now and then with ERROR_INTERNAL_ERROR while many
// processes start at once; a later attempt starts the program.
static BOOL createProcess(const std::string &cmdLine, BOOL inherit, DWORD flags, const char *currentDir,
                          STARTUPINFOA *startup, PROCESS_INFORMATION *info, HANDLE token = NULL)
{
    std::vector<char> line(cmdLine.begin(), cmdLine.end());
    line.push_back('\0');
    for (int attempt = 1;; attempt++) {
        if (token != NULL ? CreateProcessAsUserA(token, NULL, line.data(), NULL, NULL, inherit, flags, NULL,
                                                 currentDir, startup, info)
                          : CreateProcessA(NULL, line.data(), NULL, NULL, inherit, flags, NULL, currentDir, startup,
                                           info))
            return TRUE;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3)
            return FALSE;
        Sleep(200);
    }
}

ProcessResult runProgram(const std::string &cmdLine, DWORD timeoutMs, const char *currentDir)
{
    ProcessResult result;
    HANDLE outRead, outWrite, errRead, errWrite;
    makePipe(&outRead, &outWrite);
    makePipe(&errRead, &errWrite);

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info = {};
    BOOL started = createProcess(cmdLine, TRUE, CREATE_NO_WINDOW, currentDir, &startup, &info);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (!started) {
        ADD_FAILURE() << "cannot start '" << cmdLine << "': error " << GetLastError();
        CloseHandle(outRead);
        CloseHandle(errRead);
        return result;
    }
    PipeReader outReader = {outRead, ""}, errReader = {errRead, ""};
    HANDLE threads[2] = {CreateThread(NULL, 0, drainPipe, &outReader, 0, NULL),
                         CreateThread(NULL, 0, drainPipe, &errReader, 0, NULL)};
    if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_TIMEOUT) {
        result.timedOut = true;
        TerminateProcess(info.hProcess, 0xdead);
        ADD_FAILURE() << "'" << cmdLine << "' did not end within " << timeoutMs << " ms";
    }
    WaitForMultipleObjects(2, threads, TRUE, 10000);
    GetExitCodeProcess(info.hProcess, &result.exitCode);
    result.out = outReader.text;
    result.err = errReader.text;
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    CloseHandle(outRead);
    CloseHandle(errRead);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return result;
}

HANDLE standardUserToken(bool mayShutDown)
{
    HANDLE token = NULL, restricted = NULL;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(administrators);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &sidSize);
    SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
    std::vector<BYTE> buffer(8192);
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, buffer.data(), (DWORD)buffer.size(), &size);
    TOKEN_PRIVILEGES *held = (TOKEN_PRIVILEGES *)buffer.data();
    std::vector<LUID_AND_ATTRIBUTES> deleted;
    LUID shutdown = {};
    LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &shutdown);
    for (DWORD i = 0; i < held->PrivilegeCount; i++) {
        LUID luid = held->Privileges[i].Luid;
        if (!(mayShutDown && luid.LowPart == shutdown.LowPart && luid.HighPart == shutdown.HighPart))
            deleted.push_back(held->Privileges[i]);
    }
    if (!CreateRestrictedToken(token, 0, 1, &denyOnly, (DWORD)deleted.size(), deleted.data(), 0, NULL, &restricted))
        ADD_FAILURE() << "CreateRestrictedToken: error " << GetLastError();
    CloseHandle(token);
    return restricted;
}

SECURITY_ATTRIBUTES *trustedObjectSecurity()
{
    static SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, FALSE};
    if (attributes.lpSecurityDescriptor == NULL)
        ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;WD)",
                                                             SDDL_REVISION_1, &attributes.lpSecurityDescriptor, NULL);
    return &attributes;
}

HANDLE startProgram(const std::string &cmdLine, HANDLE token)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!createProcess(cmdLine, FALSE, 0, NULL, &startup, &info, token)) {
        ADD_FAILURE() << "cannot start '" << cmdLine << "': error " << GetLastError();
        return NULL;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

DWORD waitExitCode(HANDLE process, DWORD timeoutMs)
{
    if (WaitForSingleObject(process, timeoutMs) == WAIT_TIMEOUT) {
        ADD_FAILURE() << "process did not end within " << timeoutMs << " ms";
        TerminateProcess(process, 0xdead);
        WaitForSingleObject(process, 5000);
    }
    DWORD code = 0xdeadbeef;
    GetExitCodeProcess(process, &code);
    return code;
}

// "TID:fixme:advapi:ReportEventW (source,type,category,id,...): stub" opens an
// event; its inserts follow on lines "TID:CLASS:eventlog:ReportEventW L"..."",
// where a backslash stands before a quote or a backslash of the text.
static std::vector<LoggedEvent> parseEvents(const std::string &output)
{
    static const std::string OPENS = ":fixme:advapi:ReportEventW (", INSERT = ":eventlog:ReportEventW L\"";
    std::vector<LoggedEvent> events;
    std::map<std::string, size_t> openByThread;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::string thread = line.substr(0, line.find(':'));
        size_t at = line.find(OPENS);
        unsigned type = 0, ignored = 0;
        unsigned long id = 0;
        void *source = NULL;
        if (at != std::string::npos && sscanf(line.c_str() + at + OPENS.size(), "%p,%x,%x,%lx", &source, &type,
                                              &ignored, &id) == 4) {
            openByThread[thread] = events.size();
            events.push_back({id, (WORD)type, {}});
        } else if ((at = line.find(INSERT)) != std::string::npos && openByThread.count(thread)) {
            std::string text;
            for (size_t i = at + INSERT.size(); i < line.size() && line[i] != '"'; i++)
                text += line[i] == '\\' ? line[++i] : line[i];
            events[openByThread[thread]].inserts.push_back(text);
        }
    }
    return events;
}

std::vector<LoggedEvent> runLoggingEvents(const std::string &cmdLine, DWORD timeoutMs)
{
    char unixPath[MAX_PATH] = "", debug[256] = "";
    DWORD length = GetEnvironmentVariableA("KVD_WINE_OUTPUT", unixPath, sizeof(unixPath));
    EXPECT_TRUE(length > 0 && length < sizeof(unixPath)) << "run the test program with scripts/wine-run.sh";
    std::string output = winPath(unixPath);
    size_t before = readFile(output).size();
    GetEnvironmentVariableA("WINEDEBUG", debug, sizeof(debug));
    SetEnvironmentVariableA("WINEDEBUG", "-all,fixme+advapi,+eventlog");
    runProgram(cmdLine, timeoutMs);
    SetEnvironmentVariableA("WINEDEBUG", debug[0] != '\0' ? debug : NULL);
    std::string written = readFile(output);
    return parseEvents(written.size() > before ? written.substr(before) : "");
}

std::string formatEvent(const std::string &library, DWORD id, const std::vector<std::string> &inserts)
{
    HMODULE module = LoadLibraryExA(library.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    std::vector<DWORD_PTR> arguments;
    for (const std::string &insert : inserts)
        arguments.push_back((DWORD_PTR)insert.c_str());
    arguments.push_back(0);
    char *text = NULL;
    DWORD length = module == NULL ? 0 : FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER
                                                       | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0, (LPSTR)&text, 0,
                                                       (va_list *)arguments.data());
    std::string sentence = length > 0 ? std::string(text, length) : "";
    LocalFree(text);
    if (module != NULL)
        FreeLibrary(module);
    return sentence.substr(0, sentence.find_last_not_of("\r\n") + 1);
}

void RegistryTest::SetUp()
{
    deleteKeys();
    createKeys();
}

void RegistryTest::TearDown()
{
    removeValue(KVD_MAIN_KEY, VAL_TRACE_LEVEL);
}

}  // namespace kvdtest

// package_support: the whole package installed in a work folder (real jobupcall, substitute queue) and read back.
#include "package_support.h"
#include "test_config.h"

#include <stdio.h>

using namespace kvdtest;

namespace kvdpkg {

std::string dataDir()
{
    std::string dir = workDir() + "\\package_data";
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

std::string queuePath()
{
    return dataDir() + "\\korvo2queue.txt";
}

std::string palventoJob(const std::string &distID, int state, int maxLogin)
{
    return "dist_id:s=" + distID + " app_id:s=Palvento state:h=" + std::to_string(state) +
           " SW_CONCURRENT_LOGIN_ALLOWED:l=1 SW_MAX_LOGIN_ALLOWED:l=" + std::to_string(maxLogin);
}

void writeWholeFile(const std::string &path, const std::string &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != NULL) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

void writeQueueText(const std::string &text)
{
    writeWholeFile(queuePath(), text);
}

void writeQueue(const std::vector<std::string> &jobs)
{
    std::string text;
    for (const std::string &job : jobs)
        text += job + "\r\n";
    writeQueueText(text);
}

// The value of "name:type=" in a job line, "" when absent.
static std::string property(const std::string &line, const std::string &prefix)
{
    size_t at = line.find(prefix);
    if (at == std::string::npos)
        return "";
    size_t start = at + prefix.size();
    return line.substr(start, line.find_first_of(" \r", start) - start);
}

std::set<std::string> pausedInQueue()
{
    std::set<std::string> ids;
    std::string text = readFile(queuePath());
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, end - start);
        if (property(line, "app_id:s=") == "Palvento" && property(line, "state:h=") == "1")
            ids.insert(property(line, "dist_id:s="));
        start = end + 1;
    }
    return ids;
}

std::set<std::string> recordedPaused()
{
    std::vector<std::string> strings = kvdlib::pausedQueue();
    std::set<std::string> ids;
    for (size_t i = 1; i < strings.size(); i += 3)
        ids.insert(strings[i]);
    return ids;
}

size_t recordedEntries()
{
    return kvdlib::pausedQueue().size() / 3;
}

void installUpcall(DWORD timeoutSeconds)
{
    setString(KVD_UPCALL_KEY, VAL_UPCALL_PROGRAM, productBin("jobupcall.exe"));
    setString(KVD_UPCALL_KEY, VAL_XEP_BINDIR, winPath(KVD_PRODUCT_BIN_UNIX));
    setString(KVD_UPCALL_KEY, VAL_XEP_CACHEDIR, dataDir());
    setString(KVD_UPCALL_KEY, VAL_XEP_DATDIR, dataDir());
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, timeoutSeconds);
}

DWORD dwordOf(const char *key, const char *name)
{
    DWORD value = SENTINEL;
    if (!getDword(key, name, &value))
        return SENTINEL;
    return value;
}

void writeNotifyBytes(const std::string &bytes)
{
    writeWholeFile(windowsDirFile(NOTIFY_FILE_NAME + 1), bytes);
}

void endProcess(HANDLE process, UINT code)
{
    TerminateProcess(process, code);
    WaitForSingleObject(process, 60000);
    CloseHandle(process);
}

}  // namespace kvdpkg

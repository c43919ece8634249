// fake_upcall: stands in for the upcall program in the library's tests; answers as its control folder says.
//   fake_upcall.exe DIR [what the library appends...]
// Every call appends its command line to DIR\calls.log and writes its
// environment, one entry per line, to DIR\envN.txt (N counts the calls from 1).
// The answer comes from DIR\answerN.txt, or DIR\answer.txt when that is
// missing: the first line is the exit code, the rest is written to standard
// output unchanged. No answer file: no output, exit 0.
// A first line "hang" never answers and "flood" writes output without end, until
// the event "KVDFakeUpcallRelease" is set (5 minutes at most, at once without
// it); both write their process id to DIR\pidN.txt. With KVD_INHERIT_PROBE=HANDLE
// (a signalled event of the parent, hexadecimal) in the environment,
// DIR\handleN.txt says whether it reached this process: "inherited" or "not inherited".
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

static std::string readWhole(const std::string &path, bool *found)
{
    std::string text;
    FILE *file = fopen(path.c_str(), "rb");
    *found = file != NULL;
    if (file == NULL)
        return text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, got);
    fclose(file);
    return text;
}

// Appends the command line and returns the number of this call.
static int logCall(const std::string &dir)
{
    std::string path = dir + "\\calls.log";
    bool found;
    std::string calls = readWhole(path, &found);
    int number = 1;
    for (char c : calls)
        number += c == '\n';
    FILE *file = fopen(path.c_str(), "ab");
    if (file != NULL) {
        fprintf(file, "%s\n", GetCommandLineA());
        fclose(file);
    }
    return number;
}

static void writeEnvironment(const std::string &dir, int number)
{
    std::string path = dir + "\\env" + std::to_string(number) + ".txt";
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL)
        return;
    char *block = GetEnvironmentStrings();
    for (const char *entry = block; *entry != '\0'; entry += strlen(entry) + 1)
        fprintf(file, "%s\n", entry);
    FreeEnvironmentStringsA(block);
    fclose(file);
}

// Written under another name and renamed, so a reader never sees half of it.
static void writeWhole(const std::string &path, const std::string &text)
{
    FILE *file = fopen((path + ".part").c_str(), "wb");
    if (file == NULL)
        return;
    fputs(text.c_str(), file);
    fclose(file);
    MoveFileExA((path + ".part").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    std::string dir = argv[1];
    int number = logCall(dir);
    writeEnvironment(dir, number);
    std::string call = std::to_string(number) + ".txt";
    if (const char *probe = getenv("KVD_INHERIT_PROBE")) {
        HANDLE handle = (HANDLE)(uintptr_t)strtoull(probe, NULL, 16);
        DWORD flags;
        bool inherited = GetHandleInformation(handle, &flags) && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        writeWhole(dir + "\\handle" + call, inherited ? "inherited" : "not inherited");
    }
    bool found;
    std::string answer = readWhole(dir + "\\answer" + std::to_string(number) + ".txt", &found);
    if (!found)
        answer = readWhole(dir + "\\answer.txt", &found);
    if (!found)
        return 0;
    bool flood = answer.compare(0, 5, "flood") == 0;
    if (flood || answer.compare(0, 4, "hang") == 0) {
        writeWhole(dir + "\\pid" + call, std::to_string(GetCurrentProcessId()));
        HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, "KVDFakeUpcallRelease");
        std::string lines(4096, 'x');
        for (DWORD start = GetTickCount(); release != NULL && GetTickCount() - start < 300000 &&
                                           WaitForSingleObject(release, flood ? 0 : 1000) == WAIT_TIMEOUT;)
            if (flood && (fwrite(lines.data(), 1, lines.size(), stdout) != lines.size() || fflush(stdout) != 0))
                break;   // nobody reads any more
        if (release != NULL)
            CloseHandle(release);
        return 0;
    }
    size_t newline = answer.find('\n');
    long exitCode = strtol(answer.substr(0, newline).c_str(), NULL, 10);
    if (newline != std::string::npos && newline + 1 < answer.size()) {
        std::string output = answer.substr(newline + 1);
        fwrite(output.data(), 1, output.size(), stdout);
        fflush(stdout);
    }
    return (int)exitCode;
}

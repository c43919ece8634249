// fake_upcall: stands in for the upcall program in the library's tests; answers as its control folder says.
//   fake_upcall.exe DIR [what the library appends...]
// Every call appends its command line to DIR\calls.log and writes its
// environment, one entry per line, to DIR\envN.txt (N counts the calls from 1).
// The answer comes from DIR\answerN.txt, or DIR\answer.txt when that is
// missing: the first line is the exit code, the rest is written to standard
// output unchanged. No answer file: no output, exit 0.
#include <windows.h>
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

int main(int argc, char **argv)
{
    if (argc < 2)
        return 99;
    std::string dir = argv[1];
    int number = logCall(dir);
    writeEnvironment(dir, number);
    bool found;
    std::string answer = readWhole(dir + "\\answer" + std::to_string(number) + ".txt", &found);
    if (!found)
        answer = readWhole(dir + "\\answer.txt", &found);
    if (!found)
        return 0;
    size_t newline = answer.find('\n');
    long exitCode = strtol(answer.substr(0, newline).c_str(), NULL, 10);
    if (newline != std::string::npos && newline + 1 < answer.size()) {
        std::string output = answer.substr(newline + 1);
        fwrite(output.data(), 1, output.size(), stdout);
        fflush(stdout);
    }
    return (int)exitCode;
}

// bench_jobupcall: wall time of jobupcall -l and -L on queues of 100 to 10,000 jobs against an empty queue.
//
// Every run goes through the library's child-process runner, as on an endpoint;
// the empty queue gives the start-up floor measured in the same process.
#include "test_support.h"
#include "KVDnotificationLibrary.h"
#include "program_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>

struct bench_site {
    std::string appDir, binDir, dataDir;
    std::string environment;
};

struct sequence_words {
    unsigned int capacity, length;
    void *first;
};
typedef void (*seq_add_fn)(sequence_words *, const void *, unsigned int);
typedef void (*seq_remove_fn)(sequence_words *, unsigned int, unsigned int);

static bool copyInto(const std::string &file, const std::string &folder)
{
    if (CopyFileA(kvdtest::productBin(file).c_str(), (folder + "\\" + file).c_str(), FALSE))
        return true;
    fprintf(stderr, "cannot copy %s to %s (%lu)\n", file.c_str(), folder.c_str(), GetLastError());
    return false;
}

static std::string environmentFor(const bench_site &site)
{
    std::string block;
    char *strings = GetEnvironmentStringsA();
    for (const char *entry = strings; *entry != '\0'; entry += strlen(entry) + 1)
        if (_strnicmp(entry, "PATH=", 5) != 0 && _strnicmp(entry, "XEP_", 4) != 0)
            block += std::string(entry) + '\0';
    FreeEnvironmentStringsA(strings);
    block += "Path=" + site.binDir + ";" + site.binDir + ";" + '\0';
    block += "XEP_BINDIR=" + site.binDir + '\0' + "XEP_DATDIR=" + site.dataDir + '\0';
    return block + '\0';
}

static bool install(bench_site *site)
{
    std::string root = kvdtest::workDir() + "\\bench";
    site->appDir = root + "\\app";
    site->binDir = root + "\\bin";
    site->dataDir = root + "\\data";
    for (const std::string &folder : {root, site->appDir, site->binDir, site->dataDir})
        CreateDirectoryA(folder.c_str(), NULL);
    bool copied = copyInto("jobupcall.exe", site->appDir) && copyInto("KVDnotificationLibrary.dll", site->appDir);
    for (const char *dll : {"libkfr60.dll", "libvqcore.dll", "libzpl60.dll", "libqprop60.dll", "libqmob60.dll"})
        copied = copied && copyInto(dll, site->binDir);
    site->environment = environmentFor(*site);
    return copied;
}

// A mixed queue: of every ten jobs one is active and one paused for this package, the rest are discarded.
static void writeQueue(const bench_site &site, int jobs)
{
    std::string path = site.dataDir + "\\korvo2queue.txt";
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL)
        return;
    for (int i = 0; i < jobs; i++) {
        const char *application = i % 10 < 2 ? "Palvento" : "Other";
        int state = i % 10 == 1 ? 1 : i % 10 == 5 ? 7 : 0;
        fprintf(file, "dist_id:s=D%05d app_id:s=%s state:h=%d SW_CONCURRENT_LOGIN_ALLOWED:l=1 "
                      "SW_MAX_LOGIN_ALLOWED:l=%d\r\n", i, application, state, 100 - i % 50);
    }
    fclose(file);
}

static double nowMs()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

struct run_times {
    double fastest, median;  // -1 when a run failed
};

// Wall times of runs of jobupcall with the option.
static run_times timeRuns(bench_site &site, const char *option, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        std::string command = site.appDir + "\\jobupcall.exe " + option;
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        child_result child;
        double start = nowMs();
        char *out = execProgram(line.data(), &site.environment[0], &child);
        DWORD exitCode = child.exitCode;
        times.push_back(nowMs() - start);
        free(out);
        if (exitCode != 0) {
            fprintf(stderr, "jobupcall %s exited with %lu\n", option, exitCode);
            return {-1, -1};
        }
    }
    std::sort(times.begin(), times.end());
    return {times[0], times[times.size() / 2]};
}

// Removing 9 of every 10 entries of a 12-byte sequence, one seq_remove each, against one compacting pass.
static void compareRemoval(const bench_site &site, int entries)
{
    HMODULE kernel = LoadLibraryA((site.binDir + "\\libkfr60.dll").c_str());
    seq_add_fn seqAdd = kernel ? (seq_add_fn)(void (*)(void))GetProcAddress(kernel, "seq_add") : NULL;
    seq_remove_fn seqRemove = kernel ? (seq_remove_fn)(void (*)(void))GetProcAddress(kernel, "seq_remove") : NULL;
    if (seqAdd == NULL || seqRemove == NULL) {
        fprintf(stderr, "cannot load seq_add and seq_remove from libkfr60.dll\n");
        if (kernel)
            FreeLibrary(kernel);
        return;
    }
    sequence_words one = {0, 0, NULL}, pass = {0, 0, NULL};
    for (int i = 0; i < entries; i++) {
        unsigned int entry[3] = {(unsigned int)i, 0, 0};
        seqAdd(&one, entry, 12);
        seqAdd(&pass, entry, 12);
    }
    double start = nowMs();
    for (unsigned int index = 0; index < one.length;)
        if (((unsigned int *)one.first)[index * 3] % 10 == 0)
            index++;
        else
            seqRemove(&one, index, 12);
    double oneAtATime = nowMs() - start;
    start = nowMs();
    unsigned int kept = 0;
    unsigned int *words = (unsigned int *)pass.first;
    for (unsigned int index = 0; index < pass.length; index++)
        if (words[index * 3] % 10 == 0)
            memcpy(&words[kept++ * 3], &words[index * 3], 12);
    pass.length = kept;
    double onePass = nowMs() - start;
    printf("discarding 9 of 10 of %d entries: one seq_remove at a time %.2f ms, one pass %.3f ms (%u and %u kept)\n",
           entries, oneAtATime, onePass, one.length, pass.length);
    // The sequences' memory belongs to the runtime's allocator; it ends with the process.
    FreeLibrary(kernel);
}

// The runner collecting a child's output: 1 MiB against 128 KB, fastest of 5
// runs each, less the run of a child that writes nothing. Gathered into a buffer that grows by doubling, the ratio stays
// near the 8 of the sizes (appending piece by piece made it near 64).
static void benchOutputCollection()
{
    double fastest[3] = {1e9, 1e9, 1e9};
    const int sizes[3] = {0, 128 * 1024, 1024 * 1024 - 1024};
    for (int round = 0; round < 5; round++) {
        for (int i = 0; i < 3; i++) {
            std::string command = "\"" + kvdtest::testBin("runner_child.exe") + "\" bytes " + std::to_string(sizes[i]);
            std::vector<char> line(command.begin(), command.end());
            line.push_back('\0');
            child_result child;
            double start = nowMs();
            free(execProgram(line.data(), NULL, &child));
            fastest[i] = std::min(fastest[i], nowMs() - start);
        }
    }
    printf("child output collected, less a child that writes nothing (%.1f ms): 128 KB %.1f ms, 1 MiB %.1f ms, "
           "ratio %.1f (sizes 8)\n", fastest[0], fastest[1] - fastest[0], fastest[2] - fastest[0],
           (fastest[2] - fastest[0]) / (fastest[1] - fastest[0]));
}

int main()
{
    bench_site site;
    if (!install(&site))
        return 1;
    initialize();
    benchOutputCollection();

    const int runs = 9;
    printf("jobupcall through execProgram, %d runs each (3 at 100,000): fastest / median wall time in ms\n", runs);
    printf("%8s %18s %18s %14s %14s\n", "jobs", "-l", "-L", "-l over floor", "-L over floor");
    run_times floorList = {0, 0}, floorPaused = {0, 0};
    // 100,000 jobs beyond the asked sizes: there the growth stands clear of the start-up noise.
    for (int jobs : {0, 100, 1000, 10000, 100000}) {
        writeQueue(site, jobs);
        int count = jobs < 100000 ? runs : 3;
        run_times list = timeRuns(site, "-l", count), paused = timeRuns(site, "-L", count);
        if (jobs == 0) {
            floorList = list;
            floorPaused = paused;
        }
        printf("%8d %8.1f / %7.1f %8.1f / %7.1f %14.1f %14.1f\n", jobs, list.fastest, list.median, paused.fastest,
               paused.median, list.fastest - floorList.fastest, paused.fastest - floorPaused.fastest);
    }
    for (int entries : {10000, 100000})
        compareRemoval(site, entries);
    deInitialize();
    return 0;
}

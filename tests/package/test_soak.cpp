// Soak: several processes send thousands of mixed events to the shipped library
// (real jobupcall, substitute queue); after each round the counts, the paused
// lists and the shared record must be consistent, and every process must end.
#include "package_support.h"
#include "test_config.h"

#include <stdio.h>
#include <string>
#include <vector>

using namespace kvdtest;
using namespace kvdlib;
using namespace kvdpkg;

namespace {

const int PROCESSES = 4;
const int USERS_PER_PROCESS = 3;
const int CLIENTS_PER_PROCESS = 2;
const int ROUNDS = 4;
const int EVENTS_PER_PROCESS = 150;
const DWORD ROUND_LIMIT_MS = 100000;
const int MAX_USERS = PROCESSES * USERS_PER_PROCESS + 1;   // the helpers' users and the resident

// What a sampler saw of the shared record and the registry while a round ran.
struct Sampler {
    volatile LONG stop;
    int samples;
    std::vector<std::string> problems;
};

void noteSample(Sampler *sampler, const std::string &what, long value)
{
    if (sampler->problems.size() < 10)
        sampler->problems.push_back(what + " = " + std::to_string(value));
}

void sampleOnce(Sampler *sampler)
{
    DWORD loggedOn = record()->_dwLoggedOn;
    if (loggedOn > (DWORD)MAX_USERS)
        noteSample(sampler, "_dwLoggedOn", (long)loggedOn);
    DWORD clients = dwordOf(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS);
    if (clients != SENTINEL && clients > (DWORD)(PROCESSES * CLIENTS_PER_PROCESS))
        noteSample(sampler, "_runningClients", (long)clients);
    DWORD budget = dwordOf(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED);
    if (budget != SENTINEL && ((int)budget < -2 || (int)budget > 5))
        noteSample(sampler, "_maxLoginAllowed", (long)(int)budget);
    DWORD startUps = dwordOf(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT);
    if (startUps != SENTINEL && startUps > DEF_DEFAULT_SHUTDOWN_ALLOWED)
        noteSample(sampler, "_currShutdownLeft", (long)startUps);
    sampler->samples++;
}

void sampleUntilStopped(void *param)
{
    Sampler *sampler = (Sampler *)param;
    while (!sampler->stop) {
        sampleOnce(sampler);
        Sleep(20);
    }
}

std::string reportPath(int round, int process)
{
    return workDir() + "\\soak_r" + std::to_string(round) + "p" + std::to_string(process) + ".txt";
}

std::string clientCommand(int round, int process)
{
    return testBin("soak_client.exe") + " " + productBin("KVDnotificationLibrary.dll") + " " + dataDir() + " " +
           std::to_string(process) + " " + std::to_string(round) + " " + std::to_string(EVENTS_PER_PROCESS) + " " +
           std::to_string(1000 * round + process + 1) + " " + std::to_string(MAX_USERS) + " " +
           reportPath(round, process);
}

// The "events=N ..." figure of a report, -1 when the report is missing.
int eventsIn(const std::string &report)
{
    int events = -1;
    if (sscanf(report.c_str(), "events=%d", &events) != 1)
        return -1;
    return events;
}

class Soak : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, 0);   // the trace would serialise the processes
        installUpcall(30);
        writeQueue({});
    }

    // Runs one round of helper processes; the number of events they sent.
    int runRound(int round)
    {
        std::vector<HANDLE> processes;
        for (int p = 0; p < PROCESSES; p++) {
            DeleteFileA(reportPath(round, p).c_str());
            HANDLE process = startProgram(clientCommand(round, p));
            if (process != NULL)
                processes.push_back(process);
        }
        DWORD waited = WaitForMultipleObjects((DWORD)processes.size(), processes.data(), TRUE, ROUND_LIMIT_MS);
        EXPECT_NE((DWORD)WAIT_TIMEOUT, waited) << "round " << round << ": a process did not end (deadlock?)";
        int events = 0;
        for (int p = 0; p < (int)processes.size(); p++) {
            std::string report = readFile(reportPath(round, p));
            EXPECT_EQ(0u, waitExitCode(processes[p], 1000)) << "round " << round << " process " << p << ": " << report;
            CloseHandle(processes[p]);
            events += eventsIn(report);
        }
        return events;
    }

    void expectConsistent(int round, DWORD loggedOn)
    {
        EXPECT_EQ(loggedOn, record()->_dwLoggedOn) << "round " << round;
        EXPECT_EQ(0u, dwordOf(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS)) << "round " << round;
        EXPECT_EQ(0, record()->_upcallRunning) << "round " << round;
        EXPECT_EQ(0, record()->_someoneLooping) << "round " << round;
        EXPECT_EQ(pausedInQueue(), recordedPaused()) << "round " << round;
        // A pause asked again for a paused distribution is recorded again
        // (jobupcall reports it failed, which counts as paused for one ID).
        duplicates_ += recordedEntries() - recordedPaused().size();
    }

    size_t duplicates_ = 0;
};

TEST_F(Soak, test_mixed_events_from_several_processes_keep_counts_and_paused_lists_consistent)
{
    WLX_NOTIFICATION_INFO resident = notificationFor(L"resident");
    Sampler sampler = {0, 0, {}};
    HANDLE samplerThread = startThread(sampleUntilStopped, &sampler);
    DWORD started = GetTickCount();
    int events = 0, pausedWhileResident = 0;
    for (int round = 0; round < ROUNDS; round++) {
        // Every other round a user stays logged on throughout, so paused
        // distributions pile up and must still be listed alike at its end.
        bool withResident = round % 2 == 0;
        if (withResident)
            library().logon(&resident);
        DWORD roundStart = GetTickCount();
        events += runRound(round);
        printf("soak: round %d took %lu ms\n", round, (unsigned long)(GetTickCount() - roundStart));
        expectConsistent(round, withResident ? 1 : 0);
        if (withResident) {
            pausedWhileResident += (int)recordedPaused().size();
            library().logoff(&resident);
            expectConsistent(round, 0);
        }
        EXPECT_TRUE(pausedInQueue().empty()) << "round " << round << ": nobody is logged on, nothing stays paused";
        EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE)) << "round " << round;
        writeQueue({});   // the finished jobs of this round
    }
    sampler.stop = 1;
    WaitForSingleObject(samplerThread, 5000);
    CloseHandle(samplerThread);

    DWORD elapsed = GetTickCount() - started;
    printf("soak: %d events from %d processes in %d rounds, %lu ms; %d distributions paused under the residents; "
           "%d samples; %u entries recorded twice\n",
           events, PROCESSES, ROUNDS, (unsigned long)elapsed, pausedWhileResident, sampler.samples,
           (unsigned)duplicates_);
    EXPECT_GE(events, ROUNDS * PROCESSES * EVENTS_PER_PROCESS);
    EXPECT_GT(pausedWhileResident, 0) << "the mix paused nothing: it tests too little";
    EXPECT_GT(sampler.samples, 0);
    for (const std::string &problem : sampler.problems)
        ADD_FAILURE() << "seen while the processes ran: " << problem;
}

}  // namespace

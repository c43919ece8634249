// soak_client: one process of the soak test. It loads the shipped library by
// path, as the logon process and the distribution engine do, and sends a
// seeded mix of logons, logoffs, engine clients announced and ended, and
// pause requests; then it logs its users off and ends its clients.
//
//   soak_client LIBRARY DATADIR PROCESS ROUND EVENTS SEED MAXUSERS REPORT
//
// It plays both callers at once and is neither: its engine clients add one
// job to the substitute queue, mark it finished when they end (a paused job
// stays paused, as a distribution waiting to be resumed), and share the one
// notify file with every other process. The report file gets one line of
// counts and one line per broken rule it noticed itself; exit code 0 when
// there was none.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

#include "export_binding.h"
#include "notify_trace.h"
#include "queue_file.h"
#include "registry_schema.h"

typedef void(WINAPI *EventHandler)(PWLX_NOTIFICATION_INFO);
typedef int(WINAPI *GetNumLoggedOn)(void);
typedef int(WINAPI *PauseMeIfNeeded)(const char *, const char *, int, int, int);
typedef void(WINAPI *ClientEvent)(const char *);

static const int USERS = 3;
static const int CLIENTS = 2;
static const int MAX_PROBLEMS = 20;

typedef struct soak_library {
    EventHandler logon;
    EventHandler logoff;
    GetNumLoggedOn getNumLoggedOn;
    PauseMeIfNeeded pauseMeIfNeeded;
    ClientEvent increaseRunningClients;
    ClientEvent decreaseRunningClients;
} soak_library;

typedef struct soak_user {
    wchar_t name[32];
    int loggedOn;
} soak_user;

typedef struct soak_engine_client {
    char distID[32];
    int running;
} soak_engine_client;

typedef struct soak_counts {
    int events, logons, logoffs, announces, pauses, pausesWithUsers, ends;
    int problems;
    char problem[MAX_PROBLEMS][160];
} soak_counts;

typedef struct soak_run {
    soak_library lib;
    std::string dataDir;
    int process, round, maxUsers;
    unsigned int seed;
    int nextClient;
    soak_user users[USERS];
    soak_engine_client clients[CLIENTS];
    soak_counts counts;
} soak_run;

static unsigned int nextRandom(soak_run *run, unsigned int below)
{
    run->seed = run->seed * 1103515245u + 12345u;
    return (run->seed >> 16) % below;
}

static void noteProblem(soak_run *run, const char *text, int value)
{
    if (run->counts.problems < MAX_PROBLEMS)
        snprintf(run->counts.problem[run->counts.problems], sizeof(run->counts.problem[0]),
                 "event %d: %s (%d)", run->counts.events, text, value);
    run->counts.problems++;
}

static int usersLoggedOnHere(const soak_run *run)
{
    int count = 0;
    for (int i = 0; i < USERS; i++)
        count += run->users[i].loggedOn;
    return count;
}

// The library's count covers at least this process's users and never more than all users.
static void checkCount(soak_run *run)
{
    int count = run->lib.getNumLoggedOn();
    if (count < usersLoggedOnHere(run) || count > run->maxUsers)
        noteProblem(run, "logon count out of range", count);
}

template <typename Fn>
static int bind(HMODULE module, const char *name, Fn *fn)
{
    *fn = exportOf<Fn>(module, name);
    return *fn != NULL;
}

static int bindLibrary(HMODULE module, soak_library *lib)
{
    return bind(module, "KVDEventLogon", &lib->logon) && bind(module, "KVDEventLogoff", &lib->logoff) &&
           bind(module, "getNumLoggedOn", &lib->getNumLoggedOn) &&
           bind(module, "pauseMeIfNeeded", &lib->pauseMeIfNeeded) &&
           bind(module, "increaseRunningClients", &lib->increaseRunningClients) &&
           bind(module, "decreaseRunningClients", &lib->decreaseRunningClients);
}

static void callHandler(EventHandler handler, soak_user *user)
{
    static wchar_t domain[] = L"WORKGROUP";
    static wchar_t station[] = L"WinSta0";
    WLX_NOTIFICATION_INFO info = {};
    info.Size = sizeof(info);
    info.UserName = user->name;
    info.Domain = domain;
    info.WindowStation = station;
    handler(&info);
}

// ---- the substitute queue, edited under its machine-wide lock ----

typedef void (*QueueEdit)(queue_document *document, const char *distID);

static int editQueue(soak_run *run, QueueEdit edit, const char *distID)
{
    std::string error;
    HANDLE lock = lockQueue(&error);
    if (lock == NULL) {
        noteProblem(run, "queue lock not taken", 0);
        return 0;
    }
    queue_document document;
    std::string path = queueFilePath(run->dataDir);
    int done = loadQueueFile(path, &document, &error);
    if (done) {
        edit(&document, distID);
        done = replaceQueueFile(path, document, &error);
    }
    unlockQueue(lock);
    if (!done)
        noteProblem(run, "queue file not updated", 0);
    return done;
}

static void appendJob(queue_document *document, const char *distID)
{
    queue_line line;
    line.isJob = true;
    setQueueProperty(&line.job, "dist_id", 's', distID);
    setQueueProperty(&line.job, "app_id", 's', "Palvento");
    setQueueProperty(&line.job, "state", 'h', "0");
    setQueueProperty(&line.job, "SW_CONCURRENT_LOGIN_ALLOWED", 'l', "1");
    setQueueProperty(&line.job, "SW_MAX_LOGIN_ALLOWED", 'l', "3");
    document->lines.push_back(line);
}

// A job that runs to its end is finished (6); a paused one waits to be resumed.
static void finishActiveJob(queue_document *document, const char *distID)
{
    for (queue_line &line : document->lines) {
        if (!line.isJob)
            continue;
        const queue_property *id = findQueueProperty(line.job, "dist_id");
        long state = queueNumber(line.job, "state", 'h', QUEUE_STATE_MISSING);
        if (id != NULL && id->value == distID && state != QUEUE_STATE_PAUSED && state < 6)
            setQueueProperty(&line.job, "state", 'h', "6");
    }
}

static int notifyFilePath(char *path, size_t size)
{
    UINT len = GetWindowsDirectoryA(path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH || size < (size_t)MAX_PATH + sizeof(NOTIFY_FILE_NAME))
        return 0;
    strncat(path, NOTIFY_FILE_NAME, size - len - 1);
    return 1;
}

static void writeNotifyFile(const char *distID)
{
    char path[MAX_PATH + 64];
    if (!notifyFilePath(path, sizeof(path)))
        return;
    // Shared with the library's reader and the other processes: a busy file is left as it is.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, distID, (DWORD)strlen(distID), &written, NULL);
    CloseHandle(file);
}

// ---- the events ----

static soak_user *pickUser(soak_run *run, int loggedOn)
{
    int start = (int)nextRandom(run, USERS);
    for (int i = 0; i < USERS; i++) {
        soak_user *user = &run->users[(start + i) % USERS];
        if (user->loggedOn == loggedOn)
            return user;
    }
    return NULL;
}

static soak_engine_client *pickClient(soak_run *run, int running)
{
    int start = (int)nextRandom(run, CLIENTS);
    for (int i = 0; i < CLIENTS; i++) {
        soak_engine_client *client = &run->clients[(start + i) % CLIENTS];
        if (client->running == running)
            return client;
    }
    return NULL;
}

static void logOn(soak_run *run, soak_user *user)
{
    callHandler(run->lib.logon, user);
    user->loggedOn = 1;
    run->counts.logons++;
}

static void logOff(soak_run *run, soak_user *user)
{
    callHandler(run->lib.logoff, user);
    user->loggedOn = 0;
    run->counts.logoffs++;
}

// The engine asks before a step of its distribution; kinds 1 and 3 carry a logon limit.
static void askPause(soak_run *run, soak_engine_client *client)
{
    static const int limits[] = {-1, 0, 1, 2, 3, 5};
    int kind = 1 + (int)nextRandom(run, 3);
    int limit = limits[nextRandom(run, sizeof(limits) / sizeof(limits[0]))];
    int someoneHere = usersLoggedOnHere(run) > 0;
    int result = run->lib.pauseMeIfNeeded("localhost", client->distID, kind, limit, (int)nextRandom(run, 2));
    run->counts.pauses++;
    if (result != 1 && result != 2)
        noteProblem(run, "pauseMeIfNeeded answered neither 1 nor 2", result);
    else if (someoneHere && result != 1)
        noteProblem(run, "pauseMeIfNeeded ignored a user logged on here", result);
    if (result == 1)
        run->counts.pausesWithUsers++;
}

static void announce(soak_run *run, soak_engine_client *client)
{
    snprintf(client->distID, sizeof(client->distID), "R%dP%dC%d", run->round, run->process, run->nextClient++);
    run->lib.increaseRunningClients(client->distID);
    client->running = 1;
    editQueue(run, appendJob, client->distID);
    writeNotifyFile(client->distID);
    run->counts.announces++;
    askPause(run, client);
}

// Removes the notify file when it still names this client (another may have replaced it).
static void removeNotifyFile(const char *distID)
{
    char path[MAX_PATH + 64], content[64] = "";
    if (!notifyFilePath(path, sizeof(path)))
        return;
    FILE *file = fopen(path, "rb");
    if (file == NULL)
        return;
    size_t got = fread(content, 1, sizeof(content) - 1, file);
    fclose(file);
    content[got] = '\0';
    if (strcmp(content, distID) == 0)
        DeleteFileA(path);
}

static void endClient(soak_run *run, soak_engine_client *client)
{
    editQueue(run, finishActiveJob, client->distID);
    removeNotifyFile(client->distID);
    run->lib.decreaseRunningClients(client->distID);
    client->running = 0;
    run->counts.ends++;
}

static void oneEvent(soak_run *run)
{
    unsigned int roll = nextRandom(run, 100);
    soak_user *user;
    soak_engine_client *client;
    // Engine events are the rarer ones: with someone logged on each asks jobupcall.
    if (roll < 40 && (user = pickUser(run, 0)) != NULL)
        logOn(run, user);
    else if (roll < 80 && (user = pickUser(run, 1)) != NULL)
        logOff(run, user);
    else if (roll < 87 && (client = pickClient(run, 0)) != NULL)
        announce(run, client);
    else if (roll < 94 && (client = pickClient(run, 1)) != NULL)
        endClient(run, client);
    else if ((client = pickClient(run, 1)) != NULL)
        askPause(run, client);
    else
        announce(run, pickClient(run, 0));
    run->counts.events++;
    checkCount(run);
}

static void finish(soak_run *run)
{
    for (int i = 0; i < USERS; i++)
        if (run->users[i].loggedOn)
            logOff(run, &run->users[i]);
    for (int i = 0; i < CLIENTS; i++)
        if (run->clients[i].running)
            endClient(run, &run->clients[i]);
    checkCount(run);
}

static int writeReport(const soak_run *run, const char *path)
{
    FILE *file = fopen(path, "w");
    if (file == NULL)
        return 0;
    const soak_counts *c = &run->counts;
    fprintf(file, "events=%d logons=%d logoffs=%d announces=%d pauses=%d pausesWithUsers=%d ends=%d problems=%d\n",
            c->events, c->logons, c->logoffs, c->announces, c->pauses, c->pausesWithUsers, c->ends, c->problems);
    for (int i = 0; i < c->problems && i < MAX_PROBLEMS; i++)
        fprintf(file, "%s\n", c->problem[i]);
    fclose(file);
    return 1;
}

static void initializeRun(soak_run *run, char **argv)
{
    run->dataDir = argv[2];
    run->process = atoi(argv[3]);
    run->round = atoi(argv[4]);
    run->seed = (unsigned int)strtoul(argv[6], NULL, 10);
    run->maxUsers = atoi(argv[7]);
    run->nextClient = 0;
    for (int i = 0; i < USERS; i++) {
        _snwprintf(run->users[i].name, 31, L"p%du%d", run->process, i);
        run->users[i].name[31] = L'\0';
        run->users[i].loggedOn = 0;
    }
    for (int i = 0; i < CLIENTS; i++)
        run->clients[i].running = 0;
    memset(&run->counts, 0, sizeof(run->counts));
}

int main(int argc, char **argv)
{
    if (argc != 9) {
        fprintf(stderr, "usage: soak_client LIBRARY DATADIR PROCESS ROUND EVENTS SEED MAXUSERS REPORT\n");
        return 2;
    }
    HMODULE module = LoadLibraryA(argv[1]);
    static soak_run run;
    if (module == NULL || !bindLibrary(module, &run.lib)) {
        fprintf(stderr, "cannot load the library '%s' (%lu)\n", argv[1], (unsigned long)GetLastError());
        return 2;
    }
    initializeRun(&run, argv);
    int events = atoi(argv[5]);
    for (int i = 0; i < events; i++)
        oneEvent(&run);
    finish(&run);
    int reported = writeReport(&run, argv[8]);
    FreeLibrary(module);
    return reported && run.counts.problems == 0 ? 0 : 1;
}

// upcalls: asks the upcall program about the job queue and reads its answers.
#include "upcalls.h"
#include "KVDnotificationLibrary.h"
#include "event_log.h"
#include "notify_trace.h"
#include "program_util.h"
#include "registry_schema.h"
#include "registry_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const DWORD UPCALL_FAILED = (DWORD)-1;     // the library could not run the program
static const DWORD UPCALL_SOME_FAILED = 4;        // some of the listed distributions failed
static const char PATH_ENTRY[] = "Path=";
static const size_t PATH_ENTRY_LEN = sizeof(PATH_ENTRY) - 1;
static const char WHITE_SPACE[] = " \t\r\n\v\f";

static const char *orNull(const char *text)
{
    return text != NULL ? text : "NULL";
}

// ---------------------------------------------------------------------------
// Running the upcall program
// ---------------------------------------------------------------------------

// Where the upcall program lives and what it needs in its environment.
typedef struct upcall_settings {
    char *binDir;
    char *cacheDir;
    char *datDir;
    char *program;
} upcall_settings;

static void freeUpcallSettings(upcall_settings *settings)
{
    free(settings->binDir);
    free(settings->cacheDir);
    free(settings->datDir);
    free(settings->program);
}

static int readUpcallSettings(trace_class &trace, upcall_settings *settings)
{
    memset(settings, 0, sizeof(*settings));
    readSetting(SETTING_XEP_BINDIR, &settings->binDir);
    readSetting(SETTING_XEP_CACHEDIR, &settings->cacheDir);
    readSetting(SETTING_XEP_DATDIR, &settings->datDir);
    readSetting(SETTING_UPCALL_PROGRAM, &settings->program);
    if (settings->binDir && settings->cacheDir && settings->datDir && settings->program)
        return 1;
    TRACE_LINE(trace, TRACE_ERROR, "ERROR retrieving data for external program %p %p %p %p",
               (void *)settings->binDir, (void *)settings->cacheDir, (void *)settings->datDir,
               (void *)settings->program);
    freeUpcallSettings(settings);
    return 0;
}

// The "-t" value; 120 is written back when the setting cannot be read.
static long readUpcallTimeout(trace_class &trace)
{
    static const setting_miss MISSING = {TRACE_ERROR, "Error retrieving the upcallTimeout, setting the default",
                                         "Error setting the default to upcallTimeout"};
    DWORD value;
    readSetting(SETTING_UPCALL_TIMEOUT, &value, &trace, &MISSING);
    long timeout = (long)(LONG)value;
    if (timeout < 0)
        timeout = 0;
    TRACE_LINE(trace, TRACE_INFO, "upcallTimeout=%ld", timeout);
    return timeout;
}

// A jobupcall queue call may take the "-t" seconds; an upcall makes at most
// two (read the queue, then change it), and gets a few seconds more to start
// and end. Without "-t" the runtime's own limit applies: a fixed ceiling.
static const DWORD CHILD_START_MARGIN_MS = 5000;
static const DWORD CHILD_UNTIMED_LIMIT_MS = 600000;
static const long MAX_TIMED_SECONDS = 3600;
static const DWORD UPCALLS_PER_LOCK_HOLD = 3;
static const DWORD LOCK_WAIT_MARGIN_MS = 5000;

DWORD upcallChildLimitMs(long timeout)
{
    if (timeout <= 0)
        return CHILD_UNTIMED_LIMIT_MS;
    if (timeout > MAX_TIMED_SECONDS)
        timeout = MAX_TIMED_SECONDS;
    return 2 * (DWORD)timeout * 1000 + CHILD_START_MARGIN_MS;
}

// Read without trace lines and without writing the default back: the lock
// asks for it on every call, and only execUpcall owns the setting.
static long quietUpcallTimeout()
{
    DWORD value = DEF_UPCALL_TIMEOUT;
    lookupSetting(SETTING_UPCALL_TIMEOUT, &value, true);
    return (long)(LONG)value;
}

DWORD lockWaitCeilingMs()
{
    return UPCALLS_PER_LOCK_HOLD * upcallChildLimitMs(quietUpcallTimeout()) + LOCK_WAIT_MARGIN_MS;
}

static char *buildCommandLine(const char *program, long timeout, const char *arguments)
{
    char *quoted = quotedProgram(program);
    if (quoted == NULL)
        return NULL;
    size_t size = strlen(quoted) + strlen(arguments) + 22;
    char *cmdLine = (char *)malloc(size);
    if (cmdLine != NULL) {
        if (timeout != 0)
            snprintf(cmdLine, size, "%s -t %ld %s", quoted, timeout, arguments);
        else
            snprintf(cmdLine, size, "%s %s", quoted, arguments);
    }
    free(quoted);
    return cmdLine;
}

// The child's environment: this process's block with the endpoint's bin and
// cache directories put in front of Path and the three endpoint variables set,
// built as a block of its own: the environment of this process (the logon
// process, shared by all that runs in it) is left alone.
static char *buildChildEnvironment(trace_class &trace, const upcall_settings *settings)
{
    const char *folders[3][2] = {{VAL_XEP_BINDIR, settings->binDir},
                                 {VAL_XEP_CACHEDIR, settings->cacheDir},
                                 {VAL_XEP_DATDIR, settings->datDir}};
    char *entries[4] = {NULL, NULL, NULL, NULL};
    size_t entriesSize = 0;
    int allocated = 1;
    for (int i = 0; i < 3; i++) {
        size_t size = strlen(folders[i][0]) + strlen(folders[i][1]) + 2;
        entries[i] = (char *)malloc(size);
        allocated &= entries[i] != NULL;
        if (entries[i] != NULL)
            snprintf(entries[i], size, "%s=%s", folders[i][0], folders[i][1]);
        entriesSize += size;
    }
    size_t prefixSize = strlen(settings->binDir) + strlen(settings->cacheDir) + 3;
    char *prefix = (char *)malloc(prefixSize);
    char *current = GetEnvironmentStrings();
    size_t envSize = getMultiStringLen(current) + prefixSize + PATH_ENTRY_LEN + entriesSize + 2;
    if (current != NULL)
        FreeEnvironmentStringsA(current);
    char *env = allocated && prefix != NULL ? (char *)malloc(envSize) : NULL;
    if (env == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "ERROR, not enough memory");
    } else {
        snprintf(prefix, prefixSize, "%s;%s;", settings->binDir, settings->cacheDir);
        if (!createNewEnv(env, envSize, prefix, entries)) {
            // another thread grew the environment in between
            TRACE_LINE(trace, TRACE_ERROR, "ERROR, the environment block does not fit in %u bytes",
                       (unsigned)envSize);
            free(env);
            env = NULL;
        }
    }
    for (char *entry : entries)
        free(entry);
    free(prefix);
    return env;
}

static void traceUpcallEnd(trace_class &trace, DWORD exitCode, const char *output)
{
    TRACE_LINE(trace, TRACE_INFO, "external program completed with exitCode %ld", (long)exitCode);
    if (output != NULL)
        TRACE_LINE(trace, TRACE_INFO, "external program completed with output '%s'", output);
    else
        TRACE_LINE(trace, TRACE_INFO, "external program completed without output");
}

char *execUpcall(const char *arguments, DWORD *exitCode)
{
    trace_class trace(TRACE_ORDINARY, "execUpcall");
    TRACE_LINE(trace, TRACE_INFO, "retrieving info for external program");
    upcall_settings settings;
    if (!readUpcallSettings(trace, &settings)) {
        *exitCode = UPCALL_FAILED;
        return NULL;
    }
    long timeout = readUpcallTimeout(trace);
    char *output = NULL;
    char *cmdLine = buildCommandLine(settings.program, timeout, arguments);
    char *env = cmdLine != NULL ? buildChildEnvironment(trace, &settings) : NULL;
    if (cmdLine == NULL || env == NULL) {
        if (cmdLine == NULL)
            TRACE_LINE(trace, TRACE_ERROR, "ERROR, not enough memory");
        *exitCode = UPCALL_FAILED;
    } else {
        TRACE_LINE(trace, TRACE_INFO, "running external program with cmdline '%s'", cmdLine);
        child_result child;
        output = execProgram(cmdLine, env, &child, upcallChildLimitMs(timeout), &shareData->_upcallCode);
        *exitCode = child.exitCode;
        traceUpcallEnd(trace, *exitCode, output);
    }
    free(cmdLine);
    free(env);
    freeUpcallSettings(&settings);
    return output;
}

// Appends n bytes to the block if they fit.
static int putBytes(char *block, size_t size, size_t *used, const char *bytes, size_t n)
{
    if (n > size - *used)
        return 0;
    memcpy(block + *used, bytes, n);
    *used += n;
    return 1;
}

// Whether entry ("NAME=value") names one of the given entries' variables.
static int isReplaced(const char *entry, const char *const *entries)
{
    for (; entries != NULL && *entries != NULL; entries++) {
        size_t nameLen = strcspn(*entries, "=") + 1;
        if (_strnicmp(entry, *entries, nameLen) == 0)
            return 1;
    }
    return 0;
}

int createNewEnv(char *nwEnv, size_t nwEnvSize, const char *newpath, const char *const *entries)
{
    char *current = GetEnvironmentStrings();
    size_t used = 0;
    int fits = 1;
    int pathFound = 0;
    for (const char *entry = current; entry != NULL && *entry != '\0'; entry += strlen(entry) + 1) {
        size_t entryLen = strlen(entry);
        if (isReplaced(entry, entries))
            continue;
        if (!pathFound && _strnicmp(entry, PATH_ENTRY, PATH_ENTRY_LEN) == 0) {
            // the name keeps its spelling, the new directories go first
            pathFound = 1;
            fits &= putBytes(nwEnv, nwEnvSize, &used, entry, PATH_ENTRY_LEN);
            fits &= putBytes(nwEnv, nwEnvSize, &used, newpath, strlen(newpath));
            fits &= putBytes(nwEnv, nwEnvSize, &used, entry + PATH_ENTRY_LEN, entryLen - PATH_ENTRY_LEN + 1);
        } else {
            fits &= putBytes(nwEnv, nwEnvSize, &used, entry, entryLen + 1);
        }
    }
    if (!pathFound) {
        fits &= putBytes(nwEnv, nwEnvSize, &used, PATH_ENTRY, PATH_ENTRY_LEN);
        fits &= putBytes(nwEnv, nwEnvSize, &used, newpath, strlen(newpath) + 1);
    }
    for (; entries != NULL && *entries != NULL; entries++)
        fits &= putBytes(nwEnv, nwEnvSize, &used, *entries, strlen(*entries) + 1);
    fits &= putBytes(nwEnv, nwEnvSize, &used, "", 1);
    if (current != NULL)
        FreeEnvironmentStringsA(current);
    if (!fits && nwEnvSize >= 2)
        memset(nwEnv, 0, 2);   // an empty block rather than a cut one
    return fits;
}

// ---------------------------------------------------------------------------
// The questions
// ---------------------------------------------------------------------------

int scanListedDistribution(const char *output, char *distID, size_t distIDSize, int *budget)
{
    const char *start = output + strspn(output, WHITE_SPACE);
    size_t idLen = strcspn(start, WHITE_SPACE);
    if (idLen == 0)
        return 0;
    if (idLen >= distIDSize)
        return -1;
    int value;
    if (sscanf(start + idLen, "%d", &value) != 1)
        return 0;
    memcpy(distID, start, idLen);
    distID[idLen] = '\0';
    *budget = value;
    return 1;
}

int GW_IsPendingDistribution(const char *except, listed_distribution *listed)
{
    trace_class trace(TRACE_ORDINARY, "GW_IsPendingDistribution");
    DWORD exitCode = UPCALL_FAILED;
    char *output = execUpcall(" -l ", &exitCode);   // the exit code says nothing here
    int result = 0;
    if (output != NULL && output[0] != '\0') {
        char distID[UPCALL_MAX_LISTED_ID + 1];
        int budget = 0;
        int scanned = scanListedDistribution(output, distID, sizeof(distID), &budget);
        if (scanned != 1) {
            if (scanned < 0)
                TRACE_LINE(trace, TRACE_ERROR, "distribution ID longer than %u characters",
                           (unsigned)UPCALL_MAX_LISTED_ID);
            TRACE_LINE(trace, TRACE_ERROR, "ERROR scanning output");
        } else if (except == NULL || strcmp(distID, except) != 0) {
            memcpy(listed->distID, distID, sizeof(distID));
            listed->budget = budget;
            result = 1;
        } else {
            TRACE_LINE(trace, TRACE_INFO, "Except '%s' found", except);
        }
    }
    free(output);
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

size_t idChunkLength(const char *ids, size_t limit)
{
    size_t len = strcspn(ids, ",");
    if (len > limit)
        return len;
    while (ids[len] == ',') {
        size_t next = strcspn(ids + len + 1, ",");
        if (len + 1 + next > limit)
            break;
        len += 1 + next;
    }
    return len;
}

// One pause or resume upcall for the first len characters of ids (at most
// UPCALL_MAX_ID_LIST, so the argument text fits its buffer).
static DWORD runIdUpcall(char option, const char *ids, size_t len, char **output)
{
    // The IDs go unquoted on the command line: a blank or a quote in them
    // would hand jobupcall further options ("D1 -R" resumes every job).
    size_t safeLen = strcspn(ids, " \t\"");
    if (safeLen < len) {
        trace_class trace(TRACE_ORDINARY, "runIdUpcall");
        TRACE_LINE(trace, TRACE_ERROR, "distribution ID with a blank or a quote, not sent: '%.*s'", (int)len, ids);
        *output = NULL;
        return UPCALL_FAILED;
    }
    char arguments[UPCALL_ARGS_SIZE];
    snprintf(arguments, sizeof(arguments), " -%c %.*s ", option, (int)len, ids);
    DWORD exitCode = UPCALL_FAILED;
    *output = execUpcall(arguments, &exitCode);
    return exitCode;
}

static void traceIdTooLong(trace_class &trace, const char *id, size_t len)
{
    TRACE_LINE(trace, TRACE_ERROR, "distribution ID longer than %u characters, not sent: '%.*s'",
               (unsigned)UPCALL_MAX_ID_LIST, (int)len, id);
}

static int pauseChunk(trace_class &trace, const char *ids, size_t len, int singleID)
{
    if (len > UPCALL_MAX_ID_LIST) {
        traceIdTooLong(trace, ids, len);
        return 0;
    }
    char *output = NULL;
    DWORD exitCode = runIdUpcall('p', ids, len, &output);
    free(output);
    if (exitCode == 0)
        return 1;
    if (!singleID)
        return 0;
    TRACE_LINE(trace, TRACE_INFO, "only one distribution");
    return exitCode == UPCALL_SOME_FAILED ? 1 : 0;
}

int GW_PauseDistribution(const char *epname, const char *distID)
{
    trace_class trace(TRACE_ORDINARY, "GW_PauseDistribution");
    (void)epname;
    int singleID = strchr(distID, ',') == NULL;
    int result = 1;
    // A long list goes in several upcalls of whole IDs; all must succeed.
    const char *rest = distID;
    for (;;) {
        size_t len = idChunkLength(rest, UPCALL_MAX_ID_LIST);
        if (!pauseChunk(trace, rest, len, singleID))
            result = 0;
        rest += len;
        if (*rest == '\0')
            break;
        rest++;   // the comma between two chunks
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// Adds len characters of ids to a comma-joined text; 0 when out of memory.
static int joinIds(char **joined, const char *ids, size_t len)
{
    size_t oldLen = *joined != NULL ? strlen(*joined) : 0;
    char *longer = (char *)realloc(*joined, oldLen + len + 2);
    if (longer == NULL)
        return 0;
    if (oldLen > 0)
        longer[oldLen++] = ',';
    memcpy(longer + oldLen, ids, len);
    longer[oldLen + len] = '\0';
    *joined = longer;
    return 1;
}

// The IDs that failed in one resume upcall, joined to *failed. When the list
// is one upcall, the program's output is handed on as it is (possibly null).
// Among several upcalls, one that fails without naming IDs counts all of its
// IDs as failed, so that the IDs named by the others do not stand for the
// whole list. *known becomes 0 when the failed IDs can no longer be told.
static int resumeChunk(trace_class &trace, const char *ids, size_t len, int severalUpcalls, char **failed,
                       int *known)
{
    if (len > UPCALL_MAX_ID_LIST) {
        traceIdTooLong(trace, ids, len);
        *known &= joinIds(failed, ids, len);
        return 0;
    }
    char *output = NULL;
    DWORD exitCode = runIdUpcall('r', ids, len, &output);
    TRACE_LINE(trace, TRACE_INFO, "exitCode=%u, out='%s'", (unsigned)exitCode, orNull(output));
    if (exitCode == 0) {
        free(output);
        return 1;
    }
    if (!severalUpcalls) {
        *failed = output;
        return 0;
    }
    if (output != NULL && output[0] != '\0')
        *known &= joinIds(failed, output, strlen(output));
    else
        *known &= joinIds(failed, ids, len);
    free(output);
    return 0;
}

int GW_ResumeDistributions(const char *epname, const char *distIDlist, char **failedList)
{
    trace_class trace(TRACE_ORDINARY, "GW_ResumeDistributions");
    (void)epname;
    int severalUpcalls = strlen(distIDlist) > UPCALL_MAX_ID_LIST;
    char *failed = NULL;
    int known = 1;
    int result = 1;
    const char *rest = distIDlist;
    for (;;) {
        size_t len = idChunkLength(rest, UPCALL_MAX_ID_LIST);
        if (!resumeChunk(trace, rest, len, severalUpcalls, &failed, &known))
            result = 0;
        rest += len;
        if (*rest == '\0')
            break;
        rest++;
    }
    if (!known) {
        // out of memory while joining: without a list the caller retries them all
        free(failed);
        failed = NULL;
    }
    if (result) {
        free(failed);
    } else {
        *failedList = failed;
        TRACE_LINE(trace, TRACE_INFO, "failedList = '%s'", orNull(failed));
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int GW_ListAllPausedDistributions(char **pausedList)
{
    trace_class trace(TRACE_ORDINARY, "GW_ListAllPausedDistributions");
    DWORD exitCode = UPCALL_FAILED;
    char *output = execUpcall(" -L ", &exitCode);
    int result = 0;
    if (exitCode != 0) {
        TRACE_LINE(trace, TRACE_ERROR, "ERROR retrieving paused list (%u)", (unsigned)exitCode);
        free(output);
    } else {
        TRACE_LINE(trace, TRACE_INFO, "pausedList='%s'", orNull(output));
        *pausedList = output;
        result = 1;
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// ---------------------------------------------------------------------------
// Pausing and resuming with bookkeeping
// ---------------------------------------------------------------------------

// A pause that could not be recorded would never be resumed: undo it now,
// and the pause counts as failed.
static void resumeUnrecorded(trace_class &trace, const char *epname, const char *distID)
{
    TRACE_LINE(trace, TRACE_ERROR, "ERROR distribution '%s' paused but not recorded, resuming it", distID);
    char *failed = NULL;
    if (!GW_ResumeDistributions(epname, distID, &failed))
        TRACE_LINE(trace, TRACE_ERROR, "ERROR distribution '%s' stays paused unrecorded", distID);
    free(failed);
}

int pauseDistribution(const char *epname, const char *distID, int maxLoginAllowed)
{
    trace_class trace(TRACE_ORDINARY, "pauseDistribution");
    TRACE_LINE(trace, TRACE_INFO, "call GW_PauseDistribution");
    int result = GW_PauseDistribution(epname, distID);
    if (result) {
        TRACE_LINE(trace, TRACE_INFO, "call updatePersistentPausedList");
        result = addToPersistentPausedList(epname, distID, maxLoginAllowed);
        if (!result)
            resumeUnrecorded(trace, epname, distID);
        else
            eventDistributionPaused(distID, maxLoginAllowed);
    }
    if (!result) {
        TRACE_LINE(trace, TRACE_ERROR, "ERROR distribution '%s' not paused", distID);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// The distribution IDs of the list joined by ","; null when out of memory.
static char *joinListIds(const paused_distribution_s *list)
{
    size_t size = 1;
    for (DWORD i = 0; i < list->size; i++)
        size += strlen(list->list[i].distID) + 1;
    char *joined = (char *)malloc(size);
    if (joined == NULL)
        return NULL;
    size_t used = 0;
    for (DWORD i = 0; i < list->size; i++) {
        if (i > 0)
            joined[used++] = ',';
        size_t len = strlen(list->list[i].distID);
        memcpy(joined + used, list->list[i].distID, len);
        used += len;
    }
    joined[used] = '\0';
    return joined;
}

int resumeAllDistributions(paused_distribution_s *list, char **failList)
{
    if (list == NULL)
        return 0;
    if (list->size == 0)
        return 1;   // nothing to resume
    char *joined = joinListIds(list);
    if (joined == NULL)
        return 0;
    int result = GW_ResumeDistributions(list->list[0].epname, joined, failList) == 1 ? 1 : 0;
    free(joined);
    return result;
}

int verifyPausedDistributions(paused_distribution_s *list)
{
    return list != NULL && list->size > 0 ? 1 : 0;
}

int isBlockingDistribution(paused_distribution_s *list)
{
    if (list == NULL)
        return 0;
    for (DWORD i = 0; i < list->size; i++)
        if (list->list[i].maxLoginAllowed == 0)
            return 1;
    return 0;
}

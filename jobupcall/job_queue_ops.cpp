// job_queue_ops: the job-queue operations of jobupcall over the service runtime: filter, list, pause, resume.
#include "job_queue_ops.h"
#include "qmob60.h"
#include "upcall_trace.h"
#include "zpl60.h"

#include <windows.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

long upcallTimeout = 0;

// Rewritten before every queue call; ends with the runtime's null repository.
static const type_repository *typeRepositories[3];
// Passed to every queue call, zeroed, and never examined.
static call_context callContext;

static const char QUEUE_NAME[] = "Korvo2Queue";
static const char MY_APPLICATION[] = "Palvento";
static const char CONCURRENT_LOGIN_ALLOWED[] = "SW_CONCURRENT_LOGIN_ALLOWED";
static const char MAX_LOGIN_ALLOWED[] = "SW_MAX_LOGIN_ALLOWED";
static const short STATE_MISSING = 254;
static const short STATE_PAUSED = 1;
static const short FIRST_FINISHED_STATE = 6;
static const long NO_LIMIT = -3;
static const short CONTROL_PAUSE = 2;
static const short CONTROL_RESUME = 3;

// Entries of a job sequence are 12-byte property sets, one after the other.
static properties *entryAt(const sequence *jobs, unsigned int index)
{
    return (properties *)jobs->first + index;
}

// msvcrt prints "(null)" for a null text; printed explicitly so that no null reaches printf.
static const char *printable(const char *text)
{
    return text != NULL ? text : "(null)";
}

static void loadApplicationRepository(const char *name)
{
    const char *dataDir = cpl_getenv("XEP_DATDIR"), *interpreter = cpl_getenv("INTERP");
    char path[260];
    int length = snprintf(path, sizeof(path), "%s\\cache\\lib\\%s\\%s", printable(dataDir), printable(interpreter), name);
    HMODULE library = length > 0 && (size_t)length < sizeof(path) ? LoadLibraryA(path) : NULL;
    if (library == NULL) {
        traceError("login_init_repository", "Load of repository %s failed with error %d", path, (int)GetLastError());
        return;
    }
    typedef const type_repository **(*application_types_fn)(void);
    application_types_fn getTypes =
        (application_types_fn)(void (*)(void))GetProcAddress(library, "get_application_adr_types");
    traceInfo("login_init_repository", "Get entry point get_application_adr_types() return %s", getTypes ? "OK" : "ERR");
    if (getTypes != NULL)
        typeRepositories[0] = getTypes()[0];
}

void login_init_repository(const char *name)
{
    tracedProcedure("login_init_repository", [&]() {
        typeRepositories[0] = NULL;
        if (name != NULL)
            loadApplicationRepository(name);
        int next = typeRepositories[0] != NULL ? 1 : 0;
        typeRepositories[next] = &Korvo2_type_repository;
        typeRepositories[next + 1] = &type_repository_null;
        adr_type_init(typeRepositories);
    });
}

static void setRuntimeTimeout(const char *routine)
{
    if (upcallTimeout <= 0)
        return;
    traceInfo(routine, "setting upcall timeout to %d", (int)upcallTimeout);
    kfr_set_upcall_timeout(upcallTimeout);
}

// One exception frame around get_jobs: 0 read, 1 exception, 2 timeout.
static int getJobsInFrame(sequence *jobs)
{
    jmp_buf jumpBuffer;
    volatile int result = 0;
    // cppcheck-suppress uninitvar ; the frame only keeps the buffer's address, setjmp fills it below
    eh_context *volatile context = eh_push_try(jumpBuffer);
    if (setjmp(jumpBuffer) == 0) {
        t_MobileEngine_Korvo2Queue_get_jobs(QUEUE_NAME, &callContext, NULL, jobs);
    } else if (eh_catch(context, "Exception")) {
        kfr_exception *exception = eh_current(context);
        char *text = def_ex_bind(exception);
        if (lqs_strstr(0, exception->type_name, "ExTimeout") != NULL) {
            result = 2;
            traceError("mobile_get_queue", "ERROR: Timeout");
        } else {
            result = 1;
            traceError("mobile_get_queue", "ERROR: Exception:%s", text);
        }
        fprintf(stderr, "Exception: %s\n", text);
        mg_free(text);
    } else {
        eh_again(context);
    }
    eh_pop_try(context);
    return result;
}

int mobile_get_queue(sequence *jobs)
{
    return tracedRoutine("mobile_get_queue", [&]() {
        login_init_repository(NULL);
        setRuntimeTimeout("mobile_get_queue");
        return getJobsInFrame(jobs);
    });
}

// One exception frame around control_jobs: 0 returned, 1 exception (timeouts included).
static int controlJobsInFrame(properties *control, sequence *jobs, sequence *failed)
{
    jmp_buf jumpBuffer;
    volatile int result = 0;
    // cppcheck-suppress uninitvar ; the frame only keeps the buffer's address, setjmp fills it below
    eh_context *volatile context = eh_push_try(jumpBuffer);
    if (setjmp(jumpBuffer) == 0) {
        t_MobileEngine_Korvo2Queue_control_jobs(QUEUE_NAME, &callContext, NULL, control, jobs, failed);
    } else if (eh_catch(context, "Exception")) {
        char *text = def_ex_bind(eh_current(context));
        traceError("mobile_control_jobs", "EXCEPTION after t_MobileEngine_Korvo2Queue_control_jobs: %s", text);
        fprintf(stderr, "Exception: %s\n", text);
        mg_free(text);
        result = 1;
    } else {
        eh_again(context);
    }
    eh_pop_try(context);
    return result;
}

int mobile_control_jobs(short messageType, sequence *jobs, sequence *failed)
{
    return tracedRoutine("mobile_control_jobs", [&]() {
        typeRepositories[0] = &Korvo2_type_repository;
        typeRepositories[1] = &type_repository_null;
        typeRepositories[2] = NULL;
        adr_type_init(typeRepositories);
        properties control = {0, 0, NULL};
        properties_put_short_dup(&control, MESSAGE_TYPE_KEY, messageType);
        setRuntimeTimeout("mobile_control_jobs");
        return controlJobsInFrame(&control, jobs, failed);
    });
}

int mobile_pause_jobs(sequence *jobs, sequence *failed)
{
    return mobile_control_jobs(CONTROL_PAUSE, jobs, failed);
}

int mobile_resume_jobs(sequence *jobs, sequence *failed)
{
    return mobile_control_jobs(CONTROL_RESUME, jobs, failed);
}

static int checkJob(const properties *job, int paused)
{
    const char *application = properties_get_string2(job, MESSAGE_APPLICATION_ID_KEY, NULL);
    if (application == NULL || strcmp(application, MY_APPLICATION) != 0) {
        traceInfo("verifyIsMine", "not Palvento dist!");
        return 0;
    }
    short state = properties_get_short2(job, NODE_STATE_KEY, STATE_MISSING);
    traceInfo("verifyIsMine", "current state is = %d", state);
    if (paused && state != STATE_PAUSED) {
        traceInfo("verifyIsMine", "not good paused state!");
        return 0;
    }
    if (!paused && (state == STATE_PAUSED || state >= FIRST_FINISHED_STATE)) {
        traceInfo("verifyIsMine", "not good state!");
        return 0;
    }
    if (properties_get_long2(job, CONCURRENT_LOGIN_ALLOWED, 0) == 0) {
        traceInfo("verifyIsMine", "concurrent_login_allowed not set");
        return 0;
    }
    return 1;
}

int verifyIsMine(const properties *job, int paused)
{
    return tracedRoutine("verifyIsMine", [&]() { return checkJob(job, paused); });
}

// Keeps the accepted entries in queue order. Each discarded entry is traced
// with the index it has at that moment, as if removed one at a time, but the
// kept entries are moved down in one pass: removing one at a time moves the
// whole tail every time, which grows with the square of the queue.
static void keepMyJobs(sequence *jobs, int paused)
{
    unsigned int kept = 0;
    for (unsigned int index = 0; index < jobs->length; index++) {
        if (verifyIsMine(entryAt(jobs, index), paused)) {
            if (kept != index)
                *entryAt(jobs, kept) = *entryAt(jobs, index);
            kept++;
        } else {
            traceInfo("retrieveMyDistributions", "discarding job at %u", kept);
        }
    }
    // The sequence record is capacity, length, first entry: shortening it drops the tail.
    jobs->length = kept;
}

int retrieveMyDistributions(sequence *jobs, int paused)
{
    return tracedRoutine("retrieveMyDistributions", [&]() {
        int result = mobile_get_queue(jobs);
        if (result != 0) {
            traceError("retrieveMyDistributions", "error retrieving the queue from gateway");
            return result;
        }
        traceInfo("retrieveMyDistributions", "mobile_get_queue returned %d, %d elements", 0, (int)jobs->length);
        keepMyJobs(jobs, paused);
        return 0;
    });
}

// The first limit found is taken whatever its sign; later ones only when 0 or more and lower.
static long loginLimit(const sequence *jobs)
{
    long limit = NO_LIMIT;
    for (unsigned int i = 0; i < jobs->length; i++) {
        long value = properties_get_long2(entryAt(jobs, i), MAX_LOGIN_ALLOWED, NO_LIMIT);
        if (value == NO_LIMIT)
            continue;
        if (limit == NO_LIMIT || (value >= 0 && value < limit))
            limit = value;
    }
    return limit == NO_LIMIT ? 0 : limit;
}

int listDistributions()
{
    return tracedRoutine("listDistributions", [&]() {
        sequence jobs = {0, 0, NULL};
        int result = retrieveMyDistributions(&jobs, 0);
        if (result != 0)
            return result;
        long limit = loginLimit(&jobs);
        traceInfo("listDistributions", "max_login_allowed %d", (int)limit);
        if (jobs.length > 0) {
            traceInfo("listDistributions", "at least one job is present");
            printf("%s %ld\n", printable(properties_get_string2(entryAt(&jobs, 0), MESSAGE_PARENT_DIST_ID_KEY, NULL)),
                   limit);
        }
        return 0;
    });
}

int listAllPausedDistributions()
{
    return tracedRoutine("listAllPausedDistributions", [&]() {
        sequence jobs = {0, 0, NULL};
        int result = retrieveMyDistributions(&jobs, 1);
        if (result != 0)
            return result;
        for (unsigned int i = 0; i < jobs.length; i++) {
            if (i > 0)
                fputs(",", stdout);
            const char *distID = properties_get_string2(entryAt(&jobs, i), MESSAGE_PARENT_DIST_ID_KEY, NULL);
            traceInfo("listAllPausedDistributions", "retrieved distID='%s'", printable(distID));
            fputs(printable(distID), stdout);
        }
        return 0;
    });
}

static void reportFailedJobs(const sequence *failed)
{
    traceInfo("manageSelectedDistributions", "List failed distID...");
    fputs("Error: Some distributions failed!", stderr);
    fflush(stderr);
    for (unsigned int i = 0; i < failed->length; i++) {
        if (i > 0)
            fputs(",", stdout);
        fputs(printable(properties_get_string2(entryAt(failed, i), MESSAGE_PARENT_DIST_ID_KEY, NULL)), stdout);
    }
    fflush(stdout);
    fputs("\n", stderr);
}

static int controlSequence(sequence *jobs, int pause, sequence *failed)
{
    int result;
    if (pause) {
        traceInfo("manageSelectedDistributions", "Try to pause...");
        result = mobile_pause_jobs(jobs, failed);
        traceInfo("manageSelectedDistributions", "mobile_pause_jobs returned %d failures", (int)failed->length);
    } else {
        traceInfo("manageSelectedDistributions", "Try to resume...");
        result = mobile_resume_jobs(jobs, failed);
        traceInfo("manageSelectedDistributions", "mobile_resume_jobs returned %d failures", (int)failed->length);
    }
    return result;
}

int manageSelectedDistributions(sequence *jobs, int pause)
{
    return tracedRoutine("manageSelectedDistributions", [&]() {
        int result = 0;
        sequence failed = {0, 0, NULL}, wholeQueue = {0, 0, NULL};
        if (jobs == NULL) {
            // -P and -R act on every job as read; a failed read leaves nothing to do.
            int read = mobile_get_queue(&wholeQueue);
            traceInfo("manageSelectedDistributions", "mobile_get_queue returned %d, %d elements", read,
                      (int)wholeQueue.length);
            jobs = &wholeQueue;
        }
        if (jobs->length > 0)
            result = controlSequence(jobs, pause, &failed);
        if (failed.length > 0) {
            reportFailedJobs(&failed);
            result = 4;
        }
        return result;
    });
}

// One job entry per item of the comma-separated list, items taken as they stand.
static void buildJobs(char *list, sequence *jobs)
{
    for (char *item = list;;) {
        char *comma = lqs_strchr(0, item, ',');
        if (comma != NULL)
            *comma = '\0';
        properties *job = properties_new();
        properties_put_string_dup(job, MESSAGE_PARENT_DIST_ID_KEY, item);
        properties_put_string_dup(job, MESSAGE_RECV_METHOD_KEY, "cm_operation_ep2");
        seq_add(jobs, job, sizeof(properties));
        if (comma == NULL)
            break;
        item = comma + 1;
    }
}

int manageDistributions(const char *list, int pause)
{
    return tracedRoutine("manageDistributions", [&]() {
        char *copy = strdup(list != NULL ? list : "");
        if (copy == NULL) {
            traceError("manageDistributions", "out of memory copying the list");
            return 1;
        }
        sequence jobs = {0, 0, NULL};
        if (copy[0] != '\0')
            buildJobs(copy, &jobs);
        free(copy);
        return jobs.length > 0 ? manageSelectedDistributions(&jobs, pause) : 0;
    });
}

int pauseDistributions(const char *list)
{
    return tracedRoutine("pauseDistributions", [&]() {
        traceInfo("pauseDistributions", "Try to pause dists: '%s'", list);
        return manageDistributions(list, 1);
    });
}

int resumeDistributions(const char *list)
{
    return tracedRoutine("resumeDistributions", [&]() {
        traceInfo("resumeDistributions", "Try to resume dists: '%s'", list);
        return manageDistributions(list, 0);
    });
}

int pauseAllDistributions()
{
    return tracedRoutine("pauseAllDistributions", [&]() { return manageSelectedDistributions(NULL, 1); });
}

int resumeAllDistributions()
{
    return tracedRoutine("resumeAllDistributions", [&]() { return manageSelectedDistributions(NULL, 0); });
}

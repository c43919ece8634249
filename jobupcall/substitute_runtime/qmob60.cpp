// qmob60: substitute for the service runtime's mobile engine: get_jobs and control_jobs over the queue file.
//
// The queue is the text file korvo2queue.txt in the endpoint data directory
// (XEP_DATDIR); see queue_file.h. Every access takes the machine-wide queue
// lock, and every change replaces the whole file, so concurrent writers never
// lose an update. Faults written in the file as directives are raised here.
#define QMOB60_BUILD
#include "qmob60.h"
#include "vqcore.h"
#include "zpl60.h"
#include "queue_file.h"

#include <stdio.h>
#include <string.h>

static const char QUEUE_NAME[] = "Korvo2Queue";
// How long a queue call may take when the caller set no upcall timeout.
static const long DEFAULT_TIMEOUT_SECONDS = 300;

static const char TYPE_EXCEPTION[] = "Exception";
static const char TYPE_TIMEOUT[] = "Exception.ExTimeout";
static const char TYPE_FAULT[] = "Fault.ExInjected";

// What to raise once every object of the failed call has been released:
// a raise jumps over the frames between it and the caller's setjmp.
struct raise_request {
    const char *type;
    char text[1024];
};

static bool fail(raise_request *request, const char *type, const std::string &text)
{
    request->type = type;
    snprintf(request->text, sizeof(request->text), "%s", text.c_str());
    return false;
}

static void traceQueue(const char *severity, const std::string &text)
{
    if (trace::level() >= 4 && trace::check_tags("queue") == 1 && trace::prepare_header(severity, QUEUE_NAME) == 1)
        trace::write_trace_text("%s", text.c_str());
}

static bool checkCall(const char *queueName, raise_request *request)
{
    if (queueName == NULL || strcmp(queueName, QUEUE_NAME) != 0)
        return fail(request, TYPE_EXCEPTION, std::string("unknown queue '") + (queueName ? queueName : "") + "'");
    if (!adr_type_registered(&Korvo2_type_repository))
        return fail(request, TYPE_EXCEPTION, "Korvo2Queue: the Korvo2 type repository is not registered");
    if (cpl_getenv("XEP_DATDIR") == NULL)
        return fail(request, TYPE_EXCEPTION, "Korvo2Queue: the endpoint data directory XEP_DATDIR is not set");
    return true;
}

static std::string queuePath()
{
    return queueFilePath(cpl_getenv("XEP_DATDIR"));
}

static bool loadLocked(queue_document *document, raise_request *request)
{
    std::string error;
    HANDLE lock = lockQueue(&error);
    if (lock == NULL)
        return fail(request, TYPE_EXCEPTION, "Korvo2Queue: " + error);
    bool loaded = loadQueueFile(queuePath(), document, &error);
    unlockQueue(lock);
    return loaded || fail(request, TYPE_EXCEPTION, "Korvo2Queue: " + error);
}

// An injected delay: past the caller's timeout the call gives up at the timeout.
static bool waitInjectedDelay(long seconds, const char *call, raise_request *request)
{
    if (seconds <= 0)
        return true;
    long timeout = kfr_get_upcall_timeout() > 0 ? kfr_get_upcall_timeout() : DEFAULT_TIMEOUT_SECONDS;
    if (seconds <= timeout) {
        Sleep((DWORD)seconds * 1000);
        return true;
    }
    Sleep((DWORD)timeout * 1000);
    return fail(request, TYPE_TIMEOUT,
                std::string("Korvo2Queue: ") + call + " did not complete within " + std::to_string(timeout) + " s");
}

static void addJob(sequence *jobs, const queue_job &job)
{
    properties set = {0, 0, NULL};
    for (const queue_property &property : job) {
        long number = strtol(property.value.c_str(), NULL, 10);
        if (property.type == 's')
            properties_put_string_dup(&set, property.name.c_str(), property.value.c_str());
        else if (property.type == 'h')
            properties_put_short_dup(&set, property.name.c_str(), (short)number);
        else
            properties_put_long_dup(&set, property.name.c_str(), number);
    }
    seq_add(jobs, &set, sizeof(set));
}

static bool readJobs(const char *queueName, sequence *jobs, raise_request *request)
{
    queue_document document;
    if (!checkCall(queueName, request) || !loadLocked(&document, request))
        return false;
    const queue_faults &faults = document.faults;
    if (!faults.failRead.empty())
        return fail(request, TYPE_EXCEPTION, faults.failRead);
    if (!faults.faultRead.empty())
        return fail(request, TYPE_FAULT, faults.faultRead);
    if (!waitInjectedDelay(faults.slowReadSeconds, "get_jobs", request))
        return false;
    unsigned int count = 0;
    for (const queue_line &line : document.lines)
        if (line.isJob) {
            addJob(jobs, line.job);
            count++;
        }
    traceQueue(" [I] ", "get_jobs: " + std::to_string(count) + " jobs");
    return true;
}

extern "C" QMOB60_API void t_MobileEngine_Korvo2Queue_get_jobs(const char *queueName, call_context *context,
                                                               void *reserved, sequence *jobs)
{
    (void)context;   // the call context carries the caller's credentials on a real endpoint; unused here
    (void)reserved;
    raise_request request = {NULL, ""};
    if (!readJobs(queueName, jobs, &request))
        eh_raise(request.type, request.text);
}

// Applies one request to every job entry; returns the IDs that failed, each with its reason.
static std::vector<std::pair<std::string, std::string>> applyRequests(queue_document *document, int controlType,
                                                                      const sequence *jobs, bool *changed)
{
    std::vector<std::pair<std::string, std::string>> failedIDs;
    const properties *entries = (const properties *)jobs->first;
    for (unsigned int i = 0; i < jobs->length; i++) {
        const char *distID = properties_get_string2(&entries[i], MESSAGE_PARENT_DIST_ID_KEY, NULL);
        std::string reason = "no distribution ID";
        if (distID != NULL && controlQueueJobs(document, distID, controlType, &reason) > 0)
            *changed = true;
        else
            failedIDs.push_back(std::make_pair(distID != NULL ? distID : "", reason));
    }
    return failedIDs;
}

static bool updateQueue(int controlType, const sequence *jobs, sequence *failed, raise_request *request)
{
    std::string error;
    HANDLE lock = lockQueue(&error);
    if (lock == NULL)
        return fail(request, TYPE_EXCEPTION, "Korvo2Queue: " + error);
    queue_document document;
    bool changed = false;
    bool done = loadQueueFile(queuePath(), &document, &error);
    std::vector<std::pair<std::string, std::string>> failedIDs;
    if (done)
        failedIDs = applyRequests(&document, controlType, jobs, &changed);
    if (done && changed)
        done = replaceQueueFile(queuePath(), document, &error);
    unlockQueue(lock);
    if (!done)
        return fail(request, TYPE_EXCEPTION, "Korvo2Queue: " + error);
    for (const std::pair<std::string, std::string> &failedID : failedIDs) {
        properties entry = {0, 0, NULL};
        properties_put_string_dup(&entry, MESSAGE_PARENT_DIST_ID_KEY, failedID.first.c_str());
        properties_put_string_dup(&entry, "reason", failedID.second.c_str());
        seq_add(failed, &entry, sizeof(entry));
    }
    traceQueue(" [I] ", "control_jobs type " + std::to_string(controlType) + ": " + std::to_string(jobs->length) +
                            " entries, " + std::to_string(failedIDs.size()) + " failed");
    return true;
}

static bool controlJobs(const char *queueName, properties *control, sequence *jobs, sequence *failed,
                        raise_request *request)
{
    int controlType = properties_get_short2(control, MESSAGE_TYPE_KEY, 0);
    if (controlType != QUEUE_CONTROL_PAUSE && controlType != QUEUE_CONTROL_RESUME)
        return fail(request, TYPE_EXCEPTION, "Korvo2Queue: unknown control request " + std::to_string(controlType));
    queue_document document;
    if (!checkCall(queueName, request) || !loadLocked(&document, request))
        return false;
    if (!document.faults.failControl.empty())
        return fail(request, TYPE_EXCEPTION, document.faults.failControl);
    if (!waitInjectedDelay(document.faults.slowControlSeconds, "control_jobs", request))
        return false;
    return updateQueue(controlType, jobs, failed, request);
}

extern "C" QMOB60_API void t_MobileEngine_Korvo2Queue_control_jobs(const char *queueName, call_context *context,
                                                                   void *reserved, properties *control,
                                                                   sequence *jobs, sequence *failed)
{
    (void)context;
    (void)reserved;
    raise_request request = {NULL, ""};
    if (!controlJobs(queueName, control, jobs, failed, &request))
        eh_raise(request.type, request.text);
}

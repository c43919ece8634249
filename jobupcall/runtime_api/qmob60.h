// qmob60: the service runtime's mobile engine (libqmob60): the endpoint's job queue.
#ifndef QMOB60_H
#define QMOB60_H

#include "kfr60.h"
#include "qprop60.h"

#ifdef QMOB60_BUILD
#define QMOB60_API __declspec(dllexport)
#else
#define QMOB60_API __declspec(dllimport)
#endif

// Opaque to callers; passed zeroed.
typedef struct call_context {
    unsigned int words[5];
} call_context;

extern "C" {
// Fills jobs with one property set per job, in queue order; raises on failure.
QMOB60_API void t_MobileEngine_Korvo2Queue_get_jobs(const char *queueName, call_context *context, void *reserved,
                                                    sequence *jobs);
// Pauses (MESSAGE_TYPE_KEY 2) or resumes (3) every job of jobs, named by
// MESSAGE_PARENT_DIST_ID_KEY; appends the entries that failed to failed; raises on failure of the call.
QMOB60_API void t_MobileEngine_Korvo2Queue_control_jobs(const char *queueName, call_context *context, void *reserved,
                                                        properties *control, sequence *jobs, sequence *failed);
}

#endif

// job_queue_ops: the job-queue operations of jobupcall over the service runtime: filter, list, pause, resume.
#ifndef JOB_QUEUE_OPS_H
#define JOB_QUEUE_OPS_H

#include "kfr60.h"
#include "qprop60.h"

// Seconds handed to the runtime before every queue call when above 0 (the -t option); 0 keeps the runtime's own.
extern long upcallTimeout;

int listDistributions();
int listAllPausedDistributions();
int pauseDistributions(const char *list);
int resumeDistributions(const char *list);
int pauseAllDistributions();
int resumeAllDistributions();

int manageDistributions(const char *list, int pause);
int manageSelectedDistributions(sequence *jobs, int pause);
int retrieveMyDistributions(sequence *jobs, int paused);
int verifyIsMine(const properties *job, int paused);
int mobile_get_queue(sequence *jobs);
int mobile_control_jobs(short messageType, sequence *jobs, sequence *failed);
int mobile_pause_jobs(sequence *jobs, sequence *failed);
int mobile_resume_jobs(sequence *jobs, sequence *failed);
void login_init_repository(const char *name);

#endif

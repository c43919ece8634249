// event_log: what the library tells administrators through the Application
// event log (source KVDNotification), whether tracing is on or off. The
// sentences are in the library's message table (kvd_events.mc).
#ifndef KVD_EVENT_LOG_H
#define KVD_EVENT_LOG_H

#include <windows.h>

#include "kvd_events.h"      // the event IDs, written by windmc from kvd_events.mc
#include "notify_trace.h"    // WLX_NOTIFICATION_INFO
#include "utils.h"           // paused_distribution_s

// A fault that repeats (the resume loop retries every 60 seconds, a lock
// stays held, an upcall keeps hanging) is written again only when its
// inserts change, when a decision event was written in between, or once
// this interval has passed since it was last written.
constexpr DWORD EVENT_REPEAT_INTERVAL_MS = 60 * 60 * 1000;

// One call at each point where an event is written. Each returns 1 when the
// event was written and 0 when it was held back as a repeat or the log could
// not be written; the caller goes on either way.
int eventPlanBudget(int oldBudget, int newBudget);   // a plan starts (-2 to a budget) or ends (to -2)
int eventDistributionPaused(const char *distID, int budget);
int eventDistributionsResumed(const paused_distribution_s *list);
int eventResumeFailed(const paused_distribution_s *list, const char *failList);
int eventLogonRefused(PWLX_NOTIFICATION_INFO pInfo, int popupType, const char *distID);
int eventShutdownAtCompletion();
int eventRestrictionLifted(DWORD startups);
int eventLockCeiling(DWORD waitedMs);
int eventLockAbandoned();
int eventUpcallDeadline(const char *cmdLine, DWORD limitMs);
int eventFaultContained(DWORD code, const void *address);
// For the shared record and the global lock once they have an owner: an
// object found with an owner that is not trusted (name: the object's name).
int eventObjectNotTrusted(const char *name);

// Test hook, for tests only: every remembered fault event is taken as
// written ms earlier, as if that much time had passed.
void eventLogTestHookAge(DWORD ms);

#endif

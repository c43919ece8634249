// KVDnotificationLibrary: the shared record, the global lock, the exports and the logon event handlers.
#ifndef KVD_NOTIFICATION_LIBRARY_H
#define KVD_NOTIFICATION_LIBRARY_H

#include <windows.h>
#include "fault_guard.h"
#include "notify_trace.h"

// The record every process that loads the library shares through named memory.
typedef struct shared_record {
    DWORD _dwLoggedOn;             // interactive logons counted now
    DWORD _upcallCode;             // process id of the child started last, 0 after an upcall
    LONG _someoneLooping;          // a resume loop runs in some process
    LONG _shutdownWhenComplete;    // the user asked for shutdown at completion
    LONG _upcallRunning;           // a logon decision is being made
    LONG _final_popup_enabled;     // show the completion popup when the last client ends
} shared_record;

static_assert(sizeof(shared_record) == 24, "the shared record is six 32-bit fields");

constexpr const char SHARED_MEMORY_NAME[] = "Global\\KVDNotificationFileMap";
// The global lock keeps the name it had as a semaphore; as a mutex, a holder
// that dies is noticed by the next waiter instead of blocking everyone.
constexpr const char GLOBAL_SEMAPHORE_NAME[] = "Global\\KVDNotificationSemaphore";
#define KVD_GLOBAL_LOCK_IS_MUTEX 1

// The record in use: the mapped view, or a private zeroed record when the
// mapping could not be created or mapped.
extern shared_record *shareData;
extern HINSTANCE ghInst;

PSECURITY_DESCRIPTOR getEveryoneSD();
void initialize();
void deInitialize();
shared_record *defaultSharedData();
void takeGlobalLock();
void releaseGlobalLock();
void DumpSharedMemory();

int adoptPendingDistribution(const char *except);
void UpdateCounter(PWLX_NOTIFICATION_INFO pInfo, int loggedOn);
DWORD usersLoggedOn();
void DoResumeLoop();
int resumePendingDistributions();

// Exports, bound by name with the Windows API calling convention.
extern "C" {
int WINAPI getNumLoggedOn();
int WINAPI testAPI();
int WINAPI checkValidCall(DWORD childCode);
int WINAPI waitUpcallCompletion();
void WINAPI enableFinalPopup();
void WINAPI shutdownWhenComplete(int val);
int WINAPI pauseMeIfNeeded(const char *epname, const char *distID, int currDistributionType,
                           int currMaxLoginAllowed, int shutdownDisabled);
void WINAPI increaseRunningClients(const char *distId);
void WINAPI decreaseRunningClients(const char *distId);
void WINAPI KVDEventStartUp(PWLX_NOTIFICATION_INFO pInfo);
void WINAPI KVDEventLogon(PWLX_NOTIFICATION_INFO pInfo);
void WINAPI KVDEventLogoff(PWLX_NOTIFICATION_INFO pInfo);
void WINAPI KVDEventShutdown(PWLX_NOTIFICATION_INFO pInfo);
}

#endif

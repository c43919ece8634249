// KVDnotificationLibrary: the shared record, the global lock, the exports and the logon event handlers.
#include "KVDnotificationLibrary.h"
#include "program_util.h"
#include "registry_schema.h"
#include "registry_util.h"
#include "upcalls.h"
#include "utils.h"

#include <stdlib.h>
#include <string.h>

HINSTANCE ghInst = NULL;
t_s *shareData = NULL;
static HANDLE hMapObject = NULL;
static bool shareDataIsMapped = false;

static PSID sidEveryone = NULL;
static PACL pDacl = NULL;
static PSECURITY_DESCRIPTOR pSecD = NULL;
static SECURITY_ATTRIBUTES sa;

// The semaphore handle of the lock this thread holds. It is recorded before
// the wait, so a lock that is taken always has its handle for the unlock.
static thread_local HANDLE currentLockHandle = NULL;

static const DWORD EVERYONE_ACL_SIZE = 28;           // header, one allowed entry, the world SID
static const DWORD EVERYONE_ACCESS = 0x1F01FF;       // standard rights, synchronize, all specific rights
static const DWORD UPCALL_POLL_MS = 500;

static void releaseSecurityObjects()
{
    free(pSecD);
    pSecD = NULL;
    free(pDacl);
    pDacl = NULL;
    if (sidEveryone != NULL)
        FreeSid(sidEveryone);
    sidEveryone = NULL;
}

static PSECURITY_DESCRIPTOR failSecurityDescriptor(trace_class &trace, const char *call)
{
    TRACE_LINE(trace, TRACE_ERROR, "Error invoking %s (%u)", call, (unsigned)GetLastError());
    releaseSecurityObjects();
    return NULL;
}

PSECURITY_DESCRIPTOR getEveryoneSD()
{
    trace_class trace(TRACE_DETAILED, "getEveryoneSD");
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sidEveryone)) {
        TRACE_LINE(trace, TRACE_ERROR, "Error invoking AllocateAndInitializeSid (%u)", (unsigned)GetLastError());
        sidEveryone = NULL;
        return NULL;
    }
    pSecD = calloc(1, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (pSecD == NULL || !InitializeSecurityDescriptor(pSecD, SECURITY_DESCRIPTOR_REVISION))
        return failSecurityDescriptor(trace, "InitializeSecurityDescriptor");
    pDacl = (PACL)calloc(1, EVERYONE_ACL_SIZE);
    if (pDacl == NULL || !InitializeAcl(pDacl, EVERYONE_ACL_SIZE, ACL_REVISION))
        return failSecurityDescriptor(trace, "InitializeAcl");
    if (!AddAccessAllowedAce(pDacl, ACL_REVISION, EVERYONE_ACCESS, sidEveryone))
        return failSecurityDescriptor(trace, "AddAccessAllowedAce");
    if (!SetSecurityDescriptorDacl(pSecD, TRUE, pDacl, FALSE))
        return failSecurityDescriptor(trace, "SetSecurityDescriptorDacl");
    TRACE_LINE(trace, TRACE_INFO, "return data = %p", pSecD);
    return pSecD;
}

t_s *defaultSharedData()
{
    return (t_s *)calloc(1, sizeof(t_s));
}

void initialize()
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_DETAILED, "dll initialization");
    TRACE_LINE(trace, TRACE_INFO, "build timestamp: %s %s", __DATE__, __TIME__);

    TRACE_LINE(trace, TRACE_INFO, "create sid for access");
    getEveryoneSD();
    TRACE_LINE(trace, TRACE_INFO, "pSecD=%p", pSecD);
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = pSecD;   // null: the creator's default security
    sa.bInheritHandle = FALSE;

    TRACE_LINE(trace, TRACE_INFO, "create shared memory");
    hMapObject = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(t_s), SHARED_MEMORY_NAME);
    if (hMapObject == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the shared memory (%u), exiting", (unsigned)GetLastError());
        shareData = defaultSharedData();
        return;
    }
    bool firstInstance = GetLastError() != ERROR_ALREADY_EXISTS;

    TRACE_LINE(trace, TRACE_INFO, "map the shared memory");
    void *view = MapViewOfFile(hMapObject, FILE_MAP_WRITE, 0, 0, 0);
    if (view == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error mapping the shared memory (%u), exiting", (unsigned)GetLastError());
        shareData = defaultSharedData();
        return;   // the mapping handle stays open until detach
    }
    shareData = (t_s *)view;
    shareDataIsMapped = true;
    if (firstInstance) {
        TRACE_LINE(trace, TRACE_INFO, "first instance, initialize memory");
        memset(shareData, 0, sizeof(t_s));
    }
}

void deInitialize()
{
    trace_class trace(TRACE_DETAILED, "deInitialize");
    if (shareData != NULL && shareDataIsMapped) {
        TRACE_LINE(trace, TRACE_INFO, "unmap shared memory");
        UnmapViewOfFile(shareData);
        shareData = NULL;
        shareDataIsMapped = false;
    }
    // A private fallback record simply lives until the process ends.
    if (hMapObject != NULL) {
        TRACE_LINE(trace, TRACE_INFO, "close handle to shared memory");
        CloseHandle(hMapObject);
        hMapObject = NULL;
    }
    releaseSecurityObjects();
}

void lockSemaphore()
{
    trace_class trace(TRACE_DETAILED, "lockSemaphore");
    HANDLE hSem = CreateSemaphoreA(&sa, 1, 1, GLOBAL_SEMAPHORE_NAME);
    if (hSem == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the semaphore, error %u", (unsigned)GetLastError());
        return;   // the caller goes on without the lock
    }
    TRACE_LINE(trace, TRACE_INFO, "global semaphore = %p", hSem);
    currentLockHandle = hSem;
    DWORD waitResult = WaitForSingleObject(hSem, INFINITE);
    if (waitResult == WAIT_FAILED)
        TRACE_LINE(trace, TRACE_INFO, "WaitForSingleObject error = %u", (unsigned)GetLastError());
    else
        TRACE_LINE(trace, TRACE_INFO, "WaitForSingleObject returned = %u", (unsigned)waitResult);
}

void unlockSemaphore()
{
    trace_class trace(TRACE_DETAILED, "unlockSemaphore");
    HANDLE hSem = currentLockHandle;
    if (hSem == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error retrieving the local value for hSem, error: %u",
                   (unsigned)GetLastError());
        return;
    }
    TRACE_LINE(trace, TRACE_INFO, "hsem = %p", hSem);
    BOOL released = ReleaseSemaphore(hSem, 1, NULL);
    TRACE_LINE(trace, TRACE_INFO, "ReleaseSemaphore returned = %u", (unsigned)released);
    CloseHandle(hSem);
    currentLockHandle = NULL;
}

void DumpSharedMemory()
{
    trace_class trace(TRACE_DETAILED, "DumpSharedMemory");
    TRACE_LINE(trace, TRACE_INFO, "  shareData=%p", (void *)shareData);
    TRACE_LINE(trace, TRACE_INFO, "  _dwLoggedOn=%u", (unsigned)shareData->_dwLoggedOn);
    TRACE_LINE(trace, TRACE_INFO, "  _upcallCode=%u", (unsigned)shareData->_upcallCode);
    TRACE_LINE(trace, TRACE_INFO, "  _someoneLooping=%d", (int)shareData->_someoneLooping);
    TRACE_LINE(trace, TRACE_INFO, "  _shutdownWhenComplete=%d", (int)shareData->_shutdownWhenComplete);
    TRACE_LINE(trace, TRACE_INFO, "  _upcallRunning=%d", (int)shareData->_upcallRunning);
    TRACE_LINE(trace, TRACE_INFO, "  _final_popup_enabled=%d", (int)shareData->_final_popup_enabled);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        initialize();
    else if (reason == DLL_PROCESS_DETACH)
        deInitialize();
    ghInst = instance;
    setProcessPidPointer(shareData != NULL ? &shareData->_upcallCode : NULL);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Exports for the distribution engine, popctl and jobupcall
// ---------------------------------------------------------------------------

extern "C" int WINAPI getNumLoggedOn()
{
    return (int)shareData->_dwLoggedOn;
}

extern "C" int WINAPI testAPI()
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "testAPI");
    return 0;
}

extern "C" int WINAPI checkValidCall(DWORD childCode)
{
    return childCode == shareData->_upcallCode ? 1 : 0;
}

extern "C" int WINAPI waitUpcallCompletion()
{
    TRACE_INITIALIZE();
    DumpSharedMemory();
    // Volatile: the logon handler of another process clears the flag.
    while (((volatile t_s *)shareData)->_upcallRunning != 0)
        Sleep(UPCALL_POLL_MS);
    return 0;
}

extern "C" void WINAPI enableFinalPopup()
{
    shareData->_final_popup_enabled = 1;
}

extern "C" void WINAPI shutdownWhenComplete(int val)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "shutdownWhenComplete");
    TRACE_LINE(trace, TRACE_INFO, "setting _shutdownWhenComplete=%d", val);
    lockSemaphore();
    shareData->_shutdownWhenComplete = val;
    unlockSemaphore();
}

// Whether a distribution other than except is active in the job queue; the
// answer also sets the logon budget. The caller holds the lock.
int checkPendingDistribution(const char *except)
{
    trace_class trace(TRACE_ORDINARY, "checkPendingDistribution");
    int result = GW_IsPendingDistribution(except);
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// A first plan sets the budget (even to a negative value); a later one can only
// make it stricter. Every negative budget but "no plan" means unlimited.
static int mergeLogonBudget(int budget, int currMaxLoginAllowed)
{
    if (budget == NO_PLAN_RUNNING || (currMaxLoginAllowed >= 0 && (budget < 0 || currMaxLoginAllowed < budget))) {
        setMaxLoginAllowed(currMaxLoginAllowed);
        return currMaxLoginAllowed;
    }
    return budget;
}

static int decidePause(trace_class &trace, const char *epname, const char *distID, int currDistributionType,
                       int currMaxLoginAllowed, int shutdownDisabled)
{
    updateMaxShutdownAllowed(1);
    int budget = getMaxLoginAllowed();
    if (currDistributionType == 1 || currDistributionType == 3) {
        budget = mergeLogonBudget(budget, currMaxLoginAllowed);
        if (shutdownDisabled != 0)
            RegSetDWORD(KVD_ROOT, KVD_POPCTL_KEY, VAL_IS_ACTIVE, (DWORD)shutdownDisabled);
    }
    if (shareData->_dwLoggedOn != 0) {
        TRACE_LINE(trace, TRACE_INFO, "someone is already logged on the machine pause me!");
        pauseDistribution(epname, distID, budget);   // asked for, whatever the queue answers
        return 1;
    }
    TRACE_LINE(trace, TRACE_INFO, "none is logged on the machine at the moment");
    return 2;
}

extern "C" int WINAPI pauseMeIfNeeded(const char *epname, const char *distID, int currDistributionType,
                                      int currMaxLoginAllowed, int shutdownDisabled)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "pauseMeIfNeeded");
    if (!isKVDEnabled()) {
        TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
        TRACE_LINE(trace, TRACE_INFO, "return data = %d", 0);
        return 0;
    }
    lockSemaphore();
    TRACE_LINE(trace, TRACE_INFO,
               "epname='%s' distribution ID='%s' currDistributionType=%d currMaxLoginAllowed=%d shutdownDisabled=%d",
               epname, distID, currDistributionType, currMaxLoginAllowed, shutdownDisabled);
    int result = 2;
    try {
        result = decidePause(trace, epname, distID, currDistributionType, currMaxLoginAllowed, shutdownDisabled);
    } catch (...) {
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
    }
    unlockSemaphore();
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

extern "C" void WINAPI increaseRunningClients(const char *distId)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "increaseRunningClients");
    TRACE_LINE(trace, TRACE_INFO, "current distID='%s'", distId);
    lockSemaphore();
    try {
        updateRuningClients(1, 0);
    } catch (...) {
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
    }
    unlockSemaphore();
}

static void endRunningClient(trace_class &trace, const char *distId)
{
    // Shut down only when no other distribution is active in the queue.
    int shutdownFlag = shareData->_shutdownWhenComplete != 0 && checkPendingDistribution(distId) == 0;
    DWORD remaining = updateRuningClients(-1, shutdownFlag);
    if (shareData->_final_popup_enabled && remaining == 0 && shareData->_dwLoggedOn == 0) {
        shareData->_final_popup_enabled = 0;
        TRACE_LINE(trace, TRACE_INFO, "_final_popup_enabled = true, show popup");
        showFinalPopup(0);
    }
}

extern "C" void WINAPI decreaseRunningClients(const char *distId)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "decreaseRunningClients");
    TRACE_LINE(trace, TRACE_INFO, "current distID='%s'", distId);
    lockSemaphore();
    try {
        endRunningClient(trace, distId);
    } catch (...) {
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
    }
    unlockSemaphore();
}

// ---------------------------------------------------------------------------
// Logon event handlers
// ---------------------------------------------------------------------------

// The caller holds the lock. A logoff that was never counted (the library was
// loaded while a user was logged on) leaves the count at 0 instead of wrapping
// it to a number that reads as "someone is logged on" for ever.
void UpdateCounter(PWLX_NOTIFICATION_INFO pInfo, int loggedOn)
{
    trace_class trace(TRACE_ORDINARY, "UpdateCounter");
    (void)pInfo;
    if (loggedOn == 1) {
        TRACE_LINE(trace, TRACE_INFO, "Logon");
        shareData->_dwLoggedOn++;
        return;
    }
    TRACE_LINE(trace, TRACE_INFO, "Logoff");
    if (shareData->_dwLoggedOn == 0)
        TRACE_LINE(trace, TRACE_WARNING, "logoff of a logon that was never counted, the count stays 0");
    else
        shareData->_dwLoggedOn--;
}

DWORD usersLoggedOn()
{
    trace_class trace(TRACE_ORDINARY, "usersLoggedOn");
    DWORD loggedOn = ((volatile t_s *)shareData)->_dwLoggedOn;
    TRACE_LINE(trace, TRACE_INFO, "currently logged on = %u", (unsigned)loggedOn);
    return loggedOn;
}

// Counts the logon; 1 when the library is switched on.
static int countLogon(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo)
{
    try {
        UpdateCounter(pInfo, 1);
        int enabled = isKVDEnabled();
        if (!enabled)
            TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
        Dump("Logon", pInfo);
        return enabled;
    } catch (...) {
        TRACE_LINE(trace, TRACE_FATAL, "FATAL: unhandled Exception was raised!");
        return 0;
    }
}

static void allowLogon(trace_class &trace)
{
    TRACE_LINE(trace, TRACE_INFO, "logon is allowed");
    showLoginDeniedPopUp(0, 0, NULL);
    TRACE_LINE(trace, TRACE_INFO, "resetting _shutdownWhenComplete");
    shareData->_shutdownWhenComplete = 0;
}

static void denyLogon(trace_class &trace, int denyType, const char *distID)
{
    TRACE_LINE(trace, TRACE_INFO, "show popup");
    showLoginDeniedPopUp(1, denyType, distID);
}

// Someone else is logged on, a plan runs, or the queue lists an active distribution.
static int isRestrictedLogon()
{
    return usersLoggedOn() > 1 || checkRunningPlan() != 0 || checkPendingDistribution(NULL) != 0;
}

// A restricted logon uses one logon of the budget; the only user pauses the
// running distribution. *runningID receives the notify file's ID (caller frees).
static void decideRestrictedLogon(trace_class &trace, char **runningID)
{
    if (checkMaxAllowedLogin() == 0) {
        denyLogon(trace, 0, NULL);
        return;
    }
    int budget = getMaxLoginAllowed();
    TRACE_LINE(trace, TRACE_INFO, "login allowed. Login remaining = %d, pausing...", budget);
    if (usersLoggedOn() == 1) {
        *runningID = retrieveRunningDistribution();
        if (*runningID != NULL && !pauseDistribution("localhost", *runningID, budget)) {
            TRACE_LINE(trace, TRACE_ERROR, "ERROR pausing distribution");
            if (denyLogonOnPauseError()) {
                TRACE_LINE(trace, TRACE_INFO, "DenyLogonOnPauseError is true, deny the logon");
                denyLogon(trace, 1, *runningID);
                return;
            }
        }
    }
    allowLogon(trace);
}

static void decideLogon(trace_class &trace)
{
    char *runningID = NULL;
    try {
        if (isRestrictedLogon())
            decideRestrictedLogon(trace, &runningID);
        else
            allowLogon(trace);
    } catch (...) {
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    }
    free(runningID);
}

extern "C" void WINAPI KVDEventLogon(PWLX_NOTIFICATION_INFO pInfo)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventLogon");
    lockSemaphore();
    shareData->_upcallRunning = 1;
    if (countLogon(trace, pInfo))
        decideLogon(trace);
    shareData->_upcallRunning = 0;
    unlockSemaphore();
}

// Counts the logoff; 1 when the library is switched on.
static int countLogoff(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo)
{
    int locked = 0;
    try {
        lockSemaphore();
        locked = 1;
        UpdateCounter(pInfo, 0);
        locked = 0;
        unlockSemaphore();
        if (!isKVDEnabled()) {
            TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
            return 0;
        }
        Dump("Logoff", pInfo);
        return 1;
    } catch (...) {
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
        if (locked)
            unlockSemaphore();
        return 0;
    }
}

extern "C" void WINAPI KVDEventLogoff(PWLX_NOTIFICATION_INFO pInfo)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventLogoff");
    if (!countLogoff(trace, pInfo))
        return;
    DoResumeLoop();
    if (((volatile t_s *)shareData)->_shutdownWhenComplete) {
        TRACE_LINE(trace, TRACE_INFO, "_shutdownWhenComplete = true, show popup");
        showFinalPopup(1);
    }
}

extern "C" void WINAPI KVDEventStartUp(PWLX_NOTIFICATION_INFO pInfo)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventStartUp");
    lockSemaphore();
    try {
        if (isKVDEnabled()) {
            Dump("StartUp", pInfo);
            updateMaxShutdownAllowed(0);
        } else {
            TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
        }
    } catch (...) {
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    }
    unlockSemaphore();
    DoResumeLoop();
}

extern "C" void WINAPI KVDEventShutdown(PWLX_NOTIFICATION_INFO pInfo)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEvenShutdown");
    try {
        if (isKVDEnabled())
            Dump("ShutDown", pInfo);
        else
            TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
    } catch (...) {
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    }
}

// After a partly failed resume, keeps recorded only what failed and is still
// paused in the queue; 1 when nothing is left.
static int keepFailedAndPaused(trace_class &trace, paused_distribution_s *list, const char *failList)
{
    TRACE_LINE(trace, TRACE_INFO, "invoking updatePausedAndPersistentList");
    char *pausedNow = NULL;
    int result = 0;
    if (GW_ListAllPausedDistributions(&pausedNow))
        result = updatePersistenPausedtList(list, failList, pausedNow) != 0 ? 1 : 0;
    else
        TRACE_LINE(trace, TRACE_ERROR, " ERROR retrieving pausedList");
    free(pausedNow);
    return result;
}

// 1 when nothing is left to resume, 0 when a later retry is needed. The
// caller holds the lock.
int resumePendingDistributions()
{
    trace_class trace(TRACE_ORDINARY, "resumePendingDistributions");
    paused_distribution_s *list = retrievePausedList();
    int result = 1;
    if (!verifyPausedDistributions(list)) {
        TRACE_LINE(trace, TRACE_INFO, "no paused distribution to resume...");
    } else {
        TRACE_LINE(trace, TRACE_INFO, "resume paused distributions");
        char *failList = NULL;
        if (resumeAllDistributions(list, &failList)) {
            emptyPersistentPausedList();
        } else {
            TRACE_LINE(trace, TRACE_ERROR, "ERROR resumeAllDistributions failed");
            result = failList != NULL ? keepFailedAndPaused(trace, list, failList) : 0;
        }
        free(failList);
    }
    freePausedListStructure(list);
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

static const int RESUME_WAIT_SECONDS = 60;

// Claims the one resume loop of all processes; 0 when another one runs.
static int claimResumeLoop(trace_class &trace)
{
    if (((volatile t_s *)shareData)->_someoneLooping) {
        TRACE_LINE(trace, TRACE_INFO, "someone already looping exiting...");
        return 0;
    }
    lockSemaphore();
    int claimed = shareData->_someoneLooping == 0;
    if (claimed)
        shareData->_someoneLooping = 1;
    unlockSemaphore();
    if (!claimed)
        TRACE_LINE(trace, TRACE_INFO, "someone already looping, exiting...");
    return claimed;
}

// One attempt under the lock; 1 when everything is resumed.
static int attemptResume(trace_class &trace)
{
    int resumed = 0;
    lockSemaphore();
    try {
        if (shareData->_dwLoggedOn == 0) {
            TRACE_LINE(trace, TRACE_INFO, "none is logged, try to resume distributions");
            resumed = resumePendingDistributions();
        }
    } catch (...) {
        TRACE_LINE(trace, TRACE_FATAL, "FATAL: unhandled Exception was raised!");
    }
    unlockSemaphore();
    return resumed;
}

// Waits up to a minute without the lock; 1 when a user logged on meanwhile.
static int waitForLogon()
{
    for (int second = 0; second < RESUME_WAIT_SECONDS; second++) {
        if (((volatile t_s *)shareData)->_dwLoggedOn != 0)
            return 1;
        Sleep(1000);
    }
    return 0;
}

// Resumes the paused distributions once nobody is logged on, retrying every
// minute; ends when that worked or when a user logs on.
void DoResumeLoop()
{
    trace_class trace(TRACE_ORDINARY, "DoResumeLoop");
    if (!claimResumeLoop(trace))
        return;
    for (;;) {
        if (attemptResume(trace)) {
            shareData->_someoneLooping = 0;
            TRACE_LINE(trace, TRACE_INFO, "resume worked");
            return;
        }
        if (((volatile t_s *)shareData)->_dwLoggedOn == 0)
            TRACE_LINE(trace, TRACE_ERROR, "ERROR: resume failed!!");
        if (waitForLogon()) {
            shareData->_someoneLooping = 0;
            TRACE_LINE(trace, TRACE_INFO, "someone logged on, exiting...");
            return;
        }
    }
}

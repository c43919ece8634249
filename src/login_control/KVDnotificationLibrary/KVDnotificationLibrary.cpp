// KVDnotificationLibrary: the shared record, the global lock, the exports and the logon event handlers.
#include "KVDnotificationLibrary.h"
#include "event_log.h"
#include "program_util.h"
#include "object_security.h"
#include "registry_schema.h"
#include "registry_util.h"
#include "upcalls.h"
#include "utils.h"

#include <stdlib.h>
#include <string.h>

HINSTANCE ghInst = NULL;
shared_record *shareData = NULL;
static HANDLE hMapObject = NULL;
static bool shareDataIsMapped = false;

// The global lock of this process: the named mutex, kept open from attach
// to detach so that its name exists for as long as the process runs, or a
// mutex of this process alone when the name is taken by an object that is not
// trusted. NULL in standard-user processes, which never lock.
static HANDLE globalLock = NULL;
// Standard-user processes read the record and change nothing.
static bool mayWriteSharedState = false;

// The thread slot that keeps the mutex of the lock a thread holds (NULL: none).
static DWORD heldLockSlot = TLS_OUT_OF_INDEXES;

static const DWORD UPCALL_POLL_MS = 500;

static int allocateHeldLockSlot()
{
    if (heldLockSlot == TLS_OUT_OF_INDEXES)
        heldLockSlot = TlsAlloc();
    return heldLockSlot != TLS_OUT_OF_INDEXES;
}

static void releaseThreadSlots()
{
    removeFaultGuard();
    TRACE_RELEASE();
    if (heldLockSlot != TLS_OUT_OF_INDEXES)
        TlsFree(heldLockSlot);
    heldLockSlot = TLS_OUT_OF_INDEXES;
}

static HANDLE heldLock()
{
    return heldLockSlot != TLS_OUT_OF_INDEXES ? (HANDLE)TlsGetValue(heldLockSlot) : NULL;
}

static void setHeldLock(HANDLE lock)
{
    if (heldLockSlot != TLS_OUT_OF_INDEXES)
        TlsSetValue(heldLockSlot, lock);
}

shared_record *defaultSharedData()
{
    return (shared_record *)calloc(1, sizeof(shared_record));
}

static void traceNotTrusted(trace_class &trace, const char *name)
{
    TRACE_LINE(trace, TRACE_ERROR, NOT_TRUSTED_FORMAT ", not used", name);
    eventObjectNotTrusted(name);
}

// A process of SYSTEM or of an administrator makes the record (or opens the
// one its peers made) with write access; NULL when it cannot be trusted.
static HANDLE newRecordMapping(SECURITY_ATTRIBUTES *attributes, const char *name)
{
    return CreateFileMappingA(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0, sizeof(shared_record), name);
}

static HANDLE createRecordMapping(trace_class &trace, bool *firstInstance)
{
    HANDLE mapping;
    object_outcome outcome = createTrustedObject(ACCESS_SHARED_RECORD, newRecordMapping, SHARED_MEMORY_NAME, &mapping);
    if (outcome == OBJECT_NOT_TRUSTED)
        traceNotTrusted(trace, SHARED_MEMORY_NAME);
    else if (outcome == OBJECT_FAILED)
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the shared memory (%u), exiting", (unsigned)GetLastError());
    *firstInstance = outcome == OBJECT_CREATED;
    return mapping;
}

// A standard-user process only reads the record that a trusted process made.
static HANDLE openRecordMappingToRead(trace_class &trace)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | READ_CONTROL, FALSE, SHARED_MEMORY_NAME);
    if (mapping == NULL) {
        TRACE_LINE(trace, TRACE_INFO, "no shared memory to read (%u)", (unsigned)GetLastError());
    } else if (!isTrustedObject(mapping)) {
        traceNotTrusted(trace, SHARED_MEMORY_NAME);
        CloseHandle(mapping);
        mapping = NULL;
    }
    return mapping;
}

static void mapSharedRecord(trace_class &trace)
{
    bool firstInstance = false;
    TRACE_LINE(trace, TRACE_INFO, "create shared memory");
    hMapObject = mayWriteSharedState ? createRecordMapping(trace, &firstInstance) : openRecordMappingToRead(trace);
    if (hMapObject == NULL) {
        shareData = defaultSharedData();
        return;
    }
    TRACE_LINE(trace, TRACE_INFO, "map the shared memory");
    void *view = MapViewOfFile(hMapObject, mayWriteSharedState ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0);
    if (view == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error mapping the shared memory (%u), exiting", (unsigned)GetLastError());
        shareData = defaultSharedData();
        return;   // the mapping handle stays open until detach
    }
    shareData = (shared_record *)view;
    shareDataIsMapped = true;
    if (firstInstance) {
        TRACE_LINE(trace, TRACE_INFO, "first instance, initialize memory");
        memset(shareData, 0, sizeof(shared_record));
    }
}

// The named lock, made with the record by trusted processes and kept open.
static HANDLE newLockMutex(SECURITY_ATTRIBUTES *attributes, const char *name)
{
    return CreateMutexA(attributes, FALSE, name);
}

static void createGlobalLock(trace_class &trace)
{
    object_outcome outcome = createTrustedObject(ACCESS_PRIVILEGED_ONLY, newLockMutex, GLOBAL_SEMAPHORE_NAME, &globalLock);
    if (outcome == OBJECT_NOT_TRUSTED)
        traceNotTrusted(trace, GLOBAL_SEMAPHORE_NAME);
    else if (outcome == OBJECT_FAILED)
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the semaphore, error %u", (unsigned)GetLastError());
    if (globalLock == NULL)
        globalLock = CreateMutexA(NULL, FALSE, NULL);   // the threads of this process still take turns
}

// 0: the shared objects are not open yet, 1: a thread is opening them, 2: open.
static volatile LONG sharedObjectsState = 0;

void initialize()
{
    allocateHeldLockSlot();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_DETAILED, "dll initialization");
    TRACE_LINE(trace, TRACE_INFO, "build timestamp: %s %s", __DATE__, __TIME__);
    installFaultGuard();
    mayWriteSharedState = isPrivilegedProcess() != 0;
    if (!mayWriteSharedState)
        TRACE_LINE(trace, TRACE_INFO, "standard-user process: the shared state is read only");
    mapSharedRecord(trace);
    if (mayWriteSharedState)
        createGlobalLock(trace);
    InterlockedExchange(&sharedObjectsState, 2);
}

// The record, the lock, the settings and the trace are opened at the first
// call of an export, never at attach: under the loader lock nothing may wait.
// The logon process's first call is its start-up handler, so they exist from
// boot. A second thread waits while the first opens them (registry reads and
// a few trace lines, each bounded).
static void openSharedObjects()
{
    if (sharedObjectsState == 2)
        return;
    if (InterlockedCompareExchange(&sharedObjectsState, 1, 0) == 0) {
        initialize();
        return;
    }
    while (sharedObjectsState != 2)
        Sleep(1);
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
    if (globalLock != NULL)
        CloseHandle(globalLock);
    globalLock = NULL;
    releaseThreadSlots();
    InterlockedExchange(&sharedObjectsState, 0);
}

static int maySetSharedState(trace_class &trace)
{
    if (!mayWriteSharedState)
        TRACE_LINE(trace, TRACE_WARNING, "not allowed in a standard-user process, nothing changed");
    return mayWriteSharedState ? 1 : 0;
}

// The lock is a mutex: a holder that dies leaves it abandoned, and the next
// waiter takes it over at once. No wait is longer than the ceiling that the
// upcall settings give; after it the caller goes on without the lock, as
// when the lock cannot be created.
void takeGlobalLock()
{
    trace_class trace(TRACE_DETAILED, "lockSemaphore");
    HANDLE hSem = globalLock;
    if (hSem == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the semaphore, error %u", (unsigned)ERROR_INVALID_HANDLE);
        return;   // the caller goes on without the lock
    }
    TRACE_LINE(trace, TRACE_INFO, "global semaphore = %p", hSem);
    setHeldLock(hSem);
    // A free lock is taken at once; only a busy one needs the ceiling, which
    // costs a registry read.
    DWORD ceilingMs = 0;
    DWORD waitResult = WaitForSingleObject(hSem, 0);
    if (waitResult == WAIT_TIMEOUT) {
        ceilingMs = lockWaitCeilingMs();
        waitResult = WaitForSingleObject(hSem, ceilingMs);
    }
    if (waitResult == WAIT_FAILED) {
        TRACE_LINE(trace, TRACE_INFO, "WaitForSingleObject error = %u", (unsigned)GetLastError());
    } else if (waitResult == WAIT_TIMEOUT) {
        TRACE_LINE(trace, TRACE_ERROR, "Error waiting for the semaphore (%u ms), going on without it",
                   (unsigned)ceilingMs);
        eventLockCeiling(ceilingMs);
        setHeldLock(NULL);
    } else if (waitResult == WAIT_ABANDONED) {
        TRACE_LINE(trace, TRACE_WARNING, "WaitForSingleObject returned = %u, the lock's last holder died holding it",
                   (unsigned)waitResult);
        eventLockAbandoned();
        // A logon decision of the dead holder is over.
        shareData->_upcallRunning = 0;
    } else {
        TRACE_LINE(trace, TRACE_INFO, "WaitForSingleObject returned = %u", (unsigned)waitResult);
    }
}

void releaseGlobalLock()
{
    trace_class trace(TRACE_DETAILED, "unlockSemaphore");
    HANDLE hSem = heldLock();
    if (hSem == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error retrieving the local value for hSem, error: %u",
                   (unsigned)GetLastError());
        return;
    }
    TRACE_LINE(trace, TRACE_INFO, "hsem = %p", hSem);
    BOOL released = ReleaseMutex(hSem);
    TRACE_LINE(trace, TRACE_INFO, "ReleaseSemaphore returned = %u", (unsigned)released);
    setHeldLock(NULL);
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

// Under the loader lock: the thread slots and nothing more. At process exit
// (reserved not null) the other threads are gone and the system frees
// everything: detach returns at once.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ghInst = instance;
        DisableThreadLibraryCalls(instance);
        return allocateHeldLockSlot() && allocateFaultGuardSlot() && allocateTraceSlot();
    }
    if (reason == DLL_PROCESS_DETACH && reserved == NULL) {
        if (sharedObjectsState == 2)
            deInitialize();
        else
            releaseThreadSlots();
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// Exports for the distribution engine, popctl and jobupcall
// ---------------------------------------------------------------------------

extern "C" int WINAPI getNumLoggedOn()
{
    openSharedObjects();
    return (int)shareData->_dwLoggedOn;
}

extern "C" int WINAPI testAPI()
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "testAPI");
    return 0;
}

extern "C" int WINAPI checkValidCall(DWORD childCode)
{
    openSharedObjects();
    return childCode == shareData->_upcallCode ? 1 : 0;
}

extern "C" int WINAPI waitUpcallCompletion()
{
    openSharedObjects();
    TRACE_INITIALIZE();
    DumpSharedMemory();
    // Volatile: the logon handler of another process clears the flag. A logon
    // decision waits for the lock and holds it for at most one ceiling each;
    // a flag left by a logon process that died is not waited for beyond that.
    DWORD limitMs = 2 * lockWaitCeilingMs();
    DWORD start = GetTickCount();
    while (((volatile shared_record *)shareData)->_upcallRunning != 0 && GetTickCount() - start < limitMs)
        Sleep(UPCALL_POLL_MS);
    return 0;
}

extern "C" void WINAPI enableFinalPopup()
{
    openSharedObjects();
    if (mayWriteSharedState)
        shareData->_final_popup_enabled = 1;
}

extern "C" void WINAPI shutdownWhenComplete(int val)
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "shutdownWhenComplete");
    TRACE_LINE(trace, TRACE_INFO, "setting _shutdownWhenComplete=%d", val);
    if (!maySetSharedState(trace))
        return;
    takeGlobalLock();
    shareData->_shutdownWhenComplete = val;
    releaseGlobalLock();
}

// Whether a distribution other than except is active in the job queue; the
// answer also sets the logon budget. The caller holds the lock.
int adoptPendingDistribution(const char *except)
{
    trace_class trace(TRACE_ORDINARY, "checkPendingDistribution");
    listed_distribution listed;
    int result = GW_IsPendingDistribution(except, &listed);
    if (result)
        setMaxLoginAllowed(listed.budget);   // the listed distribution's plan sets the budget
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
    int budget = readOrResetLogonBudget();
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
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "pauseMeIfNeeded");
    if (!maySetSharedState(trace) || !isKVDEnabled()) {
        TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
        TRACE_LINE(trace, TRACE_INFO, "return data = %d", 0);
        return 0;
    }
    takeGlobalLock();
    TRACE_LINE(trace, TRACE_INFO,
               "epname='%s' distribution ID='%s' currDistributionType=%d currMaxLoginAllowed=%d shutdownDisabled=%d",
               epname, distID, currDistributionType, currMaxLoginAllowed, shutdownDisabled);
    int result = 2;
    if (!guarded([&] {
            result = decidePause(trace, epname, distID, currDistributionType, currMaxLoginAllowed, shutdownDisabled);
        }))
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
    releaseGlobalLock();
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

extern "C" void WINAPI increaseRunningClients(const char *distId)
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "increaseRunningClients");
    TRACE_LINE(trace, TRACE_INFO, "current distID='%s'", distId);
    if (!maySetSharedState(trace))
        return;
    takeGlobalLock();
    if (!guarded([] { changeRunningClients(1, 0); }))
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
    releaseGlobalLock();
}

static void endRunningClient(trace_class &trace, const char *distId)
{
    // Shut down only when no other distribution is active in the queue.
    int shutdownFlag = shareData->_shutdownWhenComplete != 0 && adoptPendingDistribution(distId) == 0;
    DWORD remaining = changeRunningClients(-1, shutdownFlag);
    if (shareData->_final_popup_enabled && remaining == 0 && shareData->_dwLoggedOn == 0) {
        shareData->_final_popup_enabled = 0;
        TRACE_LINE(trace, TRACE_INFO, "_final_popup_enabled = true, show popup");
        showFinalPopup(0);
    }
}

extern "C" void WINAPI decreaseRunningClients(const char *distId)
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "decreaseRunningClients");
    TRACE_LINE(trace, TRACE_INFO, "current distID='%s'", distId);
    if (!maySetSharedState(trace))
        return;
    takeGlobalLock();
    if (!guarded([&] { endRunningClient(trace, distId); }))
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
    releaseGlobalLock();
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
    DWORD loggedOn = ((volatile shared_record *)shareData)->_dwLoggedOn;
    TRACE_LINE(trace, TRACE_INFO, "currently logged on = %u", (unsigned)loggedOn);
    return loggedOn;
}

// The logon process's record, copied at a handler's entry. Its texts are read
// with a call that fails instead of faulting, so a bad pointer among them is
// an error to trace; a bad record pointer faults in the library's own code and
// ends the handler's guarded stretch.
static const size_t NOTIFY_TEXT_CHARS = 256;
typedef struct notification_copy {
    WLX_NOTIFICATION_INFO info;
    wchar_t texts[3][NOTIFY_TEXT_CHARS];   // user, domain, window station
} notification_copy;

// A text of the record into `to` (cut at its size); 0 when it cannot be read.
static int copyRecordText(PWSTR from, wchar_t *to, PWSTR *copied)
{
    *copied = NULL;
    if (from == NULL)
        return 1;
    size_t length = 0;
    for (; length + 1 < NOTIFY_TEXT_CHARS; length++) {
        SIZE_T read = 0;
        if (!ReadProcessMemory(GetCurrentProcess(), from + length, to + length, sizeof(wchar_t), &read)
            || read != sizeof(wchar_t))
            return 0;
        if (to[length] == L'\0')
            break;
    }
    to[length] = L'\0';
    *copied = to;
    return 1;
}

static PWLX_NOTIFICATION_INFO copyNotification(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo,
                                               notification_copy *copy)
{
    if (pInfo == NULL)
        return NULL;
    volatile WLX_NOTIFICATION_INFO *given = pInfo;   // read field by field, here
    WLX_NOTIFICATION_INFO *info = &copy->info;
    info->Size = given->Size;
    info->Flags = given->Flags;
    info->hToken = given->hToken;
    info->hDesktop = given->hDesktop;
    info->pStatusCallback = given->pStatusCallback;
    info->UserName = info->Domain = info->WindowStation = NULL;
    if (info->Size != sizeof(WLX_NOTIFICATION_INFO))
        return info;   // its texts are not where the record says
    if (!copyRecordText(given->UserName, copy->texts[0], &info->UserName)
        | !copyRecordText(given->Domain, copy->texts[1], &info->Domain)
        | !copyRecordText(given->WindowStation, copy->texts[2], &info->WindowStation))
        TRACE_LINE(trace, TRACE_ERROR, "a text of the notification record cannot be read");
    return info;
}

// Counts the logon; 1 when the library is switched on. *copied receives the
// copy of the record the handler goes on with.
static int countLogon(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo, notification_copy *copy,
                      PWLX_NOTIFICATION_INFO *copied)
{
    int enabled = 0;
    if (guarded([&] {
            pInfo = *copied = copyNotification(trace, pInfo, copy);
            UpdateCounter(pInfo, 1);
            enabled = isKVDEnabled();
            if (!enabled)
                TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
            Dump("Logon", pInfo);
        }))
        return enabled;
    TRACE_LINE(trace, TRACE_FATAL, "FATAL: unhandled Exception was raised!");
    return 0;
}

static void allowLogon(trace_class &trace)
{
    TRACE_LINE(trace, TRACE_INFO, "logon is allowed");
    showLoginDeniedPopUp(0, 0, NULL);
    TRACE_LINE(trace, TRACE_INFO, "resetting _shutdownWhenComplete");
    shareData->_shutdownWhenComplete = 0;
}

static void denyLogon(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo, int denyType, const char *distID)
{
    TRACE_LINE(trace, TRACE_INFO, "show popup");
    showLoginDeniedPopUp(1, denyType, distID);
    // The refused user's session asks for the completion message as well; the
    // logon process sets it itself, so no user process needs to write it.
    shareData->_final_popup_enabled = 1;
    char *running = distID == NULL ? retrieveRunningDistribution() : NULL;
    eventLogonRefused(pInfo, denyType, distID != NULL ? distID : running);
    free(running);
}

// Someone else is logged on, a plan runs, or the queue lists an active distribution.
static int isRestrictedLogon()
{
    return usersLoggedOn() > 1 || isPlanRunning() != 0 || adoptPendingDistribution(NULL) != 0;
}

// A restricted logon uses one logon of the budget; the only user pauses the
// running distribution. *runningID receives the notify file's ID (caller frees).
static void decideRestrictedLogon(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo, char **runningID)
{
    if (useOneLogon() == 0) {
        denyLogon(trace, pInfo, 0, NULL);
        return;
    }
    int budget = readOrResetLogonBudget();
    TRACE_LINE(trace, TRACE_INFO, "login allowed. Login remaining = %d, pausing...", budget);
    if (usersLoggedOn() == 1) {
        *runningID = retrieveRunningDistribution();
        if (*runningID != NULL && !pauseDistribution("localhost", *runningID, budget)) {
            TRACE_LINE(trace, TRACE_ERROR, "ERROR pausing distribution");
            if (denyLogonOnPauseError()) {
                TRACE_LINE(trace, TRACE_INFO, "DenyLogonOnPauseError is true, deny the logon");
                denyLogon(trace, pInfo, 1, *runningID);
                return;
            }
        }
    }
    allowLogon(trace);
}

static void decideLogon(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo)
{
    char *runningID = NULL;
    if (!guarded([&] {
            if (isRestrictedLogon())
                decideRestrictedLogon(trace, pInfo, &runningID);
            else
                allowLogon(trace);
        }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    free(runningID);
}

extern "C" void WINAPI KVDEventLogon(PWLX_NOTIFICATION_INFO pInfo)
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventLogon");
    if (!maySetSharedState(trace))
        return;
    takeGlobalLock();
    shareData->_upcallRunning = 1;
    notification_copy copy;
    if (countLogon(trace, pInfo, &copy, &pInfo))
        decideLogon(trace, pInfo);
    shareData->_upcallRunning = 0;
    releaseGlobalLock();
}

// Counts the logoff; 1 when the library is switched on. *copied receives the
// copy of the record the handler goes on with.
static int countLogoff(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo, notification_copy *copy,
                       PWLX_NOTIFICATION_INFO *copied)
{
    int locked = 0;
    int enabled = 0;
    if (guarded([&] {
            pInfo = *copied = copyNotification(trace, pInfo, copy);
            takeGlobalLock();
            locked = 1;
            UpdateCounter(pInfo, 0);
            locked = 0;
            releaseGlobalLock();
            enabled = isKVDEnabled();
            if (!enabled)
                TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
            else
                Dump("Logoff", pInfo);
        }))
        return enabled;
    TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    if (locked)
        releaseGlobalLock();
    return 0;
}

// Reads and removes the request popctl left in the hive of the user the
// token stands for; 1 when a request for shutdown was there.
static int takeUserShutdownRequest(HANDLE userToken)
{
    HKEY userRoot = NULL;
    if (!ImpersonateLoggedOnUser(userToken))
        return 0;
    LONG opened = RegOpenCurrentUser(KEY_READ | KEY_SET_VALUE, &userRoot);
    RevertToSelf();
    if (opened != ERROR_SUCCESS)
        return 0;
    HKEY key;
    DWORD request = 0;
    if (RegOpenKeyExA(userRoot, KVD_MAIN_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = sizeof(request);
        if (RegQueryValueExA(key, VAL_USER_SHUTDOWN_REQUEST, NULL, &type, (BYTE *)&request, &size) != ERROR_SUCCESS
            || type != REG_DWORD)
            request = 0;
        RegDeleteValueA(key, VAL_USER_SHUTDOWN_REQUEST);   // honoured once at most
        RegCloseKey(key);
    }
    RegCloseKey(userRoot);
    return request != 0;
}

// A user who chose shutdown at completion gets it while a plan runs, and only
// when the user may shut the machine down.
static void honourUserShutdownRequest(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo)
{
    HANDLE userToken = pInfo != NULL && pInfo->Size == sizeof(*pInfo) ? pInfo->hToken : NULL;
    if (userToken == NULL || !takeUserShutdownRequest(userToken))
        return;
    if (!isPlanRunning()) {
        TRACE_LINE(trace, TRACE_WARNING, "the user asked for shutdown at completion, ignored: no plan runs");
    } else if (!tokenHoldsPrivilege(userToken, SE_SHUTDOWN_NAME)) {
        TRACE_LINE(trace, TRACE_WARNING, "the user asked for shutdown at completion, ignored: the user may not shut down");
    } else {
        TRACE_LINE(trace, TRACE_INFO, "the user asked for shutdown at completion, setting _shutdownWhenComplete=1");
        takeGlobalLock();
        shareData->_shutdownWhenComplete = 1;
        releaseGlobalLock();
    }
}

extern "C" void WINAPI KVDEventLogoff(PWLX_NOTIFICATION_INFO pInfo)
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventLogoff");
    if (!maySetSharedState(trace))
        return;
    notification_copy copy;
    if (!countLogoff(trace, pInfo, &copy, &pInfo))
        return;
    // Outside the counting stretch, but no fault may end the logon process here either.
    if (!guarded([&] {
            honourUserShutdownRequest(trace, pInfo);
            DoResumeLoop();
            if (((volatile shared_record *)shareData)->_shutdownWhenComplete) {
                TRACE_LINE(trace, TRACE_INFO, "_shutdownWhenComplete = true, show popup");
                showFinalPopup(1);
            }
        }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
}

extern "C" void WINAPI KVDEventStartUp(PWLX_NOTIFICATION_INFO pInfo)
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventStartUp");
    if (!maySetSharedState(trace))
        return;
    takeGlobalLock();
    notification_copy copy;
    if (!guarded([&] {
            if (isKVDEnabled()) {
                Dump("StartUp", copyNotification(trace, pInfo, &copy));
                updateMaxShutdownAllowed(0);
            } else {
                TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
            }
        }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    releaseGlobalLock();
    if (!guarded([] { DoResumeLoop(); }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
}

extern "C" void WINAPI KVDEventShutdown(PWLX_NOTIFICATION_INFO pInfo)
{
    openSharedObjects();
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEvenShutdown");
    if (!maySetSharedState(trace))
        return;
    notification_copy copy;
    if (!guarded([&] {
            if (isKVDEnabled())
                Dump("ShutDown", copyNotification(trace, pInfo, &copy));
            else
                TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
        }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
}

// After a partly failed resume, keeps recorded only what failed and is still
// paused in the queue; 1 when nothing is left.
static int keepFailedAndPaused(trace_class &trace, paused_distribution_s *list, const char *failList)
{
    TRACE_LINE(trace, TRACE_INFO, "invoking updatePausedAndPersistentList");
    char *pausedNow = NULL;
    int result = 0;
    if (GW_ListAllPausedDistributions(&pausedNow))
        result = updatePersistentPausedList(list, failList, pausedNow) != 0 ? 1 : 0;
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
        if (result)
            eventDistributionsResumed(list);
        else
            eventResumeFailed(list, failList);
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
    if (((volatile shared_record *)shareData)->_someoneLooping) {
        TRACE_LINE(trace, TRACE_INFO, "someone already looping exiting...");
        return 0;
    }
    takeGlobalLock();
    int claimed = shareData->_someoneLooping == 0;
    if (claimed)
        shareData->_someoneLooping = 1;
    releaseGlobalLock();
    if (!claimed)
        TRACE_LINE(trace, TRACE_INFO, "someone already looping, exiting...");
    return claimed;
}

// One attempt under the lock; 1 when everything is resumed.
static int attemptResume(trace_class &trace)
{
    int resumed = 0;
    takeGlobalLock();
    if (!guarded([&] {
            if (shareData->_dwLoggedOn == 0) {
                TRACE_LINE(trace, TRACE_INFO, "none is logged, try to resume distributions");
                resumed = resumePendingDistributions();
            }
        }))
        TRACE_LINE(trace, TRACE_FATAL, "FATAL: unhandled Exception was raised!");
    releaseGlobalLock();
    return resumed;
}

// Waits up to a minute without the lock; 1 when a user logged on meanwhile.
static int waitForLogon()
{
    for (int second = 0; second < RESUME_WAIT_SECONDS; second++) {
        if (((volatile shared_record *)shareData)->_dwLoggedOn != 0)
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
        if (((volatile shared_record *)shareData)->_dwLoggedOn == 0)
            TRACE_LINE(trace, TRACE_ERROR, "ERROR: resume failed!!");
        if (waitForLogon()) {
            shareData->_someoneLooping = 0;
            TRACE_LINE(trace, TRACE_INFO, "someone logged on, exiting...");
            return;
        }
    }
}

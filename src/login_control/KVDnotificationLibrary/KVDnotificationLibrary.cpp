// KVDnotificationLibrary: the shared record, the global lock, the exports and the logon event handlers.
#include "KVDnotificationLibrary.h"
#include "event_log.h"
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

static void installFaultGuard();
static void removeFaultGuard();

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

    installFaultGuard();

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
    removeFaultGuard();
    TRACE_RELEASE();
}

// The lock is a mutex: a holder that dies leaves it abandoned, and the next
// waiter takes it over at once. No wait is longer than the ceiling that the
// upcall settings give; after it the caller goes on without the lock, as
// when the lock cannot be created.
void lockSemaphore()
{
    trace_class trace(TRACE_DETAILED, "lockSemaphore");
    HANDLE hSem = CreateMutexA(&sa, FALSE, GLOBAL_SEMAPHORE_NAME);
    if (hSem == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the semaphore, error %u", (unsigned)GetLastError());
        return;   // the caller goes on without the lock
    }
    TRACE_LINE(trace, TRACE_INFO, "global semaphore = %p", hSem);
    currentLockHandle = hSem;
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
        CloseHandle(hSem);
        currentLockHandle = NULL;
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
    BOOL released = ReleaseMutex(hSem);
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

// ---------------------------------------------------------------------------
// Guarded stretches
// ---------------------------------------------------------------------------

// A hardware fault (a bad pointer in a notification record, say) inside a
// guarded stretch must not end the process that loaded the library, the
// logon process above all. A vectored handler sends this thread back to the
// start of its innermost stretch, which then reports the fault as ended.
typedef struct fault_guard {
    void *resume[5];              // __builtin_setjmp's buffer: frame, resume address, stack
    struct fault_guard *outer;    // the stretch this one runs in, or null
    void *sehChain;               // the thread's exception-handler chain at entry (x86)
    DWORD faultCode;              // the fault that ended the stretch, for the event log
    void *faultAddress;
} fault_guard;

static DWORD faultGuardSlot = TLS_OUT_OF_INDEXES;
static PVOID faultHandler = NULL;

static int isHardwareFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_STACK_OVERFLOW:
        return 1;
    default:
        return 0;   // C++ exceptions, breakpoints and the like take their usual way
    }
}

#if defined(__i386__)
static void *sehChainHead()
{
    void *head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

static void setSehChainHead(void *head)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}
#else
static void *sehChainHead()
{
    return NULL;   // table-based unwinding keeps no chain on the stack
}

static void setSehChainHead(void *)
{
}
#endif

static LONG CALLBACK resumeGuardedStretch(EXCEPTION_POINTERS *info)
{
    if (!isHardwareFault(info->ExceptionRecord->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    DWORD lastError = GetLastError();
    fault_guard *guard = (fault_guard *)TlsGetValue(faultGuardSlot);
    SetLastError(lastError);
    if (guard == NULL)
        return EXCEPTION_CONTINUE_SEARCH;   // not in a stretch of this thread
    guard->faultCode = info->ExceptionRecord->ExceptionCode;
    guard->faultAddress = info->ExceptionRecord->ExceptionAddress;
    CONTEXT *context = info->ContextRecord;
#if defined(__i386__)
    context->Ebp = (DWORD)(DWORD_PTR)guard->resume[0];
    context->Eip = (DWORD)(DWORD_PTR)guard->resume[1];
    context->Esp = (DWORD)(DWORD_PTR)guard->resume[2];
#elif defined(__x86_64__)
    context->Rbp = (DWORD64)guard->resume[0];
    context->Rip = (DWORD64)guard->resume[1];
    context->Rsp = (DWORD64)guard->resume[2];
#else
    return EXCEPTION_CONTINUE_SEARCH;   // no known way to resume on this processor
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

static void installFaultGuard()
{
    faultGuardSlot = TlsAlloc();
    if (faultGuardSlot != TLS_OUT_OF_INDEXES)
        faultHandler = AddVectoredExceptionHandler(0, resumeGuardedStretch);
}

static void removeFaultGuard()
{
    if (faultHandler != NULL)
        RemoveVectoredExceptionHandler(faultHandler);
    faultHandler = NULL;
    if (faultGuardSlot != TLS_OUT_OF_INDEXES)
        TlsFree(faultGuardSlot);
    faultGuardSlot = TLS_OUT_OF_INDEXES;
}

int runGuardedStretch(int (*stretch)(void *), void *context)
{
    if (faultHandler == NULL)
        return stretch(context);   // C++ exceptions are still caught by the stretch itself
    fault_guard guard;
    fault_guard *volatile active = &guard;
    guard.outer = (fault_guard *)TlsGetValue(faultGuardSlot);
    guard.sehChain = sehChainHead();
    if (__builtin_setjmp(guard.resume) == 0) {
        TlsSetValue(faultGuardSlot, active);
        int result = stretch(context);
        TlsSetValue(faultGuardSlot, active->outer);
        return result;
    }
    // Back from a fault: the handlers the faulting code had pushed are gone
    // with its stack, and a trace line it was writing is given up.
    setSehChainHead(active->sehChain);
    TlsSetValue(faultGuardSlot, active->outer);
    releaseTraceLineOfThread();
    eventFaultContained(active->faultCode, active->faultAddress);
    return 0;
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
    // Volatile: the logon handler of another process clears the flag. A logon
    // decision waits for the lock and holds it for at most one ceiling each;
    // a flag left by a logon process that died is not waited for beyond that.
    DWORD limitMs = 2 * lockWaitCeilingMs();
    DWORD start = GetTickCount();
    while (((volatile t_s *)shareData)->_upcallRunning != 0 && GetTickCount() - start < limitMs)
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
    if (!guarded([&] {
            result = decidePause(trace, epname, distID, currDistributionType, currMaxLoginAllowed, shutdownDisabled);
        }))
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
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
    if (!guarded([] { updateRuningClients(1, 0); }))
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
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
    if (!guarded([&] { endRunningClient(trace, distId); }))
        TRACE_LINE(trace, TRACE_ERROR, "Exception!");
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
    int enabled = 0;
    if (guarded([&] {
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
    char *running = distID == NULL ? retrieveRunningDistribution() : NULL;
    eventLogonRefused(pInfo, denyType, distID != NULL ? distID : running);
    free(running);
}

// Someone else is logged on, a plan runs, or the queue lists an active distribution.
static int isRestrictedLogon()
{
    return usersLoggedOn() > 1 || checkRunningPlan() != 0 || checkPendingDistribution(NULL) != 0;
}

// A restricted logon uses one logon of the budget; the only user pauses the
// running distribution. *runningID receives the notify file's ID (caller frees).
static void decideRestrictedLogon(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo, char **runningID)
{
    if (checkMaxAllowedLogin() == 0) {
        denyLogon(trace, pInfo, 0, NULL);
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
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventLogon");
    lockSemaphore();
    shareData->_upcallRunning = 1;
    if (countLogon(trace, pInfo))
        decideLogon(trace, pInfo);
    shareData->_upcallRunning = 0;
    unlockSemaphore();
}

// Counts the logoff; 1 when the library is switched on.
static int countLogoff(trace_class &trace, PWLX_NOTIFICATION_INFO pInfo)
{
    int locked = 0;
    int enabled = 0;
    if (guarded([&] {
            lockSemaphore();
            locked = 1;
            UpdateCounter(pInfo, 0);
            locked = 0;
            unlockSemaphore();
            enabled = isKVDEnabled();
            if (!enabled)
                TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
            else
                Dump("Logoff", pInfo);
        }))
        return enabled;
    TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    if (locked)
        unlockSemaphore();
    return 0;
}

extern "C" void WINAPI KVDEventLogoff(PWLX_NOTIFICATION_INFO pInfo)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventLogoff");
    if (!countLogoff(trace, pInfo))
        return;
    // Outside the counting stretch, but no fault may end the logon process here either.
    if (!guarded([&] {
            DoResumeLoop();
            if (((volatile t_s *)shareData)->_shutdownWhenComplete) {
                TRACE_LINE(trace, TRACE_INFO, "_shutdownWhenComplete = true, show popup");
                showFinalPopup(1);
            }
        }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
}

extern "C" void WINAPI KVDEventStartUp(PWLX_NOTIFICATION_INFO pInfo)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEventStartUp");
    lockSemaphore();
    if (!guarded([&] {
            if (isKVDEnabled()) {
                Dump("StartUp", pInfo);
                updateMaxShutdownAllowed(0);
            } else {
                TRACE_LINE(trace, TRACE_INFO, "KVDnotificationLibrary not enabled");
            }
        }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
    unlockSemaphore();
    if (!guarded([] { DoResumeLoop(); }))
        TRACE_LINE(trace, TRACE_FATAL, "ERROR: unhandled Exception was raised!");
}

extern "C" void WINAPI KVDEventShutdown(PWLX_NOTIFICATION_INFO pInfo)
{
    TRACE_INITIALIZE();
    trace_class trace(TRACE_ORDINARY, "KVDEvenShutdown");
    if (!guarded([&] {
            if (isKVDEnabled())
                Dump("ShutDown", pInfo);
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
    if (!guarded([&] {
            if (shareData->_dwLoggedOn == 0) {
                TRACE_LINE(trace, TRACE_INFO, "none is logged, try to resume distributions");
                resumed = resumePendingDistributions();
            }
        }))
        TRACE_LINE(trace, TRACE_FATAL, "FATAL: unhandled Exception was raised!");
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

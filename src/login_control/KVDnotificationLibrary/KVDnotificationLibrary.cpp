// KVDnotificationLibrary: the shared record, the global lock, the exports and the logon event handlers.
#include "KVDnotificationLibrary.h"
#include "program_util.h"

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

// notify_trace: the plain-text trace that the library, popctl and donemsg write when switched on.
#include "notify_trace.h"
#include "object_security.h"
#include "registry_util.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

DWORD __trace_level = 0;
char __trace_filename[MAX_PATH] = "";

static const char TRACE_SEMAPHORE_NAME[] = "KVDNotificationSemaphore_trace";
static const char USER_TRACE_SEMAPHORE_NAME[] = "KVDNotificationSemaphore_trace_user";
static const char USER_TRACE_SUFFIX[] = ".user";

// The session's trace semaphore, made once and kept while the process runs.
// Processes of SYSTEM and administrators make it owned by Administrators and
// use none of another owner: a user holding it would slow each of their lines.
// Standard-user processes write a file of their own and share a semaphore of
// their own. NULL: lines are written without one.
static HANDLE traceSemaphore = NULL;
static LONG traceSemaphoreLookedUp = 0;
static LONG traceSemaphoreRefused = 0;   // 1: a privileged process found it taken; 2: said so
static const DWORD TRACE_SEMAPHORE_WAIT_MS = 20000;

// The trace semaphore this thread holds while it writes a message line, kept
// in a thread-local slot of the system's (lines are written at library
// attach too; the library keeps all its per-thread values in such slots).
static DWORD heldSemaphoreSlot = TLS_OUT_OF_INDEXES;

int allocateTraceSlot()
{
    if (heldSemaphoreSlot != TLS_OUT_OF_INDEXES)
        return 1;
    DWORD slot = TlsAlloc();
    if (slot != TLS_OUT_OF_INDEXES
        && InterlockedCompareExchange((LONG *)&heldSemaphoreSlot, (LONG)slot, (LONG)TLS_OUT_OF_INDEXES)
               != (LONG)TLS_OUT_OF_INDEXES)
        TlsFree(slot);   // another thread was first
    return heldSemaphoreSlot != TLS_OUT_OF_INDEXES;
}

static void setHeldSemaphore(HANDLE semaphore)
{
    if (heldSemaphoreSlot != TLS_OUT_OF_INDEXES)
        TlsSetValue(heldSemaphoreSlot, semaphore);
}

typedef BOOL(WINAPI *ProcessIdToSessionIdFn)(DWORD, DWORD *);

// Looked up at run time so that the module also loads where the call is missing.
DWORD retrieveCurrentSessionId()
{
    // kernel32 is loaded in every process: finding it loads nothing, so this is
    // safe at process attach, under the loader lock.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == NULL)
        return 0;
    DWORD session = 0;
    ProcessIdToSessionIdFn lookup =
        (ProcessIdToSessionIdFn)(void (*)(void))GetProcAddress(kernel, "ProcessIdToSessionId");
    if (lookup == NULL || !lookup(GetCurrentProcessId(), &session))
        session = 0;
    return session;
}

int buildTraceFilename(char *out, size_t size, const char *path, DWORD session)
{
    int written = session == 0 ? snprintf(out, size, "%s", path)
                               : snprintf(out, size, "%s.%lu", path, (unsigned long)session);
    if (written < 0 || (size_t)written >= size) {
        // A name that would be cut names another file: trace nothing instead.
        out[0] = '\0';
        return 0;
    }
    return 1;
}

// Standard-user processes trace into the user's temporary folder, under the
// file name of the trace path followed by ".user": no file that processes of
// SYSTEM write is ever written by a user's program.
static int moveToUserTraceFile(char *name, size_t size)
{
    char tempDir[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof(tempDir), tempDir);
    if (length == 0 || length >= sizeof(tempDir))
        return 0;
    const char *fileName = name;
    for (const char *c = name; *c != '\0'; c++)
        if (*c == '\\' || *c == '/' || *c == ':')
            fileName = c + 1;
    char moved[MAX_PATH];
    int written = snprintf(moved, sizeof(moved), "%s%s%s", tempDir, fileName, USER_TRACE_SUFFIX);
    if (written < 0 || (size_t)written >= sizeof(moved) || (size_t)written >= size)
        return 0;
    memcpy(name, moved, (size_t)written + 1);
    return 1;
}

// Read without trace lines (lookupSetting's quiet reading).
DWORD isTraceEnabled()
{
    DWORD level = 0;
    char *path = NULL;
    if (!lookupSetting(SETTING_TRACE_LEVEL, &level, true) || level == 0)
        return 0;
    if (!lookupSetting(SETTING_TRACE_PATH, &path, true)
        || !buildTraceFilename(__trace_filename, sizeof(__trace_filename), path, retrieveCurrentSessionId())
        || (!isPrivilegedProcess() && !moveToUserTraceFile(__trace_filename, sizeof(__trace_filename))))
        level = 0;
    free(path);
    return level;
}

void TRACE_INITIALIZE()
{
    allocateTraceSlot();
    __trace_level = isTraceEnabled();
}

void TRACE_RELEASE()
{
    if (traceSemaphore != NULL)
        CloseHandle(traceSemaphore);
    traceSemaphore = NULL;
    traceSemaphoreLookedUp = 0;
    if (heldSemaphoreSlot != TLS_OUT_OF_INDEXES)
        TlsFree(heldSemaphoreSlot);
    heldSemaphoreSlot = TLS_OUT_OF_INDEXES;
}

trace_class::trace_class(DWORD level, const char *func_name)
    : _fp(NULL), _func_name(func_name), _trace_sem(NULL)
{
    if (__trace_level == 0 || __trace_level < level)
        return;
    _fp = fopen(__trace_filename, "a+");
    if (_fp == NULL)
        return;
    // Entry and exit lines also take the session's trace semaphore, so that
    // a line of another process can never land inside one of them.
    TRACE_LINE(*this, TRACE_INFO, ">>>> ENTRY >>>>");
}

trace_class::~trace_class()
{
    if (_fp == NULL)
        return;
    TRACE_LINE(*this, TRACE_INFO, "<<<< EXIT <<<<");
    fclose(_fp);
}

// The lock and the header run before the arguments of a message line are
// evaluated (see TRACE_LINE), so they keep the caller's last error intact
// for a GetLastError() among those arguments.
void trace_class::_trace_header(const char *type)
{
    if (__trace_level == 0 || _fp == NULL)
        return;
    DWORD lastError = GetLastError();
    SYSTEMTIME now;
    GetLocalTime(&now);
    fprintf(_fp, "[%lu:%lu] %02u/%02u/%02u %02u:%02u:%02u %s %s ",
            (unsigned long)GetCurrentProcessId(), (unsigned long)GetCurrentThreadId(),
            now.wMonth, now.wDay, now.wYear % 100, now.wHour, now.wMinute, now.wSecond,
            type, _func_name);
    fflush(_fp);
    SetLastError(lastError);
}

void trace_class::_trace(const char *format, ...)
{
    if (__trace_level == 0 || _fp == NULL)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(_fp, format, args);
    va_end(args);
    fflush(_fp);
    fputs("\n", _fp);
    fflush(_fp);
}

void trace_class::_wtrace(const wchar_t *format, ...)
{
    if (__trace_level == 0 || _fp == NULL)
        return;
    wchar_t wide[1024];
    va_list args;
    va_start(args, format);
    // A longer line is cut at the buffer's end.
    _vsnwprintf(wide, sizeof(wide) / sizeof(wide[0]) - 1, format, args);
    va_end(args);
    wide[sizeof(wide) / sizeof(wide[0]) - 1] = L'\0';
    char narrow[1024 * 2];
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof(narrow), NULL, NULL);
    if (bytes == 0)
        narrow[0] = '\0';
    narrow[sizeof(narrow) - 1] = '\0';
    fputs(narrow, _fp);
    fflush(_fp);
    fputs("\n", _fp);
    fflush(_fp);
}

static HANDLE newTraceSemaphore(SECURITY_ATTRIBUTES *attributes, const char *name)
{
    return CreateSemaphoreA(attributes, 1, 1, name);
}

static HANDLE createTrustedTraceSemaphore()
{
    HANDLE semaphore;
    object_outcome outcome = createTrustedObject(ACCESS_PRIVILEGED_ONLY, newTraceSemaphore, TRACE_SEMAPHORE_NAME, &semaphore);
    if (outcome == OBJECT_NOT_TRUSTED || (outcome == OBJECT_FAILED && GetLastError() == ERROR_ACCESS_DENIED))
        traceSemaphoreRefused = 1;
    return semaphore;
}

// The first line of the process looks the semaphore up; a line written by
// another thread meanwhile goes out without it.
static HANDLE sessionTraceSemaphore()
{
    if (InterlockedCompareExchange(&traceSemaphoreLookedUp, 1, 0) == 0)
        traceSemaphore = isPrivilegedProcess() ? createTrustedTraceSemaphore()
                                               : CreateSemaphoreA(NULL, 1, 1, USER_TRACE_SEMAPHORE_NAME);
    return traceSemaphore;
}

// A scope that writes nothing takes no semaphore: with tracing off, a line
// costs no system call, and nobody holding the semaphore can slow it down.
void trace_class::_trace_lock()
{
    if (_fp == NULL)
        return;
    DWORD lastError = GetLastError();
    _trace_sem = sessionTraceSemaphore();
    if (_trace_sem != NULL) {
        WaitForSingleObject(_trace_sem, TRACE_SEMAPHORE_WAIT_MS); // after a time-out the line goes out all the same
        setHeldSemaphore(_trace_sem);
    } else if (InterlockedCompareExchange(&traceSemaphoreRefused, 2, 1) == 1) {
        _trace_header(TRACE_ERROR);
        _trace(NOT_TRUSTED_FORMAT ", lines are written without it", TRACE_SEMAPHORE_NAME);
    }
    SetLastError(lastError);
}

void trace_class::_trace_unlock()
{
    if (_trace_sem == NULL)
        return;
    setHeldSemaphore(NULL);
    ReleaseSemaphore(_trace_sem, 1, NULL);
    _trace_sem = NULL;
}

void releaseTraceLineOfThread()
{
    HANDLE held = heldSemaphoreSlot != TLS_OUT_OF_INDEXES ? TlsGetValue(heldSemaphoreSlot) : NULL;
    if (held == NULL)
        return;
    ReleaseSemaphore(held, 1, NULL);
    setHeldSemaphore(NULL);
}

static const wchar_t *orDashes(const wchar_t *text)
{
    return text != NULL ? text : L"---";
}

void Dump(const char *str, PWLX_NOTIFICATION_INFO pInfo)
{
    trace_class trace(TRACE_ORDINARY, "Dump");
    static const char dashes[] = "------------------------------";
    TRACE_LINE(trace, TRACE_INFO, "%s", dashes);
    TRACE_LINE(trace, TRACE_INFO, "NOTIFY:  %s.", str);
    if (pInfo == NULL) {
        TRACE_LINE(trace, TRACE_INFO, "info is null");
        return;
    }
    if (pInfo->Size != sizeof(WLX_NOTIFICATION_INFO)) {
        TRACE_LINE(trace, TRACE_INFO, "\tinvalid structure.");
    } else {
        TRACE_WLINE(trace, TRACE_INFO, L"\tUser:          %ls.", orDashes(pInfo->UserName));
        TRACE_WLINE(trace, TRACE_INFO, L"\tDomain:        %ls.", orDashes(pInfo->Domain));
        TRACE_WLINE(trace, TRACE_INFO, L"\tWindowStation: %ls.", orDashes(pInfo->WindowStation));
        TRACE_LINE(trace, TRACE_INFO, "\tflags:         %lu.", (unsigned long)pInfo->Flags);
        TRACE_LINE(trace, TRACE_INFO, "\tdesktop:       %p.", (void *)pInfo->hDesktop);
    }
    TRACE_LINE(trace, TRACE_INFO, "%s", dashes);
}

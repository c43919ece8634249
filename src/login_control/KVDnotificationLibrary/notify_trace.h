// notify_trace: the plain-text trace that the library, popctl and donemsg write when switched on.
#ifndef KVD_NOTIFY_TRACE_H
#define KVD_NOTIFY_TRACE_H

#include <windows.h>
#include <stdio.h>

// Process-wide trace settings, replaced at every TRACE_INITIALIZE.
extern DWORD __trace_level;                  // 0: tracing off
extern char __trace_filename[MAX_PATH];

constexpr DWORD TRACE_ORDINARY = 0;          // scope level: traced whenever tracing is on
constexpr DWORD TRACE_DETAILED = 2;          // scope level: traced at TraceLevel 2 or more

#define TRACE_INFO "[I]"
#define TRACE_WARNING "[W]"
#define TRACE_ERROR "[E]"
#define TRACE_FATAL "[F]"

DWORD retrieveCurrentSessionId();
// The trace file of a session: the path itself in session 0, "path.N" in session N.
// Returns 0 (and an empty name) when the name does not fit in size characters.
int buildTraceFilename(char *out, size_t size, const char *path, DWORD session);
DWORD isTraceEnabled();
// Gives up the line this thread was writing when a fault ended it midway:
// the session's trace semaphore is released.
void releaseTraceLineOfThread();
// The thread slot of the trace (at library attach, or at the first TRACE_INITIALIZE).
int allocateTraceSlot();
void TRACE_INITIALIZE();
// Frees what TRACE_INITIALIZE allocated for the process (at library detach).
void TRACE_RELEASE();

// One trace scope per traced function call: an entry line when it opens, an
// exit line when it goes out of scope, and message lines in between.
class trace_class {
public:
    trace_class(DWORD level, const char *func_name);
    ~trace_class();
    trace_class(const trace_class &) = delete;
    trace_class &operator=(const trace_class &) = delete;

    void _trace_header(const char *type);
    void _trace(const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
    void _wtrace(const wchar_t *format, ...);
    void _trace_lock();
    void _trace_unlock();

private:
    FILE *_fp;
    const char *_func_name;
    HANDLE _trace_sem;
};

// Writes one message line of a scope: lock, header, text, unlock.
#define TRACE_LINE(scope, tag, ...)         \
    do {                                    \
        (scope)._trace_lock();              \
        (scope)._trace_header(tag);         \
        (scope)._trace(__VA_ARGS__);        \
        (scope)._trace_unlock();            \
    } while (0)

#define TRACE_WLINE(scope, tag, ...)        \
    do {                                    \
        (scope)._trace_lock();              \
        (scope)._trace_header(tag);         \
        (scope)._wtrace(__VA_ARGS__);       \
        (scope)._trace_unlock();            \
    } while (0)

// The logon process's notification record, as the event handlers receive it.
typedef struct _WLX_NOTIFICATION_INFO {
    ULONG Size;
    ULONG Flags;
    PWSTR UserName;
    PWSTR Domain;
    PWSTR WindowStation;
    HANDLE hToken;
    HDESK hDesktop;
    PVOID pStatusCallback;
} WLX_NOTIFICATION_INFO, *PWLX_NOTIFICATION_INFO;

void Dump(const char *str, PWLX_NOTIFICATION_INFO pInfo);

#endif

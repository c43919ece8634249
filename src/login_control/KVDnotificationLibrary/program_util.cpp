// program_util: runs a child program with a hidden console and collects what it writes.
#include "program_util.h"
#include "event_log.h"
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>

// (Error codes are taken before a trace line: writing it changes the last error.)
static const DWORD OUTPUT_PIECE_BYTES = 255;
static const size_t OUTPUT_FIRST_CAPACITY = 1024;
static const DWORD OUTPUT_POLL_MS = 10;
static const DWORD END_AFTER_TERMINATE_MS = 5000;
static const DWORD CHILD_START_LOCK_MS = 30000;   // one CreateProcess at a time takes far less

static void closeTracedHandle(trace_class &trace, HANDLE handle)
{
    if (!CloseHandle(handle)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error closing the handle %p (%u)", handle, (unsigned)error);
    }
}

// Windows XP lacks the attribute list that limits what a child inherits: it
// is looked up at run time, and without it the child inherits as before.
typedef BOOL(WINAPI *InitializeAttributeListFn)(void *, DWORD, DWORD, SIZE_T *);
typedef BOOL(WINAPI *UpdateAttributeFn)(void *, DWORD, DWORD_PTR, void *, SIZE_T, void *, SIZE_T *);
typedef void(WINAPI *DeleteAttributeListFn)(void *);
static const DWORD EXTENDED_STARTUP_INFO = 0x00080000;        // EXTENDED_STARTUPINFO_PRESENT
static const DWORD_PTR HANDLE_LIST_ATTRIBUTE = 0x00020002;    // PROC_THREAD_ATTRIBUTE_HANDLE_LIST
static const int MAX_INHERITED = 3;
static int withoutHandleList = 0;

void startChildrenWithoutHandleList(int withoutList)
{
    withoutHandleList = withoutList;
}

// Children start one at a time: without a handle list, the output pipe of a
// child is inheritable only while that child starts, so no other child of
// this process can inherit it (its pipe would then not break when it ends).
static HANDLE childStartLock = NULL;

static HANDLE takeChildStartLock()
{
    if (childStartLock == NULL) {
        HANDLE made = CreateMutexA(NULL, FALSE, NULL);
        if (made != NULL && InterlockedCompareExchangePointer(&childStartLock, made, NULL) != NULL)
            CloseHandle(made);   // another thread was first
    }
    HANDLE lock = childStartLock;
    if (lock != NULL && WaitForSingleObject(lock, CHILD_START_LOCK_MS) == WAIT_TIMEOUT)
        lock = NULL;   // a start that hangs must not stop every later one
    return lock;
}

static void releaseChildStartLock(HANDLE lock)
{
    if (lock != NULL)
        ReleaseMutex(lock);
}

typedef struct startup_info_ex {
    STARTUPINFOA StartupInfo;
    void *lpAttributeList;
} startup_info_ex;

typedef struct inherit_list {
    HANDLE handles[MAX_INHERITED];
    DWORD count;
    HANDLE madeInheritable;           // the output handle, inheritable for this start only, or null
    void *attributes;                 // the attribute list naming them, or null
    DeleteAttributeListFn release;    // how the system frees that list
} inherit_list;

// The standard handles the child may inherit: valid, each once. The output
// handle (the runner's pipe end) is made inheritable for this start; the
// others only when they are inheritable already.
static void collectInheritable(inherit_list *list, HANDLE out, HANDLE in, HANDLE err)
{
    HANDLE given[MAX_INHERITED] = {out, in, err};
    memset(list, 0, sizeof(*list));
    for (int i = 0; i < MAX_INHERITED; i++) {
        DWORD flags = 0;
        HANDLE handle = given[i];
        if (handle == NULL || handle == INVALID_HANDLE_VALUE || !GetHandleInformation(handle, &flags))
            continue;
        if (!(flags & HANDLE_FLAG_INHERIT)) {
            if (i != 0 || !SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
                continue;
            list->madeInheritable = handle;
        }
        bool seen = false;
        for (DWORD j = 0; j < list->count; j++)
            seen |= list->handles[j] == handle;
        if (!seen)
            list->handles[list->count++] = handle;
    }
}

static void releaseInheritList(inherit_list *list)
{
    if (list->madeInheritable != NULL)
        SetHandleInformation(list->madeInheritable, HANDLE_FLAG_INHERIT, 0);
    list->madeInheritable = NULL;
}

static void freeAttributeList(inherit_list *list)
{
    if (list->attributes != NULL)
        list->release(list->attributes);
    free(list->attributes);
    list->attributes = NULL;
}

static void buildAttributeList(inherit_list *list)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    InitializeAttributeListFn initialize =
        (InitializeAttributeListFn)(void (*)(void))GetProcAddress(kernel, "InitializeProcThreadAttributeList");
    UpdateAttributeFn update = (UpdateAttributeFn)(void (*)(void))GetProcAddress(kernel, "UpdateProcThreadAttribute");
    list->release = (DeleteAttributeListFn)(void (*)(void))GetProcAddress(kernel, "DeleteProcThreadAttributeList");
    SIZE_T size = 0;
    if (list->count == 0 || withoutHandleList || initialize == NULL || update == NULL || list->release == NULL)
        return;
    initialize(NULL, 1, 0, &size);
    void *attributes = calloc(1, size);
    if (attributes == NULL)
        return;
    if (!initialize(attributes, 1, 0, &size)) {
        free(attributes);
        return;
    }
    list->attributes = attributes;
    if (!update(attributes, 0, HANDLE_LIST_ATTRIBUTE, list->handles, list->count * sizeof(HANDLE), NULL, NULL))
        freeAttributeList(list);
}

HANDLE RunChild(char *cmdLine, char *env, HANDLE hChildStdOut, HANDLE hChildStdIn, HANDLE hChildStdErr,
                DWORD *childId)
{
    trace_class trace(TRACE_ORDINARY, "RunChild");
    *childId = 0;
    startup_info_ex startup;
    memset(&startup, 0, sizeof(startup));
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdOutput = hChildStdOut;
    startup.StartupInfo.hStdInput = hChildStdIn;
    startup.StartupInfo.hStdError = hChildStdErr;

    // The child gets its standard handles and nothing else of this process.
    HANDLE startLock = takeChildStartLock();
    inherit_list inherit;
    collectInheritable(&inherit, hChildStdOut, hChildStdIn, hChildStdErr);
    buildAttributeList(&inherit);
    DWORD flags = CREATE_NEW_CONSOLE;
    if (inherit.attributes != NULL) {
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = inherit.attributes;
        flags |= EXTENDED_STARTUP_INFO;
    }

    PROCESS_INFORMATION child;
    memset(&child, 0, sizeof(child));
    BOOL created = CreateProcessA(NULL, cmdLine, NULL, NULL, inherit.count > 0, flags, env, NULL,
                                  &startup.StartupInfo, &child);
    DWORD error = GetLastError();
    freeAttributeList(&inherit);
    releaseInheritList(&inherit);
    releaseChildStartLock(startLock);
    if (!created) {
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the child (%u)", (unsigned)error);
        TRACE_LINE(trace, TRACE_INFO, "return data = %p", (void *)NULL);
        return NULL;
    }
    if (!CloseHandle(child.hThread))
        TRACE_LINE(trace, TRACE_ERROR, "Error closing the handle (%p)", child.hThread);
    *childId = child.dwProcessId;
    TRACE_LINE(trace, TRACE_INFO, "return data = %p", child.hProcess);
    return child.hProcess;
}

// A program path that names a file goes in quotes, so that a blank in it
// neither splits it nor lets a "C:\Program.exe" run in its place. A value
// that is quoted already, or holds arguments of its own, is used as it is.
static int needsQuotes(const char *program)
{
    if (program[0] == '"' || strpbrk(program, " \t") == NULL)
        return 0;
    DWORD attributes = GetFileAttributesA(program);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

char *quotedProgram(const char *program)
{
    int quotes = needsQuotes(program);
    size_t size = strlen(program) + 1 + (quotes ? 2 : 0);
    char *text = (char *)malloc(size);
    if (text != NULL)
        snprintf(text, size, quotes ? "\"%s\"" : "%s", program);
    return text;
}

// Neither end is inheritable: RunChild makes the write end so only while
// its own child starts.
static HANDLE createOutputPipe(trace_class &trace, HANDLE *writeEnd)
{
    HANDLE readEnd = NULL;
    if (!CreatePipe(&readEnd, writeEnd, NULL, 0)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the pipe: %u", (unsigned)error);
        return NULL;
    }
    return readEnd;
}

// Ends a child that overran its limit; its end is awaited only briefly.
static void endOverdueChild(trace_class &trace, HANDLE process, DWORD limitMs)
{
    TRACE_LINE(trace, TRACE_ERROR, "Error: the child did not end within %u ms, ending it", (unsigned)limitMs);
    if (!TerminateProcess(process, EXIT_CODE_NOT_RUN)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error ending the child (%u)", (unsigned)error);
    }
    WaitForSingleObject(process, END_AFTER_TERMINATE_MS);
}

static DWORD smaller(DWORD a, DWORD b)
{
    return a < b ? a : b;
}

static DWORD elapsedSince(DWORD start)
{
    return GetTickCount() - start;   // wraps correctly across the 49-day tick wrap
}

// A child may close its output just before it exits; the exit code is only
// final once the process has ended, so wait for that first, within what is
// left of the limit. A child still running then, or one whose output went
// wrong, is ended and counts as not run.
static void collectExitCode(trace_class &trace, HANDLE process, DWORD waitMs, DWORD limitMs, child_result *result)
{
    DWORD waited = result->outcome != CHILD_ENDED ? WAIT_TIMEOUT : WaitForSingleObject(process, waitMs);
    if (waited == WAIT_TIMEOUT && result->outcome == CHILD_ENDED)
        result->outcome = CHILD_OVERDUE;
    if (waited == WAIT_FAILED) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error waiting for the child %u", (unsigned)error);
    }
    result->exitCode = EXIT_CODE_NOT_RUN;
    if (waited == WAIT_TIMEOUT) {
        endOverdueChild(trace, process, limitMs);
    } else if (!GetExitCodeProcess(process, &result->exitCode)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error GetExitCodeProcess %u", (unsigned)error);
        result->exitCode = EXIT_CODE_NOT_RUN;
    }
    TRACE_LINE(trace, TRACE_INFO, "Child exitCode %u", (unsigned)result->exitCode);
}

static void setRunningChild(volatile DWORD *runningChildId, DWORD childId)
{
    if (runningChildId != NULL)
        *runningChildId = childId;
}

static char *childNotStarted(trace_class &trace, child_result *result)
{
    result->outcome = CHILD_NOT_STARTED;
    TRACE_LINE(trace, TRACE_INFO, "returning NULL");
    return NULL;
}

char *execProgram(char *cmdLine, char *env, child_result *result, DWORD limitMs, volatile DWORD *runningChildId)
{
    trace_class trace(TRACE_ORDINARY, "execProgram");
    result->exitCode = EXIT_CODE_NOT_RUN;
    result->childId = 0;
    HANDLE writeEnd = NULL;
    HANDLE readEnd = createOutputPipe(trace, &writeEnd);
    if (readEnd == NULL)
        return childNotStarted(trace, result);

    TRACE_LINE(trace, TRACE_INFO, "cmdLine='%s'", cmdLine);
    DWORD start = GetTickCount();
    HANDLE child = RunChild(cmdLine, env, writeEnd, GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE),
                            &result->childId);
    closeTracedHandle(trace, writeEnd);
    if (child == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error inRunChild");
        closeTracedHandle(trace, readEnd);
        return childNotStarted(trace, result);
    }
    setRunningChild(runningChildId, result->childId);

    TRACE_LINE(trace, TRACE_INFO, "Read program output");
    char *output = ReadChildOutput(readEnd, child, limitMs, &result->outcome);
    TRACE_LINE(trace, TRACE_INFO, "program output complete");
    closeTracedHandle(trace, readEnd);

    DWORD used = elapsedSince(start);
    collectExitCode(trace, child, used >= limitMs ? 0 : limitMs - used, limitMs, result);
    if (result->outcome == CHILD_OVERDUE || result->outcome == CHILD_OUTPUT_TOO_LONG)
        eventUpcallDeadline(cmdLine, limitMs);
    closeTracedHandle(trace, child);
    setRunningChild(runningChildId, 0);
    if (result->outcome != CHILD_ENDED && output != NULL) {
        free(output);   // an overdue child's answer is not an answer
        output = NULL;
    }

    if (output == NULL) {
        TRACE_LINE(trace, TRACE_INFO, "output is null... returning NULL");
        return NULL;
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %s", output);
    return output;
}

// Waits up to waitMs for more output; a broken pipe or a read error ends the
// wait. While the child runs, its end wakes the wait at once.
static void waitForOutput(HANDLE child, int *childEnded, DWORD waitMs)
{
    if (child != NULL && !*childEnded) {
        if (WaitForSingleObject(child, waitMs) != WAIT_TIMEOUT)
            *childEnded = 1;
    } else {
        Sleep(waitMs);
    }
}

// The collected output, grown by doubling so that gathering n bytes copies
// fewer than 2n.
typedef struct output_buffer {
    char *text;
    size_t length;
    size_t capacity;   // bytes allocated, the terminator included
} output_buffer;

// Room for `more` bytes and a terminator; 0 when it cannot be had.
static int reserveOutput(output_buffer *buffer, size_t more)
{
    if (buffer->length + more + 1 <= buffer->capacity)
        return 1;
    size_t capacity = buffer->capacity != 0 ? buffer->capacity : OUTPUT_FIRST_CAPACITY;
    while (capacity < buffer->length + more + 1)
        capacity *= 2;
    char *grown = (char *)realloc(buffer->text, capacity);
    if (grown == NULL)
        return 0;
    buffer->text = grown;
    buffer->capacity = capacity;
    return 1;
}

static child_outcome outcomeOfReadError(DWORD readError)
{
    switch (readError) {
    case ERROR_BROKEN_PIPE:
        return CHILD_ENDED;
    case WAIT_TIMEOUT:
        return CHILD_OVERDUE;
    case ERROR_MORE_DATA:
        return CHILD_OUTPUT_TOO_LONG;
    default:
        return CHILD_OUTPUT_FAILED;
    }
}

char *ReadChildOutput(HANDLE hPipeRead, HANDLE child, DWORD limitMs, child_outcome *outcome)
{
    trace_class trace(TRACE_ORDINARY, "ReadChildOutput");
    output_buffer collected = {NULL, 0, 0};
    DWORD start = GetTickCount();
    DWORD readError = ERROR_SUCCESS;
    int childEnded = 0;
    // The pipe is polled rather than read blindly, so that a child that
    // neither writes nor ends, or writes without end, cannot hold the caller
    // beyond the limit.
    for (;;) {
        DWORD available = 0, bytesRead = 0;
        DWORD elapsed = elapsedSince(start);
        if (elapsed >= limitMs || collected.length > CHILD_OUTPUT_MAX_BYTES) {
            readError = elapsed >= limitMs ? WAIT_TIMEOUT : ERROR_MORE_DATA;
            break;
        }
        if (!PeekNamedPipe(hPipeRead, NULL, 0, NULL, &available, NULL)) {
            readError = GetLastError();
            break;
        }
        if (available == 0) {
            waitForOutput(child, &childEnded, smaller(OUTPUT_POLL_MS, limitMs - elapsed));
            continue;
        }
        if (!reserveOutput(&collected, OUTPUT_PIECE_BYTES)) {
            TRACE_LINE(trace, TRACE_ERROR, "Error allocating the output (%u bytes read)", (unsigned)collected.length);
            readError = ERROR_OUTOFMEMORY;
            break;
        }
        char *piece = collected.text + collected.length;
        if (!ReadFile(hPipeRead, piece, smaller(available, OUTPUT_PIECE_BYTES), &bytesRead, NULL) || bytesRead == 0) {
            readError = bytesRead == 0 ? ERROR_SUCCESS : GetLastError();
            break;
        }
        // Output is text: a zero byte inside a piece ends that piece.
        piece[bytesRead] = '\0';
        collected.length += strlen(piece);
    }
    if (outcome != NULL)
        *outcome = outcomeOfReadError(readError);
    if (readError == ERROR_BROKEN_PIPE) {
        TRACE_LINE(trace, TRACE_INFO, "ReadChildOutput completed");
        return collected.text;   // null when nothing was written
    }
    TRACE_LINE(trace, TRACE_ERROR, "Error reading the output (%u)", (unsigned)readError);
    free(collected.text);
    return NULL;
}

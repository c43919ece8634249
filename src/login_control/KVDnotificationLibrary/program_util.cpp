// program_util: runs a child program with a hidden console and collects what it writes.
#include "program_util.h"
#include "event_log.h"
#include "notify_trace.h"

#include <stdlib.h>
#include <string.h>

// Points at _upcallCode in the shared record, set by DllMain.
// (Error codes are taken before a trace line: writing it changes the last error.)
static DWORD *currProcessPID = NULL;

static const DWORD OUTPUT_PIECE_BYTES = 255;
static const DWORD EXIT_CODE_NOT_RUN = (DWORD)-1;

void setProcessPidPointer(DWORD *currPidPointer)
{
    currProcessPID = currPidPointer;
}

static void publishChildPid(DWORD pid)
{
    if (currProcessPID != NULL)
        *currProcessPID = pid;
}

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

typedef struct startup_info_ex {
    STARTUPINFOA StartupInfo;
    void *lpAttributeList;
} startup_info_ex;

typedef struct inherit_list {
    HANDLE handles[MAX_INHERITED];
    DWORD count;
    void *attributes;                 // the attribute list naming them, or null
    DeleteAttributeListFn release;    // how the system frees that list
} inherit_list;

// The standard handles the child may inherit: valid, inheritable, each once.
static void collectInheritable(inherit_list *list, HANDLE out, HANDLE in, HANDLE err)
{
    HANDLE given[MAX_INHERITED] = {out, in, err};
    memset(list, 0, sizeof(*list));
    for (int i = 0; i < MAX_INHERITED; i++) {
        DWORD flags = 0;
        HANDLE handle = given[i];
        if (handle == NULL || handle == INVALID_HANDLE_VALUE || !GetHandleInformation(handle, &flags)
            || !(flags & HANDLE_FLAG_INHERIT))
            continue;
        bool seen = false;
        for (DWORD j = 0; j < list->count; j++)
            seen |= list->handles[j] == handle;
        if (!seen)
            list->handles[list->count++] = handle;
    }
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
    if (list->count == 0 || initialize == NULL || update == NULL || list->release == NULL)
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

HANDLE RunChild(char *cmdLine, char *env, HANDLE hChildStdOut, HANDLE hChildStdIn, HANDLE hChildStdErr)
{
    trace_class trace(TRACE_ORDINARY, "RunChild");
    startup_info_ex startup;
    memset(&startup, 0, sizeof(startup));
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdOutput = hChildStdOut;
    startup.StartupInfo.hStdInput = hChildStdIn;
    startup.StartupInfo.hStdError = hChildStdErr;

    // The child gets its standard handles and nothing else of this process.
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
    if (!created) {
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the child (%u)", (unsigned)error);
        TRACE_LINE(trace, TRACE_INFO, "return data = %p", (void *)NULL);
        return NULL;
    }
    if (!CloseHandle(child.hThread))
        TRACE_LINE(trace, TRACE_ERROR, "Error closing the handle (%p)", child.hThread);
    publishChildPid(child.dwProcessId);
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

// The read end the caller keeps must not be inherited, or the pipe would not
// break when the child ends. Returns the non-inheritable read end or null.
static HANDLE createOutputPipe(trace_class &trace, HANDLE *writeEnd)
{
    SECURITY_ATTRIBUTES inheritable;
    inheritable.nLength = sizeof(inheritable);
    inheritable.lpSecurityDescriptor = NULL;
    inheritable.bInheritHandle = TRUE;

    HANDLE inheritableRead = NULL;
    if (!CreatePipe(&inheritableRead, writeEnd, &inheritable, 0)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error creating the pipe: %u", (unsigned)error);
        return NULL;
    }
    HANDLE privateRead = NULL;
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, inheritableRead, self, &privateRead, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error duplicating the handle: %u", (unsigned)error);
        closeTracedHandle(trace, inheritableRead);
        closeTracedHandle(trace, *writeEnd);
        return NULL;
    }
    closeTracedHandle(trace, inheritableRead);
    return privateRead;
}

static const DWORD OUTPUT_POLL_MS = 10;
// No answer of the upcall program comes near this: more is a child gone wrong.
static const size_t OUTPUT_MAX_BYTES = 1024 * 1024;
static const DWORD END_AFTER_TERMINATE_MS = 5000;

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
// left of the limit. A child still running then is ended and counts as not run.
static DWORD collectExitCode(trace_class &trace, HANDLE process, DWORD waitMs, DWORD limitMs, int *overdue)
{
    DWORD waited = *overdue ? WAIT_TIMEOUT : WaitForSingleObject(process, waitMs);
    *overdue = waited == WAIT_TIMEOUT;
    if (waited == WAIT_FAILED) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error waiting for the child %u", (unsigned)error);
    }
    DWORD exitCode = EXIT_CODE_NOT_RUN;
    if (waited == WAIT_TIMEOUT) {
        endOverdueChild(trace, process, limitMs);
    } else if (!GetExitCodeProcess(process, &exitCode)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error GetExitCodeProcess %u", (unsigned)error);
        exitCode = EXIT_CODE_NOT_RUN;
    }
    TRACE_LINE(trace, TRACE_INFO, "Child exitCode %u", (unsigned)exitCode);
    return exitCode;
}

char *execProgram(char *cmdLine, char *env, DWORD *exitCode, DWORD limitMs)
{
    trace_class trace(TRACE_ORDINARY, "execProgram");
    HANDLE writeEnd = NULL;
    HANDLE readEnd = createOutputPipe(trace, &writeEnd);
    if (readEnd == NULL) {
        *exitCode = EXIT_CODE_NOT_RUN;
        TRACE_LINE(trace, TRACE_INFO, "returning NULL");
        return NULL;
    }

    TRACE_LINE(trace, TRACE_INFO, "cmdLine='%s'", cmdLine);
    DWORD start = GetTickCount();
    HANDLE child = RunChild(cmdLine, env, writeEnd, GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE));
    if (child == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "Error inRunChild");
        closeTracedHandle(trace, writeEnd);
        closeTracedHandle(trace, readEnd);
        *exitCode = EXIT_CODE_NOT_RUN;
        TRACE_LINE(trace, TRACE_INFO, "returning NULL");
        return NULL;
    }
    closeTracedHandle(trace, writeEnd);

    TRACE_LINE(trace, TRACE_INFO, "Read program output");
    int timedOut = 0;
    char *output = ReadChildOutput(readEnd, child, limitMs, &timedOut);
    TRACE_LINE(trace, TRACE_INFO, "program output complete");
    closeTracedHandle(trace, readEnd);

    DWORD used = elapsedSince(start);
    DWORD left = used >= limitMs ? 0 : limitMs - used;
    int overdue = timedOut;
    *exitCode = collectExitCode(trace, child, left, limitMs, &overdue);
    if (overdue)
        eventUpcallDeadline(cmdLine, limitMs);
    closeTracedHandle(trace, child);
    publishChildPid(0);
    if (overdue && output != NULL) {
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

char *ReadChildOutput(HANDLE hPipeRead, HANDLE child, DWORD limitMs, int *timedOut)
{
    trace_class trace(TRACE_ORDINARY, "ReadChildOutput");
    char piece[OUTPUT_PIECE_BYTES + 1];
    char *collected = NULL;
    size_t collectedBytes = 0;
    DWORD start = GetTickCount();
    DWORD readError = ERROR_SUCCESS;
    int childEnded = 0;
    // The pipe is polled rather than read blindly, so that a child that
    // neither writes nor ends, or writes without end, cannot hold the caller
    // beyond the limit.
    for (;;) {
        DWORD available = 0, bytesRead = 0;
        DWORD elapsed = elapsedSince(start);
        if (elapsed >= limitMs || collectedBytes > OUTPUT_MAX_BYTES) {
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
        if (!ReadFile(hPipeRead, piece, smaller(available, OUTPUT_PIECE_BYTES), &bytesRead, NULL) || bytesRead == 0) {
            readError = bytesRead == 0 ? ERROR_SUCCESS : GetLastError();
            break;
        }
        // Output is text: a zero byte inside a piece ends that piece.
        piece[bytesRead] = '\0';
        char *longer = append(collected, piece);
        if (longer == NULL) {
            TRACE_LINE(trace, TRACE_ERROR, "Error allocating the output (%u bytes read)", (unsigned)bytesRead);
            return NULL;   // append has released what was collected
        }
        collected = longer;
        collectedBytes += bytesRead;
    }
    if (readError == ERROR_BROKEN_PIPE) {
        TRACE_LINE(trace, TRACE_INFO, "ReadChildOutput completed");
        return collected;
    }
    if ((readError == WAIT_TIMEOUT || readError == ERROR_MORE_DATA) && timedOut != NULL)
        *timedOut = 1;   // the caller ends the child
    TRACE_LINE(trace, TRACE_ERROR, "Error reading the output (%u)", (unsigned)readError);
    free(collected);
    return NULL;
}

// Returns null when the longer text cannot be allocated; out is released either way.
char *append(char *out, const char *buffer)
{
    size_t outLength = out != NULL ? strlen(out) : 0;
    size_t bufferLength = strlen(buffer);
    char *joined = (char *)calloc(outLength + bufferLength + 1, 1);
    if (joined != NULL) {
        if (out != NULL)
            memcpy(joined, out, outLength);
        memcpy(joined + outLength, buffer, bufferLength);
    }
    free(out);
    return joined;
}

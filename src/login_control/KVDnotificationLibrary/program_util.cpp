// program_util: runs a child program with a hidden console and collects what it writes.
#include "program_util.h"
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

HANDLE RunChild(char *cmdLine, char *env, HANDLE hChildStdOut, HANDLE hChildStdIn, HANDLE hChildStdErr)
{
    trace_class trace(TRACE_ORDINARY, "RunChild");
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = hChildStdOut;
    startup.hStdInput = hChildStdIn;
    startup.hStdError = hChildStdErr;

    PROCESS_INFORMATION child;
    memset(&child, 0, sizeof(child));
    if (!CreateProcessA(NULL, cmdLine, NULL, NULL, TRUE, CREATE_NEW_CONSOLE, env, NULL, &startup, &child)) {
        DWORD error = GetLastError();
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

// A child may close its output just before it exits; the exit code is only
// final once the process has ended, so wait for that first.
static DWORD collectExitCode(trace_class &trace, HANDLE process)
{
    if (WaitForSingleObject(process, INFINITE) == WAIT_FAILED) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error waiting for the child %u", (unsigned)error);
    }
    DWORD exitCode = EXIT_CODE_NOT_RUN;
    if (!GetExitCodeProcess(process, &exitCode)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error GetExitCodeProcess %u", (unsigned)error);
        exitCode = EXIT_CODE_NOT_RUN;
    }
    TRACE_LINE(trace, TRACE_INFO, "Child exitCode %u", (unsigned)exitCode);
    return exitCode;
}

char *execProgram(char *cmdLine, char *env, DWORD *exitCode)
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
    char *output = ReadChildOutput(readEnd);
    TRACE_LINE(trace, TRACE_INFO, "program output complete");
    closeTracedHandle(trace, readEnd);

    *exitCode = collectExitCode(trace, child);
    closeTracedHandle(trace, child);
    publishChildPid(0);

    if (output == NULL) {
        TRACE_LINE(trace, TRACE_INFO, "output is null... returning NULL");
        return NULL;
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %s", output);
    return output;
}

char *ReadChildOutput(HANDLE hPipeRead)
{
    trace_class trace(TRACE_ORDINARY, "ReadChildOutput");
    char piece[OUTPUT_PIECE_BYTES + 1];
    char *collected = NULL;
    DWORD bytesRead = 0;
    BOOL readOk;
    // Output is text: a zero byte inside a piece ends that piece.
    while ((readOk = ReadFile(hPipeRead, piece, OUTPUT_PIECE_BYTES, &bytesRead, NULL)) && bytesRead > 0) {
        piece[bytesRead] = '\0';
        char *longer = append(collected, piece);
        if (longer == NULL) {
            TRACE_LINE(trace, TRACE_ERROR, "Error allocating the output (%u bytes read)", (unsigned)bytesRead);
            return NULL;   // append has released what was collected
        }
        collected = longer;
    }
    DWORD readError = readOk ? ERROR_SUCCESS : GetLastError();
    if (readError == ERROR_BROKEN_PIPE) {
        TRACE_LINE(trace, TRACE_INFO, "ReadChildOutput completed");
        return collected;
    }
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

// program_util: runs a child program with a hidden console and collects what it writes.
#ifndef KVD_PROGRAM_UTIL_H
#define KVD_PROGRAM_UTIL_H

#include <windows.h>

// Where RunChild publishes the identifier of the child it started (the shared _upcallCode).
void setProcessPidPointer(DWORD *currPidPointer);

// Starts cmdLine with a hidden console; the caller closes the returned process handle.
HANDLE RunChild(char *cmdLine, char *env, HANDLE hChildStdOut, HANDLE hChildStdIn, HANDLE hChildStdErr);
// Runs cmdLine to its end; returns its standard output (caller frees) or null.
// exitCode receives the child's exit code, or -1 when it cannot be run.
char *execProgram(char *cmdLine, char *env, DWORD *exitCode);
char *ReadChildOutput(HANDLE hPipeRead);
char *append(char *out, const char *buffer);

#endif

// program_util: runs a child program with a hidden console and collects what it writes.
#ifndef KVD_PROGRAM_UTIL_H
#define KVD_PROGRAM_UTIL_H

#include <windows.h>

// Where RunChild publishes the identifier of the child it started (the shared _upcallCode).
void setProcessPidPointer(DWORD *currPidPointer);

// How long execProgram waits by default for its child (output and end).
constexpr DWORD CHILD_WAIT_CEILING_MS = 600000;

// The program path as it goes first on a command line (caller frees), or null.
char *quotedProgram(const char *program);

// Starts cmdLine with a hidden console; the caller closes the returned process handle.
// The child inherits only the given standard handles (none when all are null).
HANDLE RunChild(char *cmdLine, char *env, HANDLE hChildStdOut, HANDLE hChildStdIn, HANDLE hChildStdErr);
// Runs cmdLine to its end; returns its standard output (caller frees) or null.
// exitCode receives the child's exit code (read once the child has ended),
// or -1 when it cannot be run. The child's identifier is in the shared
// _upcallCode while it runs; 0 is written there once it has ended. A child
// that has not ended within limitMs is ended and counts as not run (-1).
char *execProgram(char *cmdLine, char *env, DWORD *exitCode, DWORD limitMs = CHILD_WAIT_CEILING_MS);
// Reads the pipe in pieces of at most 255 bytes until the writer closes it; null
// when nothing was written or the read fails otherwise. A zero byte ends its piece.
// Gives up after limitMs or beyond 1 MiB of output (null, *timedOut set); child,
// when given, is the writer.
char *ReadChildOutput(HANDLE hPipeRead, HANDLE child = NULL, DWORD limitMs = CHILD_WAIT_CEILING_MS,
                      int *timedOut = NULL);
// A new text of out followed by buffer; out is released. Null when out of memory.
char *append(char *out, const char *buffer);

#endif

// program_util: runs a child program with a hidden console and collects what it writes.
#ifndef KVD_PROGRAM_UTIL_H
#define KVD_PROGRAM_UTIL_H

#include <windows.h>

// Where RunChild publishes the identifier of the child it started (the shared _upcallCode).
void setProcessPidPointer(DWORD *currPidPointer);

// Starts cmdLine with a hidden console; the caller closes the returned process handle.
HANDLE RunChild(char *cmdLine, char *env, HANDLE hChildStdOut, HANDLE hChildStdIn, HANDLE hChildStdErr);
// Runs cmdLine to its end; returns its standard output (caller frees) or null.
// exitCode receives the child's exit code (read once the child has ended),
// or -1 when it cannot be run. The child's identifier is in the shared
// _upcallCode while it runs; 0 is written there once it has ended.
char *execProgram(char *cmdLine, char *env, DWORD *exitCode);
// Reads the pipe in pieces of at most 255 bytes until the writer closes it; null
// when nothing was written or the read fails otherwise. A zero byte ends its piece.
char *ReadChildOutput(HANDLE hPipeRead);
// A new text of out followed by buffer; out is released. Null when out of memory.
char *append(char *out, const char *buffer);

#endif

// program_util: runs a child program with a hidden console and collects what it writes.
#ifndef KVD_PROGRAM_UTIL_H
#define KVD_PROGRAM_UTIL_H

#include <windows.h>

// How long execProgram waits by default for its child (output and end).
constexpr DWORD CHILD_WAIT_CEILING_MS = 600000;
// No answer of the upcall program comes near this: more is a child gone wrong.
constexpr size_t CHILD_OUTPUT_MAX_BYTES = 1024 * 1024;
// The exit code of a child that could not be run or did not end by itself.
constexpr DWORD EXIT_CODE_NOT_RUN = (DWORD)-1;

// How a child's run ended.
typedef enum child_outcome {
    CHILD_ENDED,              // it ended within the limit: the exit code is its own
    CHILD_NOT_STARTED,        // the pipe or the process could not be made
    CHILD_OVERDUE,            // not ended (or still writing) at the limit: ended
    CHILD_OUTPUT_TOO_LONG,    // wrote more than CHILD_OUTPUT_MAX_BYTES: ended
    CHILD_OUTPUT_FAILED       // its output could not be read
} child_outcome;

typedef struct child_result {
    child_outcome outcome;
    DWORD exitCode;   // the child's own, or EXIT_CODE_NOT_RUN
    DWORD childId;    // its process identifier, 0 when it did not start
} child_result;

// The program path as it goes first on a command line (caller frees), or null.
char *quotedProgram(const char *program);

// Starts cmdLine with a hidden console; the caller closes the returned process
// handle (null when it cannot start). *childId receives its identifier. The
// child gets the given standard handles and no other handle of this process:
// where the system cannot name the handles a child inherits (Windows XP and
// Server 2003), the handles are made inheritable only while their own child
// starts, one child at a time.
HANDLE RunChild(char *cmdLine, char *env, HANDLE hChildStdOut, HANDLE hChildStdIn, HANDLE hChildStdErr,
                DWORD *childId);
// Runs cmdLine to its end; returns its standard output (caller frees) or null.
// While the child runs, its identifier is kept in *runningChildId when given
// (the shared _upcallCode), and 0 once it has ended. A child that has not
// ended within limitMs is ended and gives no output.
char *execProgram(char *cmdLine, char *env, child_result *result, DWORD limitMs = CHILD_WAIT_CEILING_MS,
                  volatile DWORD *runningChildId = NULL);
// Reads the pipe in pieces of at most 255 bytes until the writer closes it; null
// when nothing was written or the read fails otherwise. A zero byte ends its piece.
// Gives up after limitMs or beyond CHILD_OUTPUT_MAX_BYTES; child, when given, is
// the writer. *outcome (when given) says how the reading ended.
char *ReadChildOutput(HANDLE hPipeRead, HANDLE child = NULL, DWORD limitMs = CHILD_WAIT_CEILING_MS,
                      child_outcome *outcome = NULL);

// Children are started as on Windows XP, without a handle list, even where
// the system has one (for tests of that road).
void startChildrenWithoutHandleList(int withoutList);

#endif

// program_util: runs a child program with a hidden console and collects what it writes.
#include "program_util.h"

// Points at _upcallCode in the shared record, set by DllMain.
static DWORD *currProcessPID = NULL;

void setProcessPidPointer(DWORD *currPidPointer)
{
    currProcessPID = currPidPointer;
}

// program_util: runs a child program with a hidden console and collects what it writes.
#ifndef KVD_PROGRAM_UTIL_H
#define KVD_PROGRAM_UTIL_H

#include <windows.h>

// Where RunChild publishes the identifier of the child it started (the shared _upcallCode).
void setProcessPidPointer(DWORD *currPidPointer);

#endif

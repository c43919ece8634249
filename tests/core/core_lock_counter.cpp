// core_lock_counter: locked read-increment-write cycles on a field of the shared record.
// Usage: core_lock_counter <cycles>
#include "KVDnotificationLibrary.h"

#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    int cycles = atoi(argv[1]);
    initialize();
    for (int i = 0; i < cycles; i++) {
        takeGlobalLock();
        DWORD seen = ((volatile shared_record *)shareData)->_dwLoggedOn;
        Sleep(0);   // invites another process in between, should the lock not hold
        ((volatile shared_record *)shareData)->_dwLoggedOn = seen + 1;
        releaseGlobalLock();
    }
    deInitialize();
    return 0;
}

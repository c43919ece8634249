// fault_guard: guarded stretches, in which a C++ exception or a hardware fault
// of the library's own code ends the stretch instead of the process.
#ifndef KVD_FAULT_GUARD_H
#define KVD_FAULT_GUARD_H

#include <windows.h>

// The thread slot of the stretches (allocated at library attach), and the
// vectored handler; 0 when they cannot be had (the stretches then catch C++
// exceptions only).
int allocateFaultGuardSlot();
int installFaultGuard();
void removeFaultGuard();

// Runs stretch(context) on this thread as a guarded stretch: a C++ exception,
// or a hardware fault whose instruction lies in this module's image, ends the
// stretch. A fault anywhere else (in the C runtime or the system, which may
// hold their own locks then) and a stack overflow take their usual way.
// 1 when the stretch ran to its end, 0 when it was ended that way.
int runGuardedStretch(int (*stretch)(void *), void *context);
template <typename Stretch> int guarded(Stretch stretch)
{
    struct trampoline {
        static int run(void *context)
        {
            try {
                (*(Stretch *)context)();
                return 1;
            } catch (...) {
                return 0;
            }
        }
    };
    return runGuardedStretch(trampoline::run, &stretch);
}

#endif

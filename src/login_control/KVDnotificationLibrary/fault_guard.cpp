// fault_guard: guarded stretches that survive a hardware fault of the library's own code.
#include "fault_guard.h"
#include "event_log.h"
#include "notify_trace.h"

// A hardware fault of the library's own code (a bad pointer given to it, say)
// inside a guarded stretch must not end the process that loaded the library,
// the logon process above all. A vectored handler sends this thread back to
// the start of its innermost stretch, which then reports the fault as ended.
typedef struct fault_guard {
    void *resume[5];              // __builtin_setjmp's buffer: frame, resume address, stack
    struct fault_guard *outer;    // the stretch this one runs in, or null
    void *sehChain;               // the thread's exception-handler chain at entry (x86)
    DWORD faultCode;              // the fault that ended the stretch, for the event log
    void *faultAddress;
} fault_guard;

static DWORD faultGuardSlot = TLS_OUT_OF_INDEXES;
static PVOID faultHandler = NULL;

static int isHardwareFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK:
        return 1;
    default:
        return 0;   // C++ exceptions, breakpoints, stack overflows and the like take their usual way
    }
}

#if defined(__i386__)
static void *sehChainHead()
{
    void *head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

static void setSehChainHead(void *head)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}
#else
static void *sehChainHead()
{
    return NULL;   // table-based unwinding keeps no chain on the stack
}

static void setSehChainHead(void *)
{
}
#endif

// The library's own image: only a fault of its own instructions is known to
// leave no lock of the runtime or the system held.
static const BYTE *imageStart = NULL;
static SIZE_T imageSize = 0;

static void findOwnImage()
{
    HMODULE module = NULL;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)(void *)&findOwnImage, &module))
        return;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)module;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)((const BYTE *)module + dos->e_lfanew);
    imageStart = (const BYTE *)module;
    imageSize = nt->OptionalHeader.SizeOfImage;
}

static int isOwnInstruction(const void *address)
{
    const BYTE *at = (const BYTE *)address;
    return imageStart != NULL && at >= imageStart && (SIZE_T)(at - imageStart) < imageSize;
}

static LONG CALLBACK resumeGuardedStretch(EXCEPTION_POINTERS *info)
{
    if (!isHardwareFault(info->ExceptionRecord->ExceptionCode)
        || !isOwnInstruction(info->ExceptionRecord->ExceptionAddress))
        return EXCEPTION_CONTINUE_SEARCH;
    DWORD lastError = GetLastError();
    fault_guard *guard = (fault_guard *)TlsGetValue(faultGuardSlot);
    SetLastError(lastError);
    if (guard == NULL)
        return EXCEPTION_CONTINUE_SEARCH;   // not in a stretch of this thread
    guard->faultCode = info->ExceptionRecord->ExceptionCode;
    guard->faultAddress = info->ExceptionRecord->ExceptionAddress;
    CONTEXT *context = info->ContextRecord;
#if defined(__i386__)
    context->Ebp = (DWORD)(DWORD_PTR)guard->resume[0];
    context->Eip = (DWORD)(DWORD_PTR)guard->resume[1];
    context->Esp = (DWORD)(DWORD_PTR)guard->resume[2];
#elif defined(__x86_64__)
    context->Rbp = (DWORD64)guard->resume[0];
    context->Rip = (DWORD64)guard->resume[1];
    context->Rsp = (DWORD64)guard->resume[2];
#else
    return EXCEPTION_CONTINUE_SEARCH;   // no known way to resume on this processor
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

int allocateFaultGuardSlot()
{
    if (faultGuardSlot == TLS_OUT_OF_INDEXES)
        faultGuardSlot = TlsAlloc();
    return faultGuardSlot != TLS_OUT_OF_INDEXES;
}

int installFaultGuard()
{
    if (faultHandler != NULL)
        return 1;
    findOwnImage();
    if (allocateFaultGuardSlot() && imageStart != NULL)
        faultHandler = AddVectoredExceptionHandler(0, resumeGuardedStretch);
    return faultHandler != NULL;
}

void removeFaultGuard()
{
    if (faultHandler != NULL)
        RemoveVectoredExceptionHandler(faultHandler);
    faultHandler = NULL;
    if (faultGuardSlot != TLS_OUT_OF_INDEXES)
        TlsFree(faultGuardSlot);
    faultGuardSlot = TLS_OUT_OF_INDEXES;
}

int runGuardedStretch(int (*stretch)(void *), void *context)
{
    if (faultHandler == NULL)
        return stretch(context);   // C++ exceptions are still caught by the stretch itself
    fault_guard guard;
    fault_guard *volatile active = &guard;
    guard.outer = (fault_guard *)TlsGetValue(faultGuardSlot);
    guard.sehChain = sehChainHead();
    if (__builtin_setjmp(guard.resume) == 0) {
        TlsSetValue(faultGuardSlot, active);
        int result = stretch(context);
        TlsSetValue(faultGuardSlot, active->outer);
        return result;
    }
    // Back from a fault: the handlers the faulting code had pushed are gone
    // with its stack, and a trace line it was writing is given up.
    setSehChainHead(active->sehChain);
    TlsSetValue(faultGuardSlot, active->outer);
    releaseTraceLineOfThread();
    eventFaultContained(active->faultCode, active->faultAddress);
    return 0;
}


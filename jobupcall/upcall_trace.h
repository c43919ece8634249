// upcall_trace: the program's trace conventions over the runtime's trace class (tag "common").
#ifndef UPCALL_TRACE_H
#define UPCALL_TRACE_H

#include "vqcore.h"

// Entry line at level 5; returns whether it was written, for traceExit.
int traceEntry(const char *name);
void traceExit(int entryTraced, const char *name);
// Information lines at level 4, error lines at level 2, "return data = %d" at level 5.
void traceInfo(const char *name, const char *format, ...) __attribute__((format(printf, 2, 3)));
void traceError(const char *name, const char *format, ...) __attribute__((format(printf, 2, 3)));
void traceReturn(const char *name, int result);

// Runs body inside the scope of a traced routine: entry line, profiler entry point, return data, exit line.
template <typename Body>
int tracedRoutine(const char *name, Body body)
{
    int entryTraced = traceEntry(name);
    int result;
    {
        q_entrypoint entryPoint(name);
        result = body();
        traceReturn(name, result);
    }
    traceExit(entryTraced, name);
    return result;
}

// The same for a routine without a result: no return data line.
template <typename Body>
void tracedProcedure(const char *name, Body body)
{
    int entryTraced = traceEntry(name);
    {
        q_entrypoint entryPoint(name);
        body();
    }
    traceExit(entryTraced, name);
}

#endif

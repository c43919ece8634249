// upcall_trace: the program's trace conventions over the runtime's trace class (tag "common").
#include "upcall_trace.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

static const char TAG[] = "common";
static const char INFO[] = " [I] ";
static const char ERROR_SEVERITY[] = " [E] ";

int traceEntry(const char *name)
{
    if (trace::level() < 5 || trace::check_tags(TAG) == 0)
        return 0;
    trace::prepare_header(INFO, name);
    trace::write_trace_text("%s", ">>>> ENTRY >>>>> ");
    return 1;
}

void traceExit(int entryTraced, const char *name)
{
    if (!entryTraced)
        return;
    trace::prepare_header(INFO, name);
    trace::write_trace_text("%s", "<<<<< EXIT <<<<<");
}

// Formats into a text of the needed length, so long lists are traced whole.
static void writeLine(int minimumLevel, const char *severity, const char *name, const char *format, va_list arguments)
{
    if (trace::level() < minimumLevel || trace::check_tags(TAG) != 1 || trace::prepare_header(severity, name) != 1)
        return;
    va_list measure;
    va_copy(measure, arguments);
    int length = vsnprintf(NULL, 0, format, measure);
    va_end(measure);
    char *text = length >= 0 ? (char *)malloc((size_t)length + 1) : NULL;
    if (text == NULL) {
        trace::write_trace_text("%s", format);
        return;
    }
    vsnprintf(text, (size_t)length + 1, format, arguments);
    trace::write_trace_text("%s", text);
    free(text);
}

void traceInfo(const char *name, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    writeLine(4, INFO, name, format, arguments);
    va_end(arguments);
}

void traceError(const char *name, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    writeLine(2, ERROR_SEVERITY, name, format, arguments);
    va_end(arguments);
}

static void traceAtLevel5(const char *name, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void traceAtLevel5(const char *name, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    writeLine(5, INFO, name, format, arguments);
    va_end(arguments);
}

void traceReturn(const char *name, int result)
{
    traceAtLevel5(name, "return data = %d", result);
}

// vqcore: substitute for the service runtime's trace facility: one append-only text file per program.
//
// Configured by three endpoint variables, read when the trace is opened:
//   XEP_TRACE_LEVEL  0 (default) writes nothing; 2 errors; 4 information; 5 entries and exits
//   XEP_TRACE_TAGS   comma-separated tags to write, "*" (default) for all
//   XEP_TRACE_DIR    folder of the trace file; default XEP_DATDIR, else the current folder
#define VQCORE_BUILD
#include "vqcore.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Process-wide trace state; the programs that trace are single-threaded,
// so a header prepared by prepare_header is used by the next write_trace_text.
static FILE *traceFile = NULL;
static int traceLevel = 0;
static char traceTags[256] = "*";
static char pendingHeader[256] = "";

static void readVariable(const char *name, char *buffer, DWORD size)
{
    DWORD length = GetEnvironmentVariableA(name, buffer, size);
    if (length == 0 || length >= size)
        buffer[0] = '\0';
}

static void openTraceFile(const char *fileName)
{
    char folder[MAX_PATH];
    readVariable("XEP_TRACE_DIR", folder, sizeof(folder));
    if (folder[0] == '\0')
        readVariable("XEP_DATDIR", folder, sizeof(folder));
    char path[MAX_PATH];
    int written = folder[0] != '\0' ? snprintf(path, sizeof(path), "%s\\%s", folder, fileName)
                                    : snprintf(path, sizeof(path), "%s", fileName);
    if (written > 0 && (size_t)written < sizeof(path))
        traceFile = fopen(path, "ab");
}

void trace::initialize(const char *fileName, const char *options)
{
    (void)options;  // reserved by the runtime; always null here
    char value[32];
    readVariable("XEP_TRACE_LEVEL", value, sizeof(value));
    traceLevel = atoi(value);
    readVariable("XEP_TRACE_TAGS", traceTags, sizeof(traceTags));
    if (traceTags[0] == '\0')
        snprintf(traceTags, sizeof(traceTags), "*");
    if (traceLevel > 0 && traceFile == NULL && fileName != NULL)
        openTraceFile(fileName);
}

int trace::level()
{
    return traceFile != NULL ? traceLevel : 0;
}

int trace::check_tags(const char *tag)
{
    if (strcmp(traceTags, "*") == 0)
        return 1;
    size_t length = strlen(tag);
    for (const char *item = traceTags; item != NULL; item = strchr(item, ',')) {
        if (*item == ',')
            item++;
        if (strncmp(item, tag, length) == 0 && (item[length] == ',' || item[length] == '\0'))
            return 1;
    }
    return 0;
}

int trace::prepare_header(const char *severity, const char *name)
{
    if (traceFile == NULL)
        return 0;
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(pendingHeader, sizeof(pendingHeader), "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu:%lu]%s%s ",
             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
             GetCurrentProcessId(), GetCurrentThreadId(), severity, name);
    return 1;
}

void trace::write_trace_text(const char *format, ...)
{
    if (traceFile == NULL)
        return;
    va_list arguments;
    va_start(arguments, format);
    fputs(pendingHeader, traceFile);
    vfprintf(traceFile, format, arguments);
    fputs("\r\n", traceFile);
    fflush(traceFile);
    va_end(arguments);
    pendingHeader[0] = '\0';
}

void trace::terminate()
{
    if (traceFile != NULL)
        fclose(traceFile);
    traceFile = NULL;
}

// The substitute keeps no profile: entry points and the profiler have nothing to record.
q_entrypoint::q_entrypoint(const char *name)
{
    (void)name;
}

q_entrypoint::~q_entrypoint() {}

void q_profiler::finalize() {}

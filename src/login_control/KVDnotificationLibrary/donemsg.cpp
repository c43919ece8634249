// donemsg: shows the completion message, or the shutdown-at-completion message, one instance per machine.
#include "notify_trace.h"
#include "object_security.h"
#include "registry_schema.h"
#include "registry_util.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

// Global namespace: one instance for all the logons of the machine.
static const char DONEMSG_MUTEX_NAME[] = "Global\\KVD_donemsg_mutex";
static const int TYPE_SHUTDOWN_AT_COMPLETION = 1;
static const int TYPE_COMPLETION = 0;
static const DWORD SHUTDOWN_MESSAGE_DELAY_MS = 5000;
// Service notification: shown on the active desktop whether or not a user is logged on.
static const UINT DONEMSG_BOX_FLAGS = MB_OK | MB_ICONEXCLAMATION | MB_SERVICE_NOTIFICATION;
static_assert(DONEMSG_BOX_FLAGS == 0x00200030, "message box flags");

static const int EXIT_SHOWN = 0;
static const int EXIT_NOT_SHOWN = 1;

// The library appends a blank and the type digit to the configured command, so
// only the last character counts. An empty argument string (never passed by
// the library) means the completion message.
static int messageTypeFromArguments(const char *arguments)
{
    size_t length = arguments != NULL ? strlen(arguments) : 0;
    if (length == 0)
        return TYPE_COMPLETION;
    char last = arguments[length - 1];
    return last >= '0' && last <= '9' ? last - '0' : TYPE_COMPLETION;
}


// Takes the single-instance mutex; 0 when another instance has it or it cannot
// be made. A mutex under the name that SYSTEM or Administrators do not own was
// made by somebody else to keep the message away: it is not trusted, and the
// message is shown without a mutex.
static HANDLE newInstanceMutex(SECURITY_ATTRIBUTES *attributes, const char *name)
{
    return CreateMutexA(attributes, TRUE, name);
}

static int takeInstanceMutex(trace_class &trace, HANDLE *mutex)
{
    int secured = isPrivilegedProcess();
    HANDLE handle = NULL;
    object_outcome outcome;
    if (secured) {
        outcome = createTrustedObject(ACCESS_PRIVILEGED_ONLY, newInstanceMutex, DONEMSG_MUTEX_NAME, &handle);
    } else {
        SetLastError(ERROR_SUCCESS);
        handle = newInstanceMutex(NULL, DONEMSG_MUTEX_NAME);
        outcome = keepTrustedObject(&handle);
    }
    DWORD error = GetLastError();
    if (outcome == OBJECT_NOT_TRUSTED || (outcome == OBJECT_FAILED && secured && error == ERROR_ACCESS_DENIED)) {
        TRACE_LINE(trace, TRACE_ERROR, NOT_TRUSTED_FORMAT ", not used", DONEMSG_MUTEX_NAME);
        return 1;
    }
    if (outcome == OBJECT_OPENED) {
        TRACE_LINE(trace, TRACE_WARNING, "another instance of donemsg is already running, exiting...");
        CloseHandle(handle);
        return 0;
    }
    if (outcome == OBJECT_FAILED) {
        TRACE_LINE(trace, TRACE_WARNING,
                   "error creating the mutex (%u), probably another instance is already runinng, exiting...",
                   (unsigned)error);
        return 0;
    }
    *mutex = handle;
    return 1;
}

static int showCompletionMessage(const char *arguments)
{
    trace_class trace(TRACE_ORDINARY, "donemsg");
    HANDLE mutex = NULL;
    if (!takeInstanceMutex(trace, &mutex))
        return EXIT_NOT_SHOWN;

    int type = messageTypeFromArguments(arguments);
    TRACE_LINE(trace, TRACE_INFO, "type=%d", type);

    char *title;
    int titleFound = readSetting(SETTING_COMPLETION_POPUP_TITLE, &title);
    char *message;
    int messageFound;
    if (type == TYPE_SHUTDOWN_AT_COMPLETION) {
        Sleep(SHUTDOWN_MESSAGE_DELAY_MS);
        messageFound = readSetting(SETTING_SHUTDOWN_POPUP_MSG, &message);
    } else {
        messageFound = readSetting(SETTING_COMPLETION_POPUP_MSG, &message);
    }
    if (!titleFound)
        TRACE_LINE(trace, TRACE_INFO, "title not found, using default");
    if (!messageFound)
        TRACE_LINE(trace, TRACE_INFO, "msg not found, using default");
    message = correctFormat(message, NULL, NULL);

    TRACE_LINE(trace, TRACE_INFO, "show message box");
    MessageBoxA(NULL, message != NULL ? message : "", title != NULL ? title : "", DONEMSG_BOX_FLAGS);
    TRACE_LINE(trace, TRACE_INFO, "message box returned");

    free(title);
    free(message);
    // Held until the very end, so no other instance can show a box meanwhile.
    if (mutex != NULL) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return EXIT_SHOWN;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show)
{
    (void)instance;
    (void)previous;
    (void)show;
    TRACE_INITIALIZE();
    return showCompletionMessage(arguments);
}

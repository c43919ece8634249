// jobupcall: the upcall program: checks that the library started it, reads its options, runs one queue operation.
#include "job_queue_ops.h"
#include "option_scanner.h"
#include "upcall_trace.h"
#include "kfr60.h"
#include "vqcore.h"
#include "zpl60.h"

#include <windows.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum upcall_operation {
    OPERATION_NONE,
    OPERATION_INVALID,
    OPERATION_LIST,
    OPERATION_LIST_PAUSED,
    OPERATION_PAUSE,
    OPERATION_PAUSE_ALL,
    OPERATION_RESUME,
    OPERATION_RESUME_ALL
};

// What the command line asked for: the last operation letter wins.
struct upcall_request {
    upcall_operation operation;
    char *distributionList;  // private copy of the last -p or -r argument
};

static const char OPTION_STRING[] = "lLp:Pr:Rt:";
static const int RESULT_REFUSED = -1;

// Run at process exit, after main has returned.
static void releaseRuntime(void)
{
    variable_list_builder::free_variables();
    built_in_variable_list::terminate();
    dynamic_variable_list::terminate();
    user_file_variable_list::terminate();
    environment_variable_list::terminate();
    command_line_variable_list::terminate();
    base_configuration::deinitialize();
    operator_t::terminate_statics();
    library_loader::discard();
    trace::terminate();
    q_profiler::finalize();
}

// The library publishes the identifier of the upcall child it has just started.
static int isAuthorizedCaller(void)
{
    typedef int(WINAPI * check_valid_call_fn)(DWORD);
    HMODULE library = LoadLibraryA("KVDnotificationLibrary");
    if (library == NULL)
        return 0;
    check_valid_call_fn checkValidCall =
        (check_valid_call_fn)(void (*)(void))GetProcAddress(library, "checkValidCall");
    int valid = checkValidCall != NULL && checkValidCall(GetCurrentProcessId()) != 0;
    FreeLibrary(library);
    return valid;
}

static void printUsage(const char *program)
{
    printf("Usage: %s [-t upcall_timeout] [-l| -p distID,... | -P | -r distID,... | -R]\n", program);
    printf("          -t  upcall timeout\n");
    printf("          -l  list all active distributions\n");
    printf("          -L  list all paused distributions\n");
    printf("          -p  pause distributions\n");
    printf("          -P  pause all distributions\n");
    printf("          -r  resume distributions\n");
    printf("          -R  resume all distributions\n");
}

static void keepList(upcall_request *request, const char *list)
{
    free(request->distributionList);
    request->distributionList = strdup(list);
}

static void readOptions(int argc, char **argv, upcall_request *request)
{
    int letter;
    while ((letter = nextOption(argc, argv, OPTION_STRING)) != OPTION_END) {
        switch (letter) {
        case 'l': request->operation = OPERATION_LIST; break;
        case 'L': request->operation = OPERATION_LIST_PAUSED; break;
        case 'P': request->operation = OPERATION_PAUSE_ALL; break;
        case 'R': request->operation = OPERATION_RESUME_ALL; break;
        case 'p':
            request->operation = OPERATION_PAUSE;
            keepList(request, optionArgument);
            break;
        case 'r':
            request->operation = OPERATION_RESUME;
            keepList(request, optionArgument);
            break;
        case 't': upcallTimeout = strtol(optionArgument, NULL, 10); break;
        default:
            printUsage(argv[0]);
            request->operation = OPERATION_INVALID;
            break;
        }
    }
}

static int runOperation(const upcall_request *request)
{
    const char *list = request->distributionList;
    switch (request->operation) {
    case OPERATION_LIST: return listDistributions();
    case OPERATION_LIST_PAUSED: return listAllPausedDistributions();
    case OPERATION_PAUSE: return list != NULL ? pauseDistributions(list) : 1;
    case OPERATION_RESUME: return list != NULL ? resumeDistributions(list) : 1;
    case OPERATION_PAUSE_ALL: return pauseAllDistributions();
    case OPERATION_RESUME_ALL: return resumeAllDistributions();
    default: return RESULT_REFUSED;
    }
}

static int runUpcall(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    if (!isAuthorizedCaller()) {
        fputs("You are not authorized to run this program...\n", stderr);
        return RESULT_REFUSED;
    }
    int result = RESULT_REFUSED;
    if (argc <= 1) {
        printUsage(argv[0]);
    } else {
        upcall_request request = {OPERATION_NONE, NULL};
        upcallTimeout = 0;
        readOptions(argc, argv, &request);
        if (request.operation != OPERATION_INVALID) {
            traceInfo("jobupcall", "timeout=%ld", upcallTimeout);
            result = runOperation(&request);
        }
        free(request.distributionList);
    }
    traceReturn("jobupcall", result);
    return result;
}

int main(int argc, char **argv)
{
    kfr_init();
    atexit(releaseRuntime);
    trace::initialize("upctrc1.trc", NULL);
    int entryTraced = traceEntry("jobupcall");
    int result;
    {
        q_entrypoint entryPoint("jobupcall");
        result = runUpcall(argc, argv);
    }
    traceExit(entryTraced, "jobupcall");
    return result;
}

// zpl60: substitute for the service runtime's platform layer: endpoint variables from the process environment.
#define ZPL60_BUILD
#include "zpl60.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

// Texts handed out by cpl_getenv, kept until environment_variable_list::terminate.
struct kept_variable {
    char *value;
    kept_variable *next;
};
static kept_variable *keptVariables = NULL;

static char *readEnvironment(const char *name)
{
    DWORD size = GetEnvironmentVariableA(name, NULL, 0);
    if (size == 0)
        return NULL;
    char *value = (char *)malloc(size);
    if (value == NULL)
        return NULL;
    DWORD length = GetEnvironmentVariableA(name, value, size);
    if (length == 0 || length >= size) {
        free(value);
        return NULL;
    }
    return value;
}

extern "C" ZPL60_API const char *cpl_getenv(const char *name)
{
    char *value = readEnvironment(name);
    if (value == NULL)
        return NULL;
    kept_variable *kept = (kept_variable *)malloc(sizeof(kept_variable));
    if (kept == NULL) {
        free(value);
        return NULL;
    }
    kept->value = value;
    kept->next = keptVariables;
    keptVariables = kept;
    return value;
}

void environment_variable_list::terminate()
{
    while (keptVariables != NULL) {
        kept_variable *next = keptVariables->next;
        free(keptVariables->value);
        free(keptVariables);
        keptVariables = next;
    }
}

// The substitute reads variables only from the environment: the other lists hold nothing.
void variable_list_builder::free_variables() {}
void built_in_variable_list::terminate() {}
void dynamic_variable_list::terminate() {}
void user_file_variable_list::terminate() {}
void command_line_variable_list::terminate() {}

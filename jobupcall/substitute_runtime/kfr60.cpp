// kfr60: substitute for the service runtime's kernel: type repositories, exception frames, sequences, texts.
#define KFR60_BUILD
#include "kfr60.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" KFR60_API const type_repository type_repository_null = {"null"};

// A frame opened by eh_push_try; frames form a stack, innermost on top.
struct eh_context {
    _JBTYPE *jumpBuffer;   // the caller's jmp_buf (_JBTYPE: its element type)
    kfr_exception *raised;
    eh_context *outer;
};

// Process-wide runtime state. The runtime's callers are single-threaded
// programs, so the frame stack and the settings are not per thread.
static eh_context *innermostFrame = NULL;
static const type_repository *registeredRepositories[8];
static long upcallTimeoutSeconds = 0;

// Exit status of a process whose exception no frame accepted.
static const int UNHANDLED_EXCEPTION_EXIT = 3;

extern "C" KFR60_API void kfr_init(void)
{
    innermostFrame = NULL;
    registeredRepositories[0] = NULL;
    upcallTimeoutSeconds = 0;
}

extern "C" KFR60_API void adr_type_init(const type_repository **repositories)
{
    size_t count = 0;
    while (repositories != NULL && repositories[count] != NULL && repositories[count] != &type_repository_null &&
           count + 1 < sizeof(registeredRepositories) / sizeof(registeredRepositories[0])) {
        registeredRepositories[count] = repositories[count];
        count++;
    }
    registeredRepositories[count] = NULL;
}

extern "C" KFR60_API int adr_type_registered(const type_repository *repository)
{
    for (size_t i = 0; registeredRepositories[i] != NULL; i++)
        if (registeredRepositories[i] == repository)
            return 1;
    return 0;
}

extern "C" KFR60_API void kfr_set_upcall_timeout(long seconds)
{
    upcallTimeoutSeconds = seconds;
}

extern "C" KFR60_API long kfr_get_upcall_timeout(void)
{
    return upcallTimeoutSeconds;
}

static void freeException(kfr_exception *exception)
{
    if (exception == NULL)
        return;
    free(exception->text);
    free(exception);
}

extern "C" KFR60_API eh_context *eh_push_try(jmp_buf jumpBuffer)
{
    eh_context *frame = (eh_context *)calloc(1, sizeof(eh_context));
    if (frame == NULL) {
        fputs("kfr60: out of memory opening an exception frame\n", stderr);
        ExitProcess(UNHANDLED_EXCEPTION_EXIT);
    }
    frame->jumpBuffer = jumpBuffer;
    frame->outer = innermostFrame;
    innermostFrame = frame;
    return frame;
}

// Hands the exception to the frame and jumps back to its setjmp.
static void deliver(eh_context *frame, kfr_exception *exception)
{
    if (frame == NULL) {
        fprintf(stderr, "Unhandled exception %s: %s\n", exception->type_name, exception->text);
        fflush(stderr);
        ExitProcess(UNHANDLED_EXCEPTION_EXIT);
    }
    if (frame->raised != exception)
        freeException(frame->raised);
    frame->raised = exception;
    longjmp(frame->jumpBuffer, 1);
}

extern "C" KFR60_API void eh_raise(const char *typeName, const char *text)
{
    kfr_exception *exception = (kfr_exception *)calloc(1, sizeof(kfr_exception));
    char *copy = strdup(text != NULL ? text : "");
    if (exception == NULL || copy == NULL) {
        fputs("kfr60: out of memory raising an exception\n", stderr);
        ExitProcess(UNHANDLED_EXCEPTION_EXIT);
    }
    exception->type_name = typeName;
    exception->text = copy;
    deliver(innermostFrame, exception);
}

// A type is accepted by its own name and by every dotted subtype of it.
extern "C" KFR60_API int eh_catch(eh_context *context, const char *typeName)
{
    if (context == NULL || context->raised == NULL || typeName == NULL)
        return 0;
    const char *raisedType = context->raised->type_name;
    size_t length = strlen(typeName);
    return strncmp(raisedType, typeName, length) == 0 && (raisedType[length] == '\0' || raisedType[length] == '.');
}

extern "C" KFR60_API kfr_exception *eh_current(eh_context *context)
{
    return context != NULL ? context->raised : NULL;
}

extern "C" KFR60_API char *def_ex_bind(kfr_exception *exception)
{
    return strdup(exception != NULL && exception->text != NULL ? exception->text : "");
}

// The exception leaves this frame (which is closed) for the next outer one.
extern "C" KFR60_API void eh_again(eh_context *context)
{
    if (context == NULL || context != innermostFrame)
        return;
    kfr_exception *exception = context->raised;
    context->raised = NULL;
    innermostFrame = context->outer;
    free(context);
    deliver(innermostFrame, exception);
}

extern "C" KFR60_API void eh_pop_try(eh_context *context)
{
    if (context == NULL || context != innermostFrame)
        return;
    innermostFrame = context->outer;
    freeException(context->raised);
    free(context);
}

extern "C" KFR60_API void mg_free(void *memory)
{
    free(memory);
}

extern "C" KFR60_API char *lqs_strstr(int flags, const char *text, const char *pattern)
{
    (void)flags;  // flags select collation in the real runtime; only 0 (bytewise) is used
    return text != NULL && pattern != NULL ? (char *)strstr(text, pattern) : NULL;
}

extern "C" KFR60_API char *lqs_strchr(int flags, const char *text, int character)
{
    (void)flags;
    return text != NULL ? (char *)strchr(text, character) : NULL;
}

// Capacity doubles, so appending n entries copies O(n) bytes in all.
extern "C" KFR60_API void seq_add(sequence *seq, const void *element, unsigned int elementSize)
{
    if (seq->length == seq->capacity) {
        unsigned int capacity = seq->capacity ? seq->capacity * 2 : 16;
        void *grown = realloc(seq->first, (size_t)capacity * elementSize);
        if (grown == NULL) {
            eh_raise("Exception.ExNoMemory", "seq_add: out of memory");
            return;
        }
        seq->first = grown;
        seq->capacity = capacity;
    }
    memcpy((char *)seq->first + (size_t)seq->length * elementSize, element, elementSize);
    seq->length++;
}

extern "C" KFR60_API void seq_remove(sequence *seq, unsigned int index, unsigned int elementSize)
{
    if (index >= seq->length)
        return;
    char *entry = (char *)seq->first + (size_t)index * elementSize;
    memmove(entry, entry + elementSize, (size_t)(seq->length - index - 1) * elementSize);
    seq->length--;
}

// The substitute keeps no configuration, operators or loaded libraries: nothing to release.
void base_configuration::deinitialize() {}
void operator_t::terminate_statics() {}
void library_loader::discard() {}

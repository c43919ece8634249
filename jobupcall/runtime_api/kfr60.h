// kfr60: the service runtime's kernel (libkfr60): start-up, type repositories, exception frames, sequences, texts.
#ifndef KFR60_H
#define KFR60_H

#include <setjmp.h>

#ifdef KFR60_BUILD
#define KFR60_API __declspec(dllexport)
#else
#define KFR60_API __declspec(dllimport)
#endif

// A growable array of fixed-size entries: capacity, length, first entry.
// All three 0 is an empty sequence. Entries belong to the runtime's allocator.
typedef struct sequence {
    unsigned int capacity;
    unsigned int length;
    void *first;
} sequence;

// A registry of value types; arrays of them end with &type_repository_null.
typedef struct type_repository {
    const char *name;
} type_repository;

// A raised exception: its type name ("Exception" or a dotted subtype such as
// "Exception.ExTimeout") and its text.
typedef struct kfr_exception {
    const char *type_name;
    char *text;
} kfr_exception;

// An exception frame opened by eh_push_try.
typedef struct eh_context eh_context;

extern "C" {
extern KFR60_API const type_repository type_repository_null;

KFR60_API void kfr_init(void);
KFR60_API void adr_type_init(const type_repository **repositories);
KFR60_API int adr_type_registered(const type_repository *repository);
// Seconds a queue call may take before it raises "Exception.ExTimeout"; 0 or less keeps the default.
KFR60_API void kfr_set_upcall_timeout(long seconds);
KFR60_API long kfr_get_upcall_timeout(void);

// Exception frames: eh_push_try, then setjmp on the same buffer; a raise
// inside the frame returns there from setjmp with a non-zero value.
KFR60_API eh_context *eh_push_try(jmp_buf jumpBuffer);
KFR60_API int eh_catch(eh_context *context, const char *typeName);
KFR60_API kfr_exception *eh_current(eh_context *context);
KFR60_API char *def_ex_bind(kfr_exception *exception);
KFR60_API void eh_again(eh_context *context);
KFR60_API void eh_pop_try(eh_context *context);
// Raises an exception of the given type into the innermost frame; never returns.
KFR60_API void eh_raise(const char *typeName, const char *text);

KFR60_API void mg_free(void *memory);
KFR60_API char *lqs_strstr(int flags, const char *text, const char *pattern);
KFR60_API char *lqs_strchr(int flags, const char *text, int character);

KFR60_API void seq_add(sequence *seq, const void *element, unsigned int elementSize);
KFR60_API void seq_remove(sequence *seq, unsigned int index, unsigned int elementSize);
}

// Tear-down of the runtime's process-wide state.
class KFR60_API base_configuration {
public:
    static void deinitialize();
};
class KFR60_API operator_t {
public:
    static void terminate_statics();
};
class KFR60_API library_loader {
public:
    static void discard();
};

#endif

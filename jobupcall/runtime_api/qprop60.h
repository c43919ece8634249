// qprop60: the service runtime's property sets (libqprop60): named, typed values of a job or a request.
#ifndef QPROP60_H
#define QPROP60_H

#include "kfr60.h"

#ifdef QPROP60_BUILD
#define QPROP60_API __declspec(dllexport)
#else
#define QPROP60_API __declspec(dllimport)
#endif

typedef struct property_value property_value;

// A property set; a zeroed record is an empty set.
typedef struct properties {
    unsigned int count;
    unsigned int capacity;
    property_value *values;
} properties;

extern "C" {
// Names of the properties of a queue message.
extern QPROP60_API const char *const MESSAGE_APPLICATION_ID_KEY;
extern QPROP60_API const char *const NODE_STATE_KEY;
extern QPROP60_API const char *const MESSAGE_PARENT_DIST_ID_KEY;
extern QPROP60_API const char *const MESSAGE_RECV_METHOD_KEY;
extern QPROP60_API const char *const MESSAGE_TYPE_KEY;

extern QPROP60_API const type_repository Korvo2_type_repository;

QPROP60_API properties *properties_new(void);
QPROP60_API void properties_put_string_dup(properties *set, const char *name, const char *value);
QPROP60_API void properties_put_short_dup(properties *set, const char *name, short value);
QPROP60_API void properties_put_long_dup(properties *set, const char *name, long value);
QPROP60_API const char *properties_get_string2(const properties *set, const char *name, const char *defaultValue);
QPROP60_API short properties_get_short2(const properties *set, const char *name, short defaultValue);
QPROP60_API long properties_get_long2(const properties *set, const char *name, long defaultValue);
}

#endif

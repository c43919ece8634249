// qprop60: substitute for the service runtime's property sets and the names of queue message properties.
#define QPROP60_BUILD
#include "qprop60.h"

#include <stdlib.h>
#include <string.h>

struct property_value {
    char *name;
    char type;      // 's' text, 'h' 16-bit, 'l' 32-bit
    long number;
    char *text;
};

extern "C" {
extern QPROP60_API const char *const MESSAGE_APPLICATION_ID_KEY = "app_id";
extern QPROP60_API const char *const NODE_STATE_KEY = "state";
extern QPROP60_API const char *const MESSAGE_PARENT_DIST_ID_KEY = "dist_id";
extern QPROP60_API const char *const MESSAGE_RECV_METHOD_KEY = "recv_method";
extern QPROP60_API const char *const MESSAGE_TYPE_KEY = "msg_type";

extern QPROP60_API const type_repository Korvo2_type_repository = {"Korvo2"};
}

static property_value *findValue(const properties *set, const char *name)
{
    if (set == NULL || name == NULL)
        return NULL;
    for (unsigned int i = 0; i < set->count; i++)
        if (strcmp(set->values[i].name, name) == 0)
            return &set->values[i];
    return NULL;
}

// The value named name, created empty when missing; raises when memory runs out.
static property_value *valueToWrite(properties *set, const char *name)
{
    property_value *value = findValue(set, name);
    if (value != NULL) {
        free(value->text);
        value->text = NULL;
        return value;
    }
    if (set->count == set->capacity) {
        unsigned int capacity = set->capacity ? set->capacity * 2 : 8;
        property_value *grown = (property_value *)realloc(set->values, capacity * sizeof(property_value));
        if (grown == NULL)
            eh_raise("Exception.ExNoMemory", "properties: out of memory");
        set->values = grown;
        set->capacity = capacity;
    }
    value = &set->values[set->count];
    memset(value, 0, sizeof(*value));
    value->name = strdup(name);
    if (value->name == NULL)
        eh_raise("Exception.ExNoMemory", "properties: out of memory");
    set->count++;
    return value;
}

extern "C" QPROP60_API properties *properties_new(void)
{
    properties *set = (properties *)calloc(1, sizeof(properties));
    if (set == NULL)
        eh_raise("Exception.ExNoMemory", "properties_new: out of memory");
    return set;
}

extern "C" QPROP60_API void properties_put_string_dup(properties *set, const char *name, const char *value)
{
    char *copy = value != NULL ? strdup(value) : NULL;
    if (value != NULL && copy == NULL)
        eh_raise("Exception.ExNoMemory", "properties: out of memory");
    property_value *slot = valueToWrite(set, name);
    slot->type = 's';
    slot->number = 0;
    slot->text = copy;
}

static void putNumber(properties *set, const char *name, char type, long number)
{
    property_value *slot = valueToWrite(set, name);
    slot->type = type;
    slot->number = number;
}

extern "C" QPROP60_API void properties_put_short_dup(properties *set, const char *name, short value)
{
    putNumber(set, name, 'h', value);
}

extern "C" QPROP60_API void properties_put_long_dup(properties *set, const char *name, long value)
{
    putNumber(set, name, 'l', value);
}

// Values are read only with their own type; another type counts as absent.
extern "C" QPROP60_API const char *properties_get_string2(const properties *set, const char *name,
                                                          const char *defaultValue)
{
    const property_value *value = findValue(set, name);
    return value != NULL && value->type == 's' ? value->text : defaultValue;
}

extern "C" QPROP60_API short properties_get_short2(const properties *set, const char *name, short defaultValue)
{
    const property_value *value = findValue(set, name);
    return value != NULL && value->type == 'h' ? (short)value->number : defaultValue;
}

extern "C" QPROP60_API long properties_get_long2(const properties *set, const char *name, long defaultValue)
{
    const property_value *value = findValue(set, name);
    return value != NULL && value->type == 'l' ? value->number : defaultValue;
}

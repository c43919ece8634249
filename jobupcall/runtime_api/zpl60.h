// zpl60: the service runtime's platform layer (libzpl60): endpoint variables.
#ifndef ZPL60_H
#define ZPL60_H

#ifdef ZPL60_BUILD
#define ZPL60_API __declspec(dllexport)
#else
#define ZPL60_API __declspec(dllimport)
#endif

extern "C" {
// The value of an endpoint variable, or null; the runtime keeps the text until tear-down.
ZPL60_API const char *cpl_getenv(const char *name);
}

// Tear-down of the variable lists.
class ZPL60_API variable_list_builder {
public:
    static void free_variables();
};
class ZPL60_API built_in_variable_list {
public:
    static void terminate();
};
class ZPL60_API dynamic_variable_list {
public:
    static void terminate();
};
class ZPL60_API user_file_variable_list {
public:
    static void terminate();
};
class ZPL60_API environment_variable_list {
public:
    static void terminate();
};
class ZPL60_API command_line_variable_list {
public:
    static void terminate();
};

#endif

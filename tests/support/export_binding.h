// export_binding: an export of a loaded library as a typed function pointer
// (null when the library lacks it), for the test programs and their helpers.
#ifndef KVD_EXPORT_BINDING_H
#define KVD_EXPORT_BINDING_H

#include <windows.h>

template <typename Fn> Fn exportOf(HMODULE module, const char *name)
{
    return (Fn)(void (*)(void))GetProcAddress(module, name);
}

#endif

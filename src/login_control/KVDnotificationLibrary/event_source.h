// event_source: the library's event source in the Application log, as the
// library writes to it and as the installers register it. settings_lists
// writes the MSI's and the kit's registration and removal from this list,
// beside the settings table (registry_schema.h).
#ifndef KVD_EVENT_SOURCE_H
#define KVD_EVENT_SOURCE_H

#include <windows.h>

constexpr const char EVENT_SOURCE_NAME[] = "KVDNotification";
constexpr const wchar_t EVENT_SOURCE_NAME_W[] = L"KVDNotification";
// Under HKEY_LOCAL_MACHINE; removing the package removes the key.
constexpr const char EVENT_SOURCE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KVDNotification";

// One registry value of the registration. value is in the installers'
// formatted syntax: [INSTALLDIR] is the program folder with its final backslash.
struct event_source_value {
    const char *name;
    DWORD type;          // REG_EXPAND_SZ or REG_DWORD
    const char *value;
};

inline constexpr event_source_value EVENT_SOURCE_VALUES[] = {
    // the message table Event Viewer formats the events with
    {"EventMessageFile", REG_EXPAND_SZ, "[INSTALLDIR]KVDnotificationLibrary.dll"},
    // errors, warnings and information
    {"TypesSupported", REG_DWORD, "7"},
};

#endif

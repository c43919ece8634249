// registry_util: reading and writing the package's settings, message texts, privileges and the main switch.
#ifndef KVD_REGISTRY_UTIL_H
#define KVD_REGISTRY_UTIL_H

#include <windows.h>

#include "registry_schema.h"

class trace_class;

// All return 1 on success and 0 on failure; a failed read leaves the output untouched,
// so callers preset it with their default. Keys are opened, never created.
int RegRetrieveValue(HKEY root, const char *subkey, const char *valueName, DWORD *type, BYTE **data);
int RegGetDWORD(HKEY root, const char *subkey, const char *valueName, DWORD *value);
int RegGetString(HKEY root, const char *subkey, const char *valueName, char **value);
int RegGetMultiString(HKEY root, const char *subkey, const char *valueName, char **value);
int RegSetDWORD(HKEY root, const char *subkey, const char *valueName, DWORD value);
int RegSetString(HKEY root, const char *subkey, const char *valueName, const char *value);
int RegSetMultiString(HKEY root, const char *subkey, const char *valueName, const char *value);
int RegRemoveValue(HKEY root, const char *subkey, const char *valueName);

// Bytes of a multi-string up to and including its two final zero bytes; 0 for null.
unsigned int getMultiStringLen(const char *multiString);

// Expands \r \n \t \\ and the variables "$(DIST_ID)" and "$(LEFT_LOGON)".
// msg is an allocated text owned by the caller; the result replaces it.
char *correctFormat(char *msg, const char *currDistId, const char *leftLogon);

// What a reader traces into its own scope when a setting cannot be read: the
// line is a format that gets the value name and the default (as int); the
// second one follows when writing the default back fails (NULL: nothing).
struct setting_miss {
    const char *tag;
    const char *missingLine;
    const char *writeFailedLine;
};

// The one lookup of a setting's value in effect, for every reader: the value
// under the row's policy key when it is there with the row's type (a DWORD of
// four bytes, or a string), else the local one, as RegGetDWORD and RegGetString
// read it. It never writes. quiet: no trace lines at all (the trace's own
// switch, the lock's wait ceiling). A text is owned by the caller.
int lookupSetting(setting_id id, DWORD *value, bool quiet = false);
int lookupSetting(setting_id id, char **value, bool quiet = false);
// Whether the value in effect comes from Group Policy.
bool settingFromPolicy(setting_id id);

// Reads a setting through its row (lookupSetting). When it cannot be read, the value is the
// row's default (for a text an allocated copy, NULL without a default), the
// miss is traced, the default is written back where the row says so, and the
// result is 0. A text read is owned by the caller. The default goes to the
// local key, never to the policy key.
int readSetting(setting_id id, DWORD *value, trace_class *trace = NULL, const setting_miss *miss = NULL);
int readSetting(setting_id id, char **value, trace_class *trace = NULL, const setting_miss *miss = NULL);

// Ends the plan in the registry as the state table's column for `how` says
// (ntfcfg -r: PLAN_RECOVERED). Returns the rows whose write or removal
// failed, as STATE_BIT(id); 0 when all were done. Writes no event.
#define STATE_BIT(id) ((DWORD)1 << (id))
DWORD endPlanState(plan_ending how);

int SetPrivilege(const char *lpszPrivilege, int bEnablePrivilege);
int isKVDEnabled();

#endif

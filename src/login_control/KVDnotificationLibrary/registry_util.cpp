// registry_util: reading and writing the package's settings, message texts, privileges and the main switch.
#include "registry_util.h"
#include "notify_trace.h"
#include "registry_schema.h"

#include <stdlib.h>
#include <string.h>

static const DWORD FIRST_QUERY_SIZE = 128;
// Zero bytes kept after the raw data: a string or multi-string stored without
// its terminators still ends in one, so no reader runs past the buffer.
static const DWORD SPARE_ZERO_BYTES = 2;

static int failRetrieve(trace_class &trace)
{
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", 0);
    return 0;
}

// Queries a value of an open key without trace lines, first into firstSize
// bytes: its type, its length (*size) and its data (*data, zero-padded, for
// the caller to free). *resized: the first size was too small.
static LONG queryData(HKEY key, const char *valueName, DWORD firstSize, DWORD *type, BYTE **data, DWORD *size,
                      bool *resized)
{
    *size = firstSize;
    *resized = false;
    BYTE *buffer = (BYTE *)calloc((size_t)firstSize + SPARE_ZERO_BYTES, 1);
    LONG status = buffer != NULL ? RegQueryValueExA(key, valueName, NULL, type, buffer, size)
                                 : (LONG)ERROR_NOT_ENOUGH_MEMORY;
    if (status == ERROR_MORE_DATA) {
        *resized = true;
        free(buffer);
        buffer = (BYTE *)calloc((size_t)*size + SPARE_ZERO_BYTES, 1);
        status = buffer != NULL ? RegQueryValueExA(key, valueName, NULL, type, buffer, size)
                                : (LONG)ERROR_NOT_ENOUGH_MEMORY;
    }
    if (status == ERROR_SUCCESS)
        *data = buffer;
    else
        free(buffer);
    return status;
}

// A REG_DWORD must hold exactly four bytes: an empty or longer one is no
// number, and its reader applies the default as for a value of another type.
static bool hasType(DWORD type, DWORD size, DWORD expectedType)
{
    return type == expectedType && (expectedType != REG_DWORD || size == sizeof(DWORD));
}

// Reads a value of any type; *size receives the length of its data.
static int retrieveValue(HKEY root, const char *subkey, const char *valueName, DWORD *type, BYTE **data,
                         DWORD *size)
{
    trace_class trace(TRACE_DETAILED, "RegRetrieveValue");
    HKEY key;
    LONG status = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        TRACE_LINE(trace, TRACE_ERROR, "cannot find '%s' error (%u)", subkey, (unsigned)status);
        return failRetrieve(trace);
    }
    bool resized;
    status = queryData(key, valueName, FIRST_QUERY_SIZE, type, data, size, &resized);
    RegCloseKey(key);
    if (resized)
        TRACE_LINE(trace, TRACE_ERROR, "insufficient buffer, resizing to %d", (int)*size);
    if (status != ERROR_SUCCESS) {
        TRACE_LINE(trace, TRACE_ERROR, "cannot find '%s' under '%s' error (%u)", valueName, subkey,
                   (unsigned)status);
        return failRetrieve(trace);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", 1);
    return 1;
}

int RegRetrieveValue(HKEY root, const char *subkey, const char *valueName, DWORD *type, BYTE **data)
{
    DWORD size = 0;
    return retrieveValue(root, subkey, valueName, type, data, &size);
}

// Reads a value of the expected type (hasType); the caller gets the zero-padded raw buffer.
static int retrieveTyped(trace_class &trace, HKEY root, const char *subkey, const char *valueName,
                         DWORD expectedType, BYTE **data)
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    BYTE *buffer = NULL;
    if (!retrieveValue(root, subkey, valueName, &type, &buffer, &size)) {
        TRACE_LINE(trace, TRACE_ERROR, "cannot retrieve value '%s' under '%s'", valueName, subkey);
        return 0;
    }
    if (!hasType(type, size, expectedType)) {
        TRACE_LINE(trace, TRACE_ERROR, "invalid content of %s\\%s", subkey, valueName);
        free(buffer);
        return 0;
    }
    *data = buffer;
    return 1;
}

int RegGetDWORD(HKEY root, const char *subkey, const char *valueName, DWORD *value)
{
    trace_class trace(TRACE_DETAILED, "RegGetDWORD");
    BYTE *buffer = NULL;
    int result = retrieveTyped(trace, root, subkey, valueName, REG_DWORD, &buffer);
    if (result) {
        memcpy(value, buffer, sizeof(DWORD));
        free(buffer);
        TRACE_LINE(trace, TRACE_INFO, "retrieved value='%u'", (unsigned)*value);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int RegGetString(HKEY root, const char *subkey, const char *valueName, char **value)
{
    trace_class trace(TRACE_DETAILED, "RegGetString");
    BYTE *buffer = NULL;
    int result = retrieveTyped(trace, root, subkey, valueName, REG_SZ, &buffer);
    if (result) {
        *value = (char *)buffer;
        TRACE_LINE(trace, TRACE_INFO, "retrieved value='%s'", *value);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int RegGetMultiString(HKEY root, const char *subkey, const char *valueName, char **value)
{
    trace_class trace(TRACE_DETAILED, "RegGetMultiString");
    BYTE *buffer = NULL;
    int result = retrieveTyped(trace, root, subkey, valueName, REG_MULTI_SZ, &buffer);
    if (result)
        *value = (char *)buffer;
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// Opens an existing key for writing; never creates it.
static int openForWrite(trace_class &trace, HKEY root, const char *subkey, HKEY *key)
{
    LONG status = RegOpenKeyExA(root, subkey, 0, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS) {
        TRACE_LINE(trace, TRACE_ERROR, "cannot find '%s' error (%u)", subkey, (unsigned)status);
        return 0;
    }
    return 1;
}

int RegSetDWORD(HKEY root, const char *subkey, const char *valueName, DWORD value)
{
    trace_class trace(TRACE_DETAILED, "RegSetDWORD");
    TRACE_LINE(trace, TRACE_INFO, "set DWORD value '%d' to '%s\\%s'", (int)value, subkey, valueName);
    HKEY key;
    int result = 0;
    if (openForWrite(trace, root, subkey, &key)) {
        LONG status = RegSetValueExA(key, valueName, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
        if (status == ERROR_SUCCESS)
            result = 1;
        else
            TRACE_LINE(trace, TRACE_ERROR, "cannot set DWORD value '%d' to '%s\\%s', error (%u)", (int)value,
                       subkey, valueName, (unsigned)status);
        RegCloseKey(key);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int RegSetString(HKEY root, const char *subkey, const char *valueName, const char *value)
{
    trace_class trace(TRACE_DETAILED, "RegSetString");
    TRACE_LINE(trace, TRACE_INFO, "set string value '%s' to '%s\\%s'", value, subkey, valueName);
    HKEY key;
    int result = 0;
    if (openForWrite(trace, root, subkey, &key)) {
        LONG status = RegSetValueExA(key, valueName, 0, REG_SZ, (const BYTE *)value, (DWORD)strlen(value) + 1);
        if (status == ERROR_SUCCESS)
            result = 1;
        else
            TRACE_LINE(trace, TRACE_ERROR, "cannot set string value '%s' to '%s\\%s', error (%u)", value, subkey,
                       valueName, (unsigned)status);
        RegCloseKey(key);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int RegSetMultiString(HKEY root, const char *subkey, const char *valueName, const char *value)
{
    trace_class trace(TRACE_DETAILED, "RegSetMultiString");
    HKEY key;
    int result = 0;
    if (openForWrite(trace, root, subkey, &key)) {
        unsigned int len = getMultiStringLen(value);
        TRACE_LINE(trace, TRACE_INFO, "len=%u", len);
        LONG status = RegSetValueExA(key, valueName, 0, REG_MULTI_SZ, (const BYTE *)value, len);
        if (status == ERROR_SUCCESS)
            result = 1;
        else
            TRACE_LINE(trace, TRACE_ERROR, "cannot set multiString value to '%s\\%s', error (%u)", subkey,
                       valueName, (unsigned)status);
        RegCloseKey(key);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int RegRemoveValue(HKEY root, const char *subkey, const char *valueName)
{
    trace_class trace(TRACE_DETAILED, "RegRemoveValue");
    HKEY key;
    int result = 0;
    if (openForWrite(trace, root, subkey, &key)) {
        LONG status = RegDeleteValueA(key, valueName);
        if (status == ERROR_SUCCESS)
            result = 1;
        else
            TRACE_LINE(trace, TRACE_ERROR, "cannot remove '%s\\%s' error (%u)", subkey, valueName,
                       (unsigned)status);
        RegCloseKey(key);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

unsigned int getMultiStringLen(const char *multiString)
{
    if (multiString == NULL)
        return 0;
    unsigned int pos = 0;
    while (multiString[pos] != '\0' || multiString[pos + 1] != '\0')
        pos++;
    return pos + 2;
}

// Replaces escape sequences in place; the text only ever gets shorter.
static void expandEscapes(char *msg)
{
    for (char *p = msg; *p != '\0'; p++) {
        if (*p != '\\')
            continue;
        char replacement;
        switch (p[1]) {
        case 'r': replacement = '\r'; break;
        case 'n': replacement = '\n'; break;
        case 't': replacement = '\t'; break;
        case '\\': replacement = '\\'; break;
        default: continue;   // an unknown escape or a final backslash stays
        }
        *p = replacement;
        memmove(p + 1, p + 2, strlen(p + 2) + 1);
    }
}

// Replaces every placeholder by value. The search resumes after the inserted
// value, so a value that contains its own placeholder is inserted once, not
// without end.
static char *replaceAll(char *msg, const char *placeholder, const char *value)
{
    size_t placeholderLen = strlen(placeholder);
    size_t valueLen = strlen(value);
    size_t searchFrom = 0;
    char *found;
    while ((found = strstr(msg + searchFrom, placeholder)) != NULL) {
        size_t prefixLen = (size_t)(found - msg);
        size_t oldLen = strlen(msg);
        char *result = (char *)calloc(oldLen - placeholderLen + valueLen + 1, 1);
        if (result == NULL)
            break;   // out of memory: keep what is converted so far
        memcpy(result, msg, prefixLen);
        memcpy(result + prefixLen, value, valueLen);
        strcpy(result + prefixLen + valueLen, found + placeholderLen);
        free(msg);
        msg = result;
        searchFrom = prefixLen + valueLen;
    }
    return msg;
}

char *correctFormat(char *msg, const char *currDistId, const char *leftLogon)
{
    if (msg == NULL)
        return NULL;
    expandEscapes(msg);
    if (currDistId != NULL)
        msg = replaceAll(msg, "$(DIST_ID)", currDistId);
    if (leftLogon != NULL)
        msg = replaceAll(msg, "$(LEFT_LOGON)", leftLogon);
    return msg;
}

static void traceMiss(const setting_row &row, trace_class *trace, const char *line, const setting_miss *miss)
{
    if (trace != NULL && miss != NULL && line != NULL)
        TRACE_LINE(*trace, miss->tag, line, row.name, (int)row.number);
}

// retrieveTyped without trace lines.
static int queryTyped(const char *subkey, const char *valueName, DWORD expectedType, BYTE **data)
{
    HKEY key;
    if (RegOpenKeyExA(KVD_ROOT, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD type = REG_NONE, size = 0;
    bool resized;
    BYTE *buffer = NULL;
    LONG status = queryData(key, valueName, expectedType == REG_DWORD ? sizeof(DWORD) : FIRST_QUERY_SIZE, &type,
                            &buffer, &size, &resized);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return 0;
    if (!hasType(type, size, expectedType)) {
        free(buffer);
        return 0;
    }
    *data = buffer;
    return 1;
}

static DWORD registryTypeOf(const setting_row &row)
{
    return row.type == SETTING_TEXT ? REG_SZ : REG_DWORD;
}

// The data of a setting's value in effect: the policy value when it has the
// row's type, else the local one. The one place that decides between them.
static int lookupData(setting_id id, bool quiet, BYTE **data)
{
    const setting_row &row = SETTINGS[id];
    DWORD type = registryTypeOf(row);
    if (queryTyped(row.policyKey, row.name, type, data)) {
        if (!quiet) {
            trace_class trace(TRACE_DETAILED, "lookupSetting");
            TRACE_LINE(trace, TRACE_INFO, "'%s' set by policy under '%s'", row.name, row.policyKey);
        }
        return 1;
    }
    if (quiet)
        return queryTyped(row.key, row.name, type, data);
    trace_class trace(TRACE_DETAILED, "lookupSetting");
    return retrieveTyped(trace, KVD_ROOT, row.key, row.name, type, data);
}

int lookupSetting(setting_id id, DWORD *value, bool quiet)
{
    BYTE *data = NULL;
    if (SETTINGS[id].type == SETTING_TEXT || !lookupData(id, quiet, &data))
        return 0;
    memcpy(value, data, sizeof(DWORD));
    free(data);
    return 1;
}

int lookupSetting(setting_id id, char **value, bool quiet)
{
    BYTE *data = NULL;
    if (SETTINGS[id].type != SETTING_TEXT || !lookupData(id, quiet, &data))
        return 0;
    *value = (char *)data;
    return 1;
}

bool settingFromPolicy(setting_id id)
{
    const setting_row &row = SETTINGS[id];
    BYTE *data = NULL;
    if (!queryTyped(row.policyKey, row.name, registryTypeOf(row), &data))
        return false;
    free(data);
    return true;
}

int readSetting(setting_id id, DWORD *value, trace_class *trace, const setting_miss *miss)
{
    const setting_row &row = SETTINGS[id];
    if (lookupSetting(id, value))
        return 1;
    traceMiss(row, trace, miss != NULL ? miss->missingLine : NULL, miss);
    *value = row.number;
    if (row.writtenBack && !RegSetDWORD(KVD_ROOT, row.key, row.name, row.number))
        traceMiss(row, trace, miss != NULL ? miss->writeFailedLine : NULL, miss);
    return 0;
}

int readSetting(setting_id id, char **value, trace_class *trace, const setting_miss *miss)
{
    const setting_row &row = SETTINGS[id];
    *value = NULL;
    if (lookupSetting(id, value))
        return 1;
    traceMiss(row, trace, miss != NULL ? miss->missingLine : NULL, miss);
    if (row.text == NULL)
        return 0;
    *value = strdup(row.text);
    if (row.writtenBack && !RegSetString(KVD_ROOT, row.key, row.name, row.text))
        traceMiss(row, trace, miss != NULL ? miss->writeFailedLine : NULL, miss);
    return 0;
}

int SetPrivilege(const char *lpszPrivilege, int bEnablePrivilege)
{
    trace_class trace(TRACE_ORDINARY, "SetPrivilege");
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TRACE_LINE(trace, TRACE_ERROR, "Error opening the token (%u)", (unsigned)GetLastError());
        TRACE_LINE(trace, TRACE_INFO, "return data = %d", 0);
        return 0;
    }
    int result = 0;
    TOKEN_PRIVILEGES privileges;
    if (!LookupPrivilegeValueA(NULL, lpszPrivilege, &privileges.Privileges[0].Luid)) {
        TRACE_LINE(trace, TRACE_ERROR, "Error executing LookupPrivilegeValue (%u)", (unsigned)GetLastError());
    } else {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = bEnablePrivilege == 1 ? SE_PRIVILEGE_ENABLED : 0;
        if (AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), NULL, NULL))
            result = 1;   // also when the privilege was not assigned
        else
            TRACE_LINE(trace, TRACE_ERROR, "Error executing AdjustTokenPrivileges (%u)", (unsigned)GetLastError());
    }
    CloseHandle(token);
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int isKVDEnabled()
{
    trace_class trace(TRACE_ORDINARY, "isKVDEnabled");
    static const setting_miss MISSING = {
        TRACE_ERROR, "Error retrieving KVDnotificationLibrary status, may be key is missing... try to create it",
        NULL};
    DWORD enabled;
    readSetting(SETTING_IS_ENABLED, &enabled, &trace, &MISSING);
    int result = enabled == 1 ? 1 : 0;
    TRACE_LINE(trace, TRACE_INFO, result ? "KVDnotificationLibrary enabled" : "KVDnotificationLibrary disabled");
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// One way for every caller to end a plan: each state row gets what its
// column for `how` says, in the table's order.
DWORD endPlanState(plan_ending how)
{
    DWORD failed = 0;
    for (int id = 0; id < STATE_COUNT; id++) {
        const state_row &row = STATE[id];
        state_action action = how == PLAN_RECOVERED ? row.recovered : row.ended;
        DWORD startUps = 0;
        int done = 1;
        if (action == STATE_WRITTEN) {
            done = RegSetDWORD(KVD_ROOT, row.key, row.name, row.value);
        } else if (action == STATE_RESTARTED) {
            readSetting(SETTING_DEFAULT_SHUTDOWN_ALLOWED, &startUps);
            done = RegSetDWORD(KVD_ROOT, row.key, row.name, startUps);
        } else if (action == STATE_REMOVED) {
            done = RegRemoveValue(KVD_ROOT, row.key, row.name);
        }
        if (!done)
            failed |= STATE_BIT(id);
    }
    return failed;
}

// utils: persistent logon-control state, paused-distribution lists, popups and completion.
#include "utils.h"
#include "KVDnotificationLibrary.h"
#include "event_log.h"
#include "notify_trace.h"
#include "registry_schema.h"
#include "registry_util.h"
#include "program_util.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Persistent logon-control state
// ---------------------------------------------------------------------------

// The logon budget: -2 no plan runs, other negatives unlimited, 0 denied, N left.
int readOrResetLogonBudget()
{
    DWORD stored = (DWORD)NO_PLAN_RUNNING;
    if (!RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &stored)) {
        stored = (DWORD)NO_PLAN_RUNNING;
        setMaxLoginAllowed(NO_PLAN_RUNNING);
    }
    return (int)stored;
}

// A budget set from "no plan" starts a plan, -2 set over a budget ends it:
// both are written to the event log.
void setMaxLoginAllowed(int val)
{
    DWORD old = (DWORD)NO_PLAN_RUNNING;
    if (!RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &old))
        old = (DWORD)NO_PLAN_RUNNING;
    if (RegSetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)val))
        eventPlanBudget((int)old, val);
}

int isPlanRunning()
{
    trace_class trace(TRACE_ORDINARY, "checkRunningDistribution");
    int result = readOrResetLogonBudget() != NO_PLAN_RUNNING ? 1 : 0;
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

int useOneLogon()
{
    trace_class trace(TRACE_DETAILED, "checkMaxAllowedLogin");
    int val = readOrResetLogonBudget();
    TRACE_LINE(trace, TRACE_INFO, "current max_login_allowed=%d", val);
    int result = 1;
    if (val > 0) {
        // one logon less of a running plan: no need to look for a plan's start or end
        RegSetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, (DWORD)(val - 1));
        TRACE_LINE(trace, TRACE_INFO, "set max_login_allowed to = %d", val - 1);
    } else if (val == 0) {
        result = 0;
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// The notify file's full path, or 0 when it does not fit or the directory is unknown.
static int notifyFilePath(trace_class &trace, char *path, size_t size)
{
    UINT length = GetWindowsDirectoryA(path, (UINT)size);
    if (length == 0 || length >= size) {
        DWORD error = length == 0 ? GetLastError() : (DWORD)ERROR_INSUFFICIENT_BUFFER;
        TRACE_LINE(trace, TRACE_ERROR, "Error retrieving the windows directory (%u)", (unsigned)error);
        return 0;
    }
    // A cut path would name another file.
    if (length + sizeof(NOTIFY_FILE_NAME) > size) {
        TRACE_LINE(trace, TRACE_ERROR, "Error retrieving the windows directory (%u)",
                   (unsigned)ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(path + length, NOTIFY_FILE_NAME, sizeof(NOTIFY_FILE_NAME));
    return 1;
}

// The first bytes of the open notify file as a text, or null.
static char *readNotifyText(trace_class &trace, HANDLE file, const char *path)
{
    char *text = (char *)calloc(NOTIFY_FILE_MAX_BYTES + 1, 1);
    if (text == NULL) {
        TRACE_LINE(trace, TRACE_FATAL, "Error not enough memory");
        return NULL;
    }
    DWORD bytesRead = 0;
    if (!ReadFile(file, text, NOTIFY_FILE_MAX_BYTES, &bytesRead, NULL)) {
        DWORD error = GetLastError();
        TRACE_LINE(trace, TRACE_ERROR, "Error reading the content of '%s' error %u", path, (unsigned)error);
        free(text);
        return NULL;
    }
    text[bytesRead] = '\0';
    // An engine may end the ID with a line end or blanks: they are not part of it.
    text[strcspn(text, "\r\n")] = '\0';
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        text[--length] = '\0';
    return text;
}

char *retrieveRunningDistribution()
{
    trace_class trace(TRACE_ORDINARY, "retrieveRunningDistribution");
    char path[MAX_PATH];
    char *text = NULL;
    if (notifyFilePath(trace, path, sizeof(path))) {
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            TRACE_LINE(trace, TRACE_WARNING, "unable to open '%s' error %u", path, (unsigned)error);
        } else {
            text = readNotifyText(trace, file, path);
            CloseHandle(file);
        }
    }
    if (text == NULL) {
        TRACE_LINE(trace, TRACE_INFO, "exiting NULL");
        return NULL;
    }
    TRACE_LINE(trace, TRACE_INFO, "Content of notify file is '%s'", text);
    return text;
}

int denyLogonOnPauseError()
{
    trace_class trace(TRACE_ORDINARY, "denyLogonOnPauseError");
    static const setting_miss MISSING = {
        TRACE_ERROR, "Error retrieving denyLogonOnPauseError status, may be key is missing... try to create it",
        NULL};
    DWORD value;
    readSetting(SETTING_DENY_LOGON_ON_PAUSE_ERROR, &value, &trace, &MISSING);
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", (int)value);
    return (int)value;
}

DWORD readStartUpBudget()
{
    trace_class trace(TRACE_DETAILED, "getDefaultShutdownNum");
    static const setting_miss MISSING = {TRACE_ERROR, "Error retrieving '%s' value, try to set to %d",
                                         "Error setting '%s' with value %u"};
    DWORD value;
    readSetting(SETTING_DEFAULT_SHUTDOWN_ALLOWED, &value, &trace, &MISSING);
    TRACE_LINE(trace, TRACE_INFO, "return data = %u", (unsigned)value);
    return value;
}

DWORD readOrResetStartUpsLeft()
{
    trace_class trace(TRACE_DETAILED, "getCurrentShutdownLeft");
    DWORD value = 0;
    if (!RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, &value)) {
        TRACE_LINE(trace, TRACE_ERROR, "error retrieving '%s'", VAL_CURR_SHUTDOWN_LEFT);
        value = readStartUpBudget();
        TRACE_LINE(trace, TRACE_INFO, "setting to value %u", (unsigned)value);
        setCurrentShutdownLeft(value);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %u", (unsigned)value);
    return value;
}

void setCurrentShutdownLeft(DWORD val)
{
    trace_class trace(TRACE_DETAILED, "setCurrentShutdownLeft");
    TRACE_LINE(trace, TRACE_INFO, "setting value to %u", (unsigned)val);
    if (!RegSetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, val))
        TRACE_LINE(trace, TRACE_ERROR, "Error setting '%s' with value %u", VAL_CURR_SHUTDOWN_LEFT, (unsigned)val);
}

// Start-ups are only counted while logons are restricted (budget 0 or more);
// when the count runs out the restriction is lifted and the count starts again.
void updateMaxShutdownAllowed(int reset)
{
    trace_class trace(TRACE_ORDINARY, "updateMaxShutdownAllowed");
    int maxLogin = readOrResetLogonBudget();
    TRACE_LINE(trace, TRACE_INFO, "maxLoginAllowed=%d", maxLogin);
    if (maxLogin < 0)
        return;
    TRACE_LINE(trace, TRACE_INFO, "logon is currently disabled");
    if (reset) {
        TRACE_LINE(trace, TRACE_INFO, "reset shutdown left");
        setCurrentShutdownLeft(readStartUpBudget());
        return;
    }
    TRACE_LINE(trace, TRACE_INFO, "decrease shutdown left");
    DWORD left = readOrResetStartUpsLeft();
    TRACE_LINE(trace, TRACE_INFO, "shutdownLeft = %u", (unsigned)left);
    if (left != 0) {
        setCurrentShutdownLeft(left - 1);
        return;
    }
    TRACE_LINE(trace, TRACE_WARNING, "shutdownLeft=0 enabling logon and reset shutdownLeft");
    eventRestrictionLifted(readStartUpBudget());
    // An engine that died between announcing and ending its client would keep
    // the plan counted for good: the plan ends here as its last client ends it.
    TRACE_LINE(trace, TRACE_WARNING, "the plan ends: %s and %s reset to 0", VAL_RUNNING_CLIENTS, VAL_IS_ACTIVE);
    endPlan();
}

// The plan is over: no logon budget, no client counted, popctl stops
// intercepting shutdowns, the next plan gets a full count of start-ups;
// written to the event log when the budget was a plan's.
void endPlan()
{
    DWORD budget = (DWORD)NO_PLAN_RUNNING;
    if (!RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &budget))
        budget = (DWORD)NO_PLAN_RUNNING;
    if ((endPlanState(PLAN_ENDED) & STATE_BIT(STATE_MAX_LOGIN_ALLOWED)) == 0)
        eventPlanBudget((int)budget, NO_PLAN_RUNNING);
}

// ---------------------------------------------------------------------------
// Paused-distribution lists
// ---------------------------------------------------------------------------

static const DWORD LIST_GROWTH = 10;
// Room for a count in signed decimal and the three zero bytes of an entry.
static const size_t ENTRY_EXTRA_BYTES = 33;

void initializeBuffer(paused_distribution_s *list)
{
    list->size = 0;
    list->list = (elem *)calloc(LIST_GROWTH, sizeof(elem));
    // Without a first array the list starts empty; addToList allocates one.
    list->maximum = list->list != NULL ? LIST_GROWTH : 0;
}

static int growList(trace_class &trace, paused_distribution_s *list)
{
    TRACE_LINE(trace, TRACE_INFO, "size=maximum, relocating");
    elem *larger = (elem *)calloc(list->size + LIST_GROWTH, sizeof(elem));
    if (larger == NULL)
        return 0;
    if (list->size > 0)
        memcpy(larger, list->list, list->size * sizeof(elem));
    free(list->list);
    list->list = larger;
    list->maximum += LIST_GROWTH;
    return 1;
}

int addToList(paused_distribution_s *list, const char *epname, const char *distID, int maxLoginAllowed)
{
    trace_class trace(TRACE_DETAILED, "addToList");
    char *epnameCopy = NULL;
    char *distIDCopy = NULL;
    if ((list->size == list->maximum && !growList(trace, list)) || (epnameCopy = strdup(epname)) == NULL
        || (distIDCopy = strdup(distID)) == NULL) {
        free(epnameCopy);
        TRACE_LINE(trace, TRACE_ERROR, "ERROR insufficient memory");
        TRACE_LINE(trace, TRACE_INFO, "return data = %d", 0);
        return 0;
    }
    elem *slot = &list->list[list->size];
    TRACE_LINE(trace, TRACE_INFO, "adding epname '%s'", epname);
    slot->epname = epnameCopy;
    TRACE_LINE(trace, TRACE_INFO, "adding distID '%s'", distID);
    slot->distID = distIDCopy;
    TRACE_LINE(trace, TRACE_INFO, "adding max_login_allowed '%d'", maxLoginAllowed);
    slot->maxLoginAllowed = maxLoginAllowed;
    list->size++;
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", 1);
    return 1;
}

void freePausedListStructure(paused_distribution_s *list)
{
    if (list == NULL)
        return;
    for (DWORD i = 0; i < list->size; i++) {
        free(list->list[i].epname);
        free(list->list[i].distID);
    }
    free(list->list);
    free(list);
}

paused_distribution_s *retrievePausedList()
{
    paused_distribution_s *list = (paused_distribution_s *)calloc(1, sizeof(paused_distribution_s));
    if (list == NULL) {
        trace_class trace(TRACE_ORDINARY, "retrievePausedList");
        TRACE_LINE(trace, TRACE_ERROR, "ERROR insufficient memory");
        return NULL;
    }
    initializeBuffer(list);
    initializePausedList(list);
    return list;
}

// A stored count is the signed decimal that was written; any other text counts as 0.
static int parseStoredCount(const char *text)
{
    const char *digit = text[0] == '-' ? text + 1 : text;
    if (*digit == '\0')
        return 0;
    long long value = 0;
    for (; *digit != '\0'; digit++) {
        if (*digit < '0' || *digit > '9' || value > 214748364LL)
            return 0;
        value = value * 10 + (*digit - '0');
    }
    if (text[0] == '-')
        value = -value;
    if (value < -2147483647LL - 1 || value > 2147483647LL)
        return 0;
    return (int)value;
}

// Parses the entries of a multi-string that ends with two zero bytes. Every
// string read starts before the final zero byte (offset L - 1), and a
// non-empty one ends before it, so nothing past the multi-string is read.
static int parsePausedText(paused_distribution_s *list, const char *text)
{
    size_t end = getMultiStringLen(text) - 1;   // offset of the final zero byte
    size_t pos = 0;
    while (pos < end && text[pos] != '\0') {
        const char *epname = text + pos;
        pos += strlen(epname) + 1;
        const char *distID = text + pos;
        if (pos >= end || distID[0] == '\0')
            return 0;
        pos += strlen(distID) + 1;
        const char *count = text + pos;
        if (pos >= end || count[0] == '\0')
            return 0;
        pos += strlen(count) + 1;
        addToList(list, epname, distID, parseStoredCount(count));
    }
    return 1;
}

int parsePausedQueue(paused_distribution_s *list, const char *bytes, DWORD length)
{
    // The copy ends with two zero bytes whatever the stored bytes hold.
    char *text = (char *)calloc((size_t)length + 2, 1);
    if (text == NULL)
        return 0;
    if (length > 0)
        memcpy(text, bytes, length);
    int result = parsePausedText(list, text);
    free(text);
    return result;
}

int initializePausedList(paused_distribution_s *list)
{
    trace_class trace(TRACE_DETAILED, "initializePausedList");
    char *text = NULL;
    int result = 1;
    if (!RegGetMultiString(KVD_ROOT, KVD_MAIN_KEY, VAL_PAUSED_QUEUE, &text)) {
        TRACE_LINE(trace, TRACE_INFO, "no pending distribution retrieved locally");
    } else {
        // The registry helper leaves two zero bytes after the stored bytes.
        result = parsePausedText(list, text);
        if (!result)
            TRACE_LINE(trace, TRACE_ERROR, "ERROR: invalid persistent list structure!");
        free(text);
    }
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// Writes one entry (three strings, each with its zero byte) at `at`, which has
// room for both texts and ENTRY_EXTRA_BYTES; returns the bytes written.
static size_t writeEntry(char *at, const char *epname, const char *distID, int maxLoginAllowed)
{
    size_t epnameLength = strlen(epname) + 1;
    size_t distIDLength = strlen(distID) + 1;
    memcpy(at, epname, epnameLength);
    memcpy(at + epnameLength, distID, distIDLength);
    char *count = at + epnameLength + distIDLength;
    int countLength = snprintf(count, ENTRY_EXTRA_BYTES - 2, "%d", maxLoginAllowed);
    return epnameLength + distIDLength + (size_t)countLength + 1;
}

static char *buildPausedText(const paused_distribution_s *list);

// A stored list with an invalid structure would hide an entry appended after
// it (the reader stops at the fault): keep its well-formed leading entries
// only. Returns the text to append to, old itself when it is sound.
static char *soundPausedText(char *old)
{
    paused_distribution_s *list = (paused_distribution_s *)calloc(1, sizeof(paused_distribution_s));
    if (list == NULL)
        return old;
    initializeBuffer(list);
    if (parsePausedText(list, old)) {
        freePausedListStructure(list);
        return old;
    }
    char *sound = buildPausedText(list);
    freePausedListStructure(list);
    free(old);
    return sound;
}

int addToPersistentPausedList(const char *epname, const char *distID, int maxLoginAllowed)
{
    // An empty text would end the stored list early and hide this entry and every later one.
    if (epname[0] == '\0' || distID[0] == '\0')
        return 0;
    char *old = NULL;
    if (!RegGetMultiString(KVD_ROOT, KVD_MAIN_KEY, VAL_PAUSED_QUEUE, &old))
        old = NULL;
    if (old != NULL)
        old = soundPausedText(old);
    // A value whose first string is empty holds no entry: an entry appended
    // after that empty string would never be read back.
    size_t oldLength = old != NULL && old[0] != '\0' ? getMultiStringLen(old) : 0;
    size_t size = oldLength + strlen(epname) + strlen(distID) + ENTRY_EXTRA_BYTES + (oldLength == 0 ? 1 : 0);
    char *text = (char *)calloc(size, 1);
    if (text == NULL) {
        free(old);
        return 0;
    }
    size_t start = 0;
    if (oldLength != 0) {
        memcpy(text, old, oldLength);
        start = oldLength - 1;   // over the empty string that ended the old list
    }
    free(old);
    size_t entryEnd = start + writeEntry(text + start, epname, distID, maxLoginAllowed);
    text[entryEnd] = '\0';
    int stored = RegSetMultiString(KVD_ROOT, KVD_MAIN_KEY, VAL_PAUSED_QUEUE, text);
    free(text);
    return stored;
}

int emptyPersistentPausedList()
{
    return RegRemoveValue(KVD_ROOT, KVD_MAIN_KEY, VAL_PAUSED_QUEUE);
}

int isContained(const char *work_id, const char *dists)
{
    if (work_id == NULL || dists == NULL)
        return 0;
    size_t idLength = strlen(work_id);
    const char *item = dists;
    while (*item != '\0') {
        const char *comma = strchr(item, ',');
        size_t itemLength = comma != NULL ? (size_t)(comma - item) : strlen(item);
        // Empty items never match, as an empty list does not.
        if (itemLength > 0 && itemLength == idLength && strncmp(item, work_id, itemLength) == 0)
            return 1;
        if (comma == NULL)
            break;
        item = comma + 1;
    }
    return 0;
}

// The elements that the upcall program both failed to resume and still reports as paused.
static void keepStillPaused(trace_class &trace, paused_distribution_s *list, const char *failList,
                            const char *newPausedList, paused_distribution_s *kept)
{
    for (DWORD i = 0; list != NULL && i < list->size; i++) {
        const elem *entry = &list->list[i];
        if (failList != NULL && isContained(entry->distID, failList) && newPausedList != NULL
            && isContained(entry->distID, newPausedList)) {
            TRACE_LINE(trace, TRACE_INFO, "found '%s, adding", entry->distID);
            addToList(kept, entry->epname, entry->distID, entry->maxLoginAllowed);
        }
    }
}

// The stored form of a list: its entries and the final empty string; caller frees.
static char *buildPausedText(const paused_distribution_s *list)
{
    size_t size = 1;
    for (DWORD i = 0; i < list->size; i++)
        size += strlen(list->list[i].epname) + strlen(list->list[i].distID) + ENTRY_EXTRA_BYTES;
    char *text = (char *)calloc(size, 1);
    if (text == NULL)
        return NULL;
    size_t at = 0;
    for (DWORD i = 0; i < list->size; i++)
        at += writeEntry(text + at, list->list[i].epname, list->list[i].distID, list->list[i].maxLoginAllowed);
    text[at] = '\0';
    return text;
}

static int storeStillPaused(trace_class &trace, const paused_distribution_s *kept)
{
    if (kept->size == 0) {
        TRACE_LINE(trace, TRACE_INFO, "no paused ditribution is valid, removing all");
        RegRemoveValue(KVD_ROOT, KVD_MAIN_KEY, VAL_PAUSED_QUEUE);
        return 1;
    }
    char *text = buildPausedText(kept);
    if (text == NULL) {
        TRACE_LINE(trace, TRACE_INFO, "ERROR insufficient memory");
        return 0;
    }
    if (!RegSetMultiString(KVD_ROOT, KVD_MAIN_KEY, VAL_PAUSED_QUEUE, text))
        TRACE_LINE(trace, TRACE_ERROR, "ERROR setting newVal");
    free(text);
    return 0;
}

int updatePersistentPausedList(paused_distribution_s *list, const char *failList, const char *newPausedList)
{
    trace_class trace(TRACE_ORDINARY, "updatePersistenPausedtList");
    paused_distribution_s *kept = (paused_distribution_s *)calloc(1, sizeof(paused_distribution_s));
    if (kept == NULL) {
        TRACE_LINE(trace, TRACE_ERROR, "ERROR insufficient memory");
        TRACE_LINE(trace, TRACE_INFO, "return data = %d", 0);
        return 0;
    }
    initializeBuffer(kept);
    keepStillPaused(trace, list, failList, newPausedList, kept);
    int result = storeStillPaused(trace, kept);
    freePausedListStructure(kept);
    TRACE_LINE(trace, TRACE_INFO, "return data = %d", result);
    return result;
}

// ---------------------------------------------------------------------------
// Popups and shutdown at completion
// ---------------------------------------------------------------------------

static const DWORD SHUTDOWN_STARTED = (DWORD)-1;

// Shuts the machine down at once; -1 when a shutdown was started or attempted.
static DWORD shutdownAtCompletion(trace_class &trace)
{
    TRACE_LINE(trace, TRACE_WARNING, "shutdownOnCompletion is set, performing shutdown");
    eventShutdownAtCompletion();
    if (!SetPrivilege(SE_SHUTDOWN_NAME, 1)) {
        TRACE_LINE(trace, TRACE_ERROR, "Error setting privileges");
        return 0;
    }
    if (InitiateSystemShutdownA(NULL, NULL, 0, FALSE, FALSE)) {
        TRACE_LINE(trace, TRACE_INFO, "InitiateSystemShutdown invoked successfully");
        return SHUTDOWN_STARTED;
    }
    TRACE_LINE(trace, TRACE_ERROR, "Error invoking InitiateSystemShutdown (%u)", (unsigned)GetLastError());
    if (!ExitWindowsEx(EWX_SHUTDOWN, 0))
        TRACE_LINE(trace, TRACE_ERROR, "Error invoking ExitWindowsEx (%u)", (unsigned)GetLastError());
    return SHUTDOWN_STARTED;
}

DWORD changeRunningClients(int inc, int shutdownOnCompletion)
{
    trace_class trace(TRACE_ORDINARY, "updateRuningClients");
    DWORD stored = 0;
    if (!RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, &stored)) {
        TRACE_LINE(trace, TRACE_ERROR,
                   "Error retrieving running_clients status, may be key is missing... try to create it");
        if (inc > 0) {
            RegSetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, (DWORD)inc);
            return (DWORD)inc;
        }
        TRACE_LINE(trace, TRACE_ERROR, "Error something went wrong, running_client doesn't exist, decrement not possible");
        return 0;
    }
    long count = (long)(LONG)stored;
    TRACE_LINE(trace, TRACE_INFO, "running_clients = %ld", count);
    long changed = count + inc;
    TRACE_LINE(trace, TRACE_INFO, "running_clients after change = %d", (int)changed);
    if (changed < 0)
        changed = 0;
    RegSetDWORD(KVD_ROOT, KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, (DWORD)changed);
    if (changed != 0)
        return (DWORD)changed;
    endPlan();
    return shutdownOnCompletion ? shutdownAtCompletion(trace) : 0;
}

// Whether the message of this type is switched on; other types need no switch.
static int finalPopupEnabled(trace_class &trace, int type)
{
    if (type != 0 && type != 1)
        return 1;
    DWORD enabled;
    readSetting(type == 0 ? SETTING_COMPLETION_POPUP_ENABLED : SETTING_SHUTDOWN_POPUP_ENABLED, &enabled);
    if (enabled != 0)
        return 1;
    TRACE_LINE(trace, TRACE_ERROR, type == 0 ? "Completion Popup not enabled" : "Shutdown Popup not enabled");
    return 0;
}

void showFinalPopup(int type)
{
    trace_class trace(TRACE_ORDINARY, "showFinalPopup");
    TRACE_LINE(trace, TRACE_INFO, "type=%d", type);
    if (!finalPopupEnabled(trace, type))
        return;
    char *program;
    if (!readSetting(SETTING_COMPLETION_PROGRAM_PATH, &program)) {
        TRACE_LINE(trace, TRACE_ERROR, "Completion Program path not found");
        return;
    }
    char *quoted = quotedProgram(program);
    size_t size = (quoted != NULL ? strlen(quoted) : 0) + 16;   // a blank, the type and the terminator
    char *cmdLine = quoted != NULL ? (char *)malloc(size) : NULL;
    if (cmdLine != NULL) {
        snprintf(cmdLine, size, "%s %d", quoted, type);
        // started and left alone: nobody waits for the message
        DWORD childId = 0;
        HANDLE child = RunChild(cmdLine, NULL, NULL, NULL, NULL, &childId);
        if (child != NULL) {
            if (shareData != NULL)
                shareData->_upcallCode = childId;   // its identifier until the next upcall ends
            CloseHandle(child);
        } else
            TRACE_LINE(trace, TRACE_ERROR, "Error running the child");
    } else {
        TRACE_LINE(trace, TRACE_ERROR, "Error running the child");
    }
    free(cmdLine);
    free(quoted);
    free(program);
}

void showLoginDeniedPopUp(int enable, int denyType, const char *currDistId)
{
    trace_class trace(TRACE_ORDINARY, "showLoginDeniedPopUp");
    if (enable) {
        if (!RegSetDWORD(KVD_ROOT, KVD_POPCTL_KEY, VAL_POPUP_TYPE, (DWORD)denyType)) {
            TRACE_LINE(trace, TRACE_ERROR, "error setting %s", VAL_POPUP_TYPE);
            return;
        }
        if (!RegSetString(KVD_ROOT, KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, currDistId != NULL ? currDistId : ""))
            TRACE_LINE(trace, TRACE_ERROR, "error setting %s", VAL_POPUP_DIST_ID);
        return;
    }
    if (!RegRemoveValue(KVD_ROOT, KVD_POPCTL_KEY, VAL_POPUP_TYPE))
        TRACE_LINE(trace, TRACE_ERROR, "error removing %s", VAL_POPUP_TYPE);
    if (!RegRemoveValue(KVD_ROOT, KVD_POPCTL_KEY, VAL_POPUP_DIST_ID))
        TRACE_LINE(trace, TRACE_ERROR, "error removing %s", VAL_POPUP_DIST_ID);
}

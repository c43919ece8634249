// ntfcfg: reads and writes every setting of the package from the command line, reports its state and resets it after a failure.
#include "KVDnotificationLibrary.h"
#include "object_security.h"
#include "registry_schema.h"
#include "registry_util.h"

#include <windows.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Kinds of setting, as getInfo returns them: the setting types of the table.
static const int KIND_NONE = 0;
static const int KIND_BOOL = SETTING_FLAG;
static const int KIND_INT = SETTING_NUMBER;
static const int KIND_STRING = SETTING_TEXT;

// -P is stored as a number, but its usage line offers true and false.
static const char LEFT_LOGON_POPUP_LETTER = 'P';
static const char LOGOFF_TYPE_OPTION[] = "-o";
static const int LOGOFF_TYPE_MAX = 2;

static const int EXIT_OK = 0;
static const int EXIT_USAGE = 1;
static const int EXIT_NOT_AN_OPTION = 2;
static const int EXIT_WRITE_FAILED = 2;

static const char *const USAGE_LINES[] = {
    "\t -r recover from disasters \n",
    "\t -a give the keys owner Administrators and their access list\n",
    "\t -q show the state of the package (reads only)\n",
    "\t -g get a property\n",
    "\t -s set a list of properties\n",
    "\t general options:\n",
    "\t -e [true | false]  enables KVD notification\n",
    "\t -p [true | false]  deny-popup enables/disabled\n",
    "\t -t timeout         deny-popup timeout, 0=infinity\n",
    "\t -l popup_title     specify the title of deny-popup\n",
    "\t -L popup_msg       specify the message of deny-popup\n",
    "\t -m [true | false]  deny logon on pause error\n",
    "\t -M popup_msg       specify the message of deny-popup on pause error\n",
    "\t -x level           traces level 0,1,2\n",
    "\t -y pathname        traces pathname\n",
    "\t -s [true | false]  show popup in new desktop\n",
    "\t -d max_shutdowns   max num of shutdowns before recovery\n",
    "\t -o [0|1|2]         specify the type of logoff:\n",
    "\t                    0=normal, 1=forced and 2=kill_if_hung\n",
    "\t -b pathname        completion program path\n",
    "\t -c [true | false]  show the completion popup\n",
    "\t -u popup_title     completion popup title\n",
    "\t -v popup_msg       completion popup message\n",
    "\t -w [true | false]  show the shutdown popup\n",
    "\t -z shut_popup_msg  shutdown popup message\n",
    "\t upcall options:\n",
    "\t -B pathname        specify the XEP_BINDIR\n",
    "\t -C pathname        specify the XEP_CACHEDIR\n",
    "\t -D pathname        specify the XEP_DATDIR\n",
    "\t -U pathname        specify the program for upcalls\n",
    "\t -W timeout         specify the timeout for upcalls\n",
    "\t popctl options:\n",
    "\t -E popup_title     specify the title for shutdown management popup\n",
    "\t -F popup_msg       specify the message for shutdown management popup\n",
    "\t -G timeout         specify the timeout for shutdown management popup\n",
    "\t -T logoff_str      specify the string for logoff\n",
    "\t -H logoff_and_shut specify the string for shutdown at completion\n",
    "\t -K restart_str     specify the string for restart immediately\n",
    "\t -J [1|2|3]         specify the default action to perform after timeout\n",
    "\t -P [true | false]  show the left logon popup\n",
    "\t -Q message         specify the message for left logon popup\n",
    "\n",
};

static void Usage(const char *str)
{
    printf("Usage: %s [-r |-a |-q |-g property|-s property...]\n", str);
    for (const char *line : USAGE_LINES)
        fputs(line, stdout);
}

// The setting of an option (SETTING_COUNT: none); only its second character
// names it, the first is not examined.
static setting_id settingOf(const char *opt)
{
    if (opt == NULL || strlen(opt) != 2)
        return SETTING_COUNT;
    for (int id = 0; id < SETTING_COUNT; id++) {
        if (SETTINGS[id].option == opt[1])
            return (setting_id)id;
    }
    return SETTING_COUNT;
}

// The kind of an option.
static int getInfo(const char *opt, const char **path, const char **value)
{
    setting_id id = settingOf(opt);
    if (id == SETTING_COUNT)
        return KIND_NONE;
    *path = SETTINGS[id].key;
    *value = SETTINGS[id].name;
    return SETTINGS[id].type;
}

static int isBool(const char *str)
{
    return str != NULL && str[0] != '\0' && strchr("tTfF", str[0]) != NULL;
}

static int getBool(const char *str)
{
    return str != NULL && (str[0] == 't' || str[0] == 'T');
}

// The standard text-to-int reading (blanks, a sign, digits up to the first
// other character, 0 without digits), held within the range of an int.
static int integerReading(const char *str)
{
    long number = strtol(str, NULL, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return (int)number;
}

// The number written for an integer option; -P also takes true and false.
static int integerValue(const char *opt, const char *arg)
{
    if (opt[1] == LEFT_LOGON_POPUP_LETTER && isBool(arg))
        return getBool(arg);
    return integerReading(arg);
}

static int setBool(const char *opt, const char *arg, const char *path, const char *key)
{
    const char *shown = getBool(arg) ? "true" : "false";
    if (!RegSetDWORD(KVD_ROOT, path, key, (DWORD)getBool(arg))) {
        printf("Error setting value '%s' for %s flag\n", shown, opt);
        return 0;
    }
    printf("value '%s' set for %s flag\n", shown, opt);
    return 1;
}

static int setInt(const char *opt, const char *arg, const char *path, const char *key)
{
    int number = integerValue(opt, arg);
    if (!RegSetDWORD(KVD_ROOT, path, key, (DWORD)number)) {
        printf("Error setting value %d for %s flag\n", number, opt);
        return 0;
    }
    printf("value %d set for %s flag\n", number, opt);
    return 1;
}

static int setString(const char *opt, const char *arg, const char *path, const char *key)
{
    if (!RegSetString(KVD_ROOT, path, key, arg)) {
        printf("Error setting value '%s' for %s flag\n", arg, opt);
        return 0;
    }
    printf("value '%s' set for %s flag\n", arg, opt);
    return 1;
}

static int isValidPair(const char *opt, const char *arg, int kind)
{
    // The range applies to the exact "-o" only; the reader takes other values as 0.
    if (strcmp(opt, LOGOFF_TYPE_OPTION) == 0) {
        int logoffType = integerReading(arg);
        return logoffType >= 0 && logoffType <= LOGOFF_TYPE_MAX;
    }
    switch (kind) {
    case KIND_BOOL:
        return isBool(arg);
    case KIND_INT:
        return integerValue(opt, arg) >= 0;
    case KIND_STRING:
        return arg[0] != '\0';
    default:
        return 0;
    }
}

// doit 0: is the pair valid; doit non-zero: write it.
static int manageOption(const char *opt, const char *arg, int doit)
{
    const char *path = NULL;
    const char *key = NULL;
    int kind = getInfo(opt, &path, &key);
    if (!doit)
        return isValidPair(opt, arg, kind);
    switch (kind) {
    case KIND_BOOL:
        return setBool(opt, arg, path, key);
    case KIND_INT:
        return setInt(opt, arg, path, key);
    case KIND_STRING:
        return setString(opt, arg, path, key);
    default:
        return 0;
    }
}

// The value in effect: Group Policy's when it sets the setting.
static int getOption(const char *opt)
{
    setting_id id = settingOf(opt);
    int kind = id == SETTING_COUNT ? KIND_NONE : SETTINGS[id].type;
    if (kind == KIND_BOOL || kind == KIND_INT) {
        DWORD number = 0;
        lookupSetting(id, &number);
        if (kind == KIND_BOOL)
            printf("%s\n", number != 0 ? "true" : "false");
        else
            printf("%d\n", (int)number);
        return 1;
    }
    if (kind == KIND_STRING) {
        char *text = NULL;
        lookupSetting(id, &text);
        printf("%s\n", text != NULL ? text : "");
        free(text);
        return 1;
    }
    return 0;
}

// The plan ends as the library ends it, and the paused list, the start-up
// count and the deny hand-over go too. Values already gone need no removal:
// only the writes are reported, numbered in the table's order, and later
// failures overwrite earlier ones (the result names the last failing write).
static int recover()
{
    DWORD failed = endPlanState(PLAN_RECOVERED);
    int result = 0;
    int written = 0;
    for (int id = 0; id < STATE_COUNT; id++) {
        if (STATE[id].recovered != STATE_WRITTEN)
            continue;
        written++;
        if ((failed & STATE_BIT(id)) != 0) {
            fprintf(stderr, "Unable to recover '%s'\n", STATE[id].name);
            result = written;
        }
    }
    if (result != 0)
        fprintf(stderr, "Unable to recover error %d\n", result);
    else
        printf("Recover successful\n");
    return result;
}

// The installers call it: only SYSTEM and Administrators may change what the
// logon process reads; users may read the settings.
static int secureKeys()
{
    static const char *const keys[] = {KVD_MAIN_KEY, KVD_POPCTL_KEY, KVD_UPCALL_KEY};
    int result = EXIT_OK;
    for (const char *key : keys) {
        LONG status = secureProductKey(KVD_ROOT, key);
        if (status != ERROR_SUCCESS) {
            fprintf(stderr, "Unable to secure '%s' error (%ld)\n", key, (long)status);
            result = EXIT_USAGE;
        }
    }
    if (result == EXIT_OK)
        printf("Access secured\n");
    return result;
}

// ---------------------------------------------------------------- -q: the state in plain words
// Reads the registry, the shared record and the global lock; writes nothing,
// and needs no more than a standard user's read access.

static void statusLine(const char *label, const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
static void statusLine(const char *label, const char *format, ...)
{
    printf("%-31s ", label);
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    printf("\n");
}

static int readDword(const char *key, const char *name, DWORD *value)
{
    return RegGetDWORD(KVD_ROOT, key, name, value);
}

// The shared record of the processes that have the library loaded; 0 (and
// why, in reason) when no process has it or it cannot be read.
static int readSharedRecord(shared_record *record, char *reason, size_t size)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, SHARED_MEMORY_NAME);
    const void *view = mapping != NULL ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(shared_record)) : NULL;
    DWORD error = GetLastError();
    if (view != NULL) {
        memcpy(record, view, sizeof(shared_record));
        UnmapViewOfFile(view);
    } else if (error == ERROR_FILE_NOT_FOUND) {
        snprintf(reason, size, "unknown (no process has the library loaded)");
    } else {
        snprintf(reason, size, "unknown (the shared record cannot be read, error %u)", (unsigned)error);
    }
    if (mapping != NULL)
        CloseHandle(mapping);
    return view != NULL;
}

static const char *budgetWords(int budget, char *text, size_t size)
{
    if (budget == NO_PLAN_RUNNING)
        return "no plan";
    if (budget < 0)
        return "not limited";
    snprintf(text, size, "%d", budget);
    return text;
}

static void showPlan(int budget)
{
    if (budget == NO_PLAN_RUNNING)
        statusLine("Distribution plan:", "none running");
    else if (budget < 0)
        statusLine("Distribution plan:", "running, logons not limited");
    else if (budget == 0)
        statusLine("Distribution plan:", "running, no logons left: a new logon is refused");
    else
        statusLine("Distribution plan:", "running, %d logon%s left", budget, budget == 1 ? "" : "s");
}

// Each entry of _pausedQueue is three strings: endpoint, distribution ID, the budget at the pause.
static void showPausedDistributions()
{
    DWORD type = REG_NONE;
    BYTE *bytes = NULL;
    int shown = 0;
    if (RegRetrieveValue(KVD_ROOT, KVD_MAIN_KEY, VAL_PAUSED_QUEUE, &type, &bytes)) {
        const char *entry = (const char *)bytes;   // zero-padded by the reader
        while (entry[0] != '\0') {
            const char *distID = entry + strlen(entry) + 1;
            const char *count = distID[0] != '\0' ? distID + strlen(distID) + 1 : "";
            if (count[0] == '\0')
                break;   // an entry cut short ends the list, as the library reads it
            char text[16];
            statusLine(shown++ == 0 ? "Paused distributions:" : "", "%s (logons left when it was paused: %s)",
                       distID, budgetWords(atoi(count), text, sizeof(text)));
            entry = count + strlen(count) + 1;
        }
        free(bytes);
    }
    if (shown == 0)
        statusLine("Paused distributions:", "none");
}

static void showStartupsLeft(int budget)
{
    if (budget < 0) {
        statusLine("Start-ups before the lift:", "not counted (logons are not restricted)");
        return;
    }
    DWORD total = DEF_DEFAULT_SHUTDOWN_ALLOWED;
    readDword(KVD_MAIN_KEY, VAL_DEFAULT_SHUTDOWN_ALLOWED, &total);
    DWORD left = total;
    readDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, &left);
    statusLine("Start-ups before the lift:", "%u of %u (then the restriction is lifted and the plan ends)",
               (unsigned)left, (unsigned)total);
}

static void showDenyHandOver()
{
    DWORD popupType = 0;
    if (!readDword(KVD_POPCTL_KEY, VAL_POPUP_TYPE, &popupType)) {
        statusLine("Deny hand-over for popctl:", "none");
        return;
    }
    char *distID = NULL;
    char named[300] = "";   // a type 0 refusal names no distribution
    if (RegGetString(KVD_ROOT, KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, &distID) && distID[0] != '\0')
        snprintf(named, sizeof(named), ", distribution '%.256s'", distID);
    statusLine("Deny hand-over for popctl:", "pending, deny message of type %u (%s)%s", (unsigned)popupType,
               popupType == 1 ? "the pause failed" : "no logons left", named);
    free(distID);
}

// The lock's state is queried without taking it: taking it would clear the
// "abandoned" mark its next real waiter acts on.
typedef struct mutant_basic_information {
    LONG CurrentCount;   // 1 free, 0 or less held
    BOOLEAN OwnedByCaller;
    BOOLEAN AbandonedState;
} mutant_basic_information;
typedef LONG(NTAPI *NtQueryMutantFn)(HANDLE, int, void *, ULONG, ULONG *);

static void showGlobalLock()
{
    HANDLE lock = OpenMutexA(MUTANT_QUERY_STATE, FALSE, GLOBAL_SEMAPHORE_NAME);
    if (lock == NULL) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            statusLine("Global lock:", "free (no process uses it now)");
        else if (error == ERROR_ACCESS_DENIED)
            statusLine("Global lock:", "unknown (only SYSTEM and administrators may see it)");
        else
            statusLine("Global lock:", "unknown (error %u)", (unsigned)error);
        return;
    }
    NtQueryMutantFn query =
        (NtQueryMutantFn)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryMutant");
    mutant_basic_information info = {};
    if (query == NULL || query(lock, 0, &info, sizeof(info), NULL) < 0)
        statusLine("Global lock:", "unknown (its state cannot be queried)");
    else if (info.CurrentCount <= 0)
        statusLine("Global lock:", "held by a process right now");
    else if (info.AbandonedState)
        statusLine("Global lock:", "free; its last holder ended without releasing it");
    else
        statusLine("Global lock:", "free");
    CloseHandle(lock);
}

static int showStatus()
{
    DWORD enabled = 0;
    if (!readDword(KVD_MAIN_KEY, VAL_IS_ENABLED, &enabled))
        statusLine("Switched on:", "no (IsEnabled is not set)");
    else if (enabled == 1)
        statusLine("Switched on:", "yes");
    else
        statusLine("Switched on:", "no (IsEnabled is %u; only 1 switches it on)", (unsigned)enabled);

    DWORD budget = (DWORD)NO_PLAN_RUNNING;
    readDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, &budget);
    showPlan((int)budget);

    shared_record record;
    char unknown[96] = "";
    int haveRecord = readSharedRecord(&record, unknown, sizeof(unknown));
    if (haveRecord)
        statusLine("Logons counted now:", "%u", (unsigned)record._dwLoggedOn);
    else
        statusLine("Logons counted now:", "%s", unknown);

    DWORD clients = 0;
    readDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, &clients);
    statusLine("Running clients:", "%d", (int)clients);
    showPausedDistributions();
    if (haveRecord) {
        statusLine("Resume loop:", record._someoneLooping ? "running" : "not running");
        statusLine("Shutdown at completion asked:", record._shutdownWhenComplete ? "yes" : "no");
    } else {
        statusLine("Resume loop:", "%s", unknown);
        statusLine("Shutdown at completion asked:", "%s", unknown);
    }
    showDenyHandOver();
    showStartupsLeft((int)budget);
    showGlobalLock();
    return EXIT_OK;
}

static int isHelpFlag(const char *arg)
{
    return strcmp(arg, "-h") == 0 || strcmp(arg, "/h") == 0 || strcmp(arg, "-?") == 0 || strcmp(arg, "/?") == 0;
}

// The local value just written is not the one in effect while policy sets it.
static void warnIfPolicySets(const char *opt)
{
    setting_id id = settingOf(opt);
    if (id != SETTING_COUNT && settingFromPolicy(id))
        fprintf(stderr, "Warning: Group Policy sets %s (HKLM\\%s\\%s): its value stays in effect\n", opt,
                SETTINGS[id].policyKey, SETTINGS[id].name);
}

// -s: every pair is checked before the first one is written.
static int setOptions(const char *program, int count, char **pairs)
{
    for (int i = 0; i < count; i += 2) {
        if (i + 1 >= count || !manageOption(pairs[i], pairs[i + 1], 0)) {
            Usage(program);
            return EXIT_USAGE;
        }
    }
    for (int i = 0; i < count; i += 2) {
        if (!manageOption(pairs[i], pairs[i + 1], 1)) {
            printf("Error setting value '%s' for flag '%s'\n", pairs[i + 1], pairs[i]);
            return EXIT_WRITE_FAILED;
        }
        warnIfPolicySets(pairs[i]);
    }
    return EXIT_OK;
}

static int getSingleOption(const char *program, int count, char **options)
{
    if (count != 1) {
        printf("-g flag accepts only one option\n");
        Usage(program);
        return EXIT_USAGE;
    }
    return getOption(options[0]) ? EXIT_OK : EXIT_NOT_AN_OPTION;
}

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "-r") == 0)
        return recover();
    if (argc == 2 && strcmp(argv[1], "-a") == 0)
        return secureKeys();
    if (argc >= 2 && strcmp(argv[1], "-q") == 0)
        return showStatus();
    if (argc < 3 || isHelpFlag(argv[1])) {
        Usage(argv[0]);
        return EXIT_USAGE;
    }
    if (strcmp(argv[1], "-g") == 0)
        return getSingleOption(argv[0], argc - 2, argv + 2);
    if (strcmp(argv[1], "-s") == 0)
        return setOptions(argv[0], argc - 2, argv + 2);
    Usage(argv[0]);
    return EXIT_USAGE;
}

// event_log: what the library tells administrators through the Application
// event log (source KVDNotification), whether tracing is on or off.
#include "event_log.h"
#include "event_source.h"
#include "registry_schema.h"

#include <string.h>
#include <wchar.h>

namespace {

const int MAX_INSERTS = 4;
const size_t INSERT_CHARS = 512;   // a longer insert is cut and ends in "..."

// The inserts of one event, kept on the stack: writing an event allocates nothing of its own.
struct event_inserts {
    wchar_t text[MAX_INSERTS][INSERT_CHARS];
    const wchar_t *pointers[MAX_INSERTS];
    WORD count = 0;
};

wchar_t *nextInsert(event_inserts *in)
{
    wchar_t *slot = in->text[in->count];
    in->pointers[in->count] = slot;
    in->count++;
    slot[0] = L'\0';
    return slot;
}

// Appends text to an insert; a text that does not fit is cut and ends in "...".
void append(wchar_t *slot, const wchar_t *text)
{
    size_t used = wcslen(slot);
    size_t length = wcslen(text);
    if (used + length < INSERT_CHARS) {
        memcpy(slot + used, text, (length + 1) * sizeof(wchar_t));
        return;
    }
    wcsncpy(slot + used, text, INSERT_CHARS - 1 - used);
    wcscpy(slot + INSERT_CHARS - 4, L"...");
}

void appendNarrow(wchar_t *slot, const char *text)
{
    wchar_t wide[INSERT_CHARS + 1];
    int converted = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, (int)INSERT_CHARS + 1);
    if (converted == 0) {
        // longer than any insert: the part that fits, and append cuts it
        converted = MultiByteToWideChar(CP_ACP, 0, text, (int)INSERT_CHARS, wide, (int)INSERT_CHARS);
        wide[converted] = L'\0';
    }
    append(slot, wide);
}

// A number in base 10 or 16 with at least minDigits digits.
void appendNumber(wchar_t *slot, unsigned long long value, unsigned base, int minDigits)
{
    wchar_t reversed[24];
    int count = 0;
    do {
        reversed[count++] = L"0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0 || count < minDigits);
    wchar_t text[24];
    for (int i = 0; i < count; i++)
        text[i] = reversed[count - 1 - i];
    text[count] = L'\0';
    append(slot, text);
}

void addWide(event_inserts *in, const wchar_t *text)
{
    append(nextInsert(in), text);
}

void addNarrow(event_inserts *in, const char *text)
{
    appendNarrow(nextInsert(in), text);
}

void addNumber(event_inserts *in, long long number)
{
    wchar_t *slot = nextInsert(in);
    if (number < 0)
        append(slot, L"-");
    appendNumber(slot, number < 0 ? 0ULL - (unsigned long long)number : (unsigned long long)number, 10, 1);
}

void addHex(event_inserts *in, unsigned long long value, int digits)
{
    wchar_t *slot = nextInsert(in);
    append(slot, L"0x");
    appendNumber(slot, value, 16, digits);
}

// "name.exe (process N)" of this process.
void addThisProcess(event_inserts *in)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        wcscpy(path, L"?");
    const wchar_t *name = wcsrchr(path, L'\\') != NULL ? wcsrchr(path, L'\\') + 1 : path;
    wchar_t *slot = nextInsert(in);
    append(slot, name);
    append(slot, L" (process ");
    appendNumber(slot, GetCurrentProcessId(), 10, 1);
    append(slot, L")");
}

// The distribution IDs of a paused list, joined by ", ".
void addIds(event_inserts *in, const paused_distribution_s *list)
{
    wchar_t *slot = nextInsert(in);
    for (DWORD i = 0; list != NULL && i < list->size; i++) {
        if (i > 0)
            append(slot, L", ");
        appendNarrow(slot, list->list[i].distID);
    }
}

WORD typeOf(DWORD id)
{
    switch (id >> 30) {
    case KVD_SEVERITY_ERROR:
        return EVENTLOG_ERROR_TYPE;
    case KVD_SEVERITY_WARNING:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

// ---- repeats ----

// The faults (event IDs 200 and up, kvd_events.mc) can repeat without end;
// every other event is a decision, and writing one ends every repeat
// (something changed).
const DWORD FIRST_FAULT_CODE = 200;
const size_t FAULT_COUNT = 16;

// What was last written of each fault, in this process.
struct last_written {
    bool written;
    DWORD insertsHash;
    DWORD writtenAt;   // GetTickCount
};
last_written lastWritten[FAULT_COUNT];
volatile LONG lastWrittenLock = 0;

// A thread ended while it held the lock must not stop every later event
// writer (a logon handler among them): after 100 ms the caller goes on
// without it. 1 when taken.
int lockLastWritten()
{
    for (int attempt = 0; InterlockedCompareExchange(&lastWrittenLock, 1, 0) != 0; attempt++) {
        if (attempt == 100)
            return 0;
        Sleep(1);
    }
    return 1;
}

void unlockLastWritten()
{
    InterlockedExchange(&lastWrittenLock, 0);
}

DWORD hashInserts(const event_inserts &in)
{
    DWORD hash = 2166136261u;   // FNV-1a over the inserts and their ends
    for (WORD i = 0; i < in.count; i++) {
        for (const wchar_t *c = in.pointers[i];; c++) {
            hash = (hash ^ (DWORD)*c) * 16777619u;
            if (*c == L'\0')
                break;
        }
    }
    return hash;
}

int faultIndex(DWORD id)
{
    DWORD code = id & 0xFFFF;
    return code >= FIRST_FAULT_CODE && code < FIRST_FAULT_CODE + FAULT_COUNT ? (int)(code - FIRST_FAULT_CODE) : -1;
}

// Whether the event is to be written now; remembers it when it is.
bool admit(DWORD id, const event_inserts &in)
{
    int fault = faultIndex(id);
    DWORD now = GetTickCount();
    bool admitted = true;
    if (!lockLastWritten())
        return true;   // written without the comparison
    if (fault < 0) {
        memset(lastWritten, 0, sizeof(lastWritten));
    } else {
        last_written &last = lastWritten[fault];
        DWORD hash = hashInserts(in);
        admitted = !last.written || last.insertsHash != hash || now - last.writtenAt >= EVENT_REPEAT_INTERVAL_MS;
        if (admitted)
            last = {true, hash, now};
    }
    unlockLastWritten();
    return admitted;
}

int report(DWORD id, const event_inserts &in)
{
    if (!admit(id, in))
        return 0;
    DWORD lastError = GetLastError();   // callers may still read theirs
    int written = 0;
    HANDLE source = RegisterEventSourceW(NULL, EVENT_SOURCE_NAME_W);
    if (source != NULL) {
        written = ReportEventW(source, typeOf(id), 0, id, NULL, in.count, 0, (LPCWSTR *)in.pointers, NULL) ? 1 : 0;
        DeregisterEventSource(source);
    }
    SetLastError(lastError);
    return written;
}

int reportNone(DWORD id)
{
    event_inserts in;
    return report(id, in);
}

}  // namespace

int eventPlanBudget(int oldBudget, int newBudget)
{
    if (oldBudget == NO_PLAN_RUNNING && newBudget != NO_PLAN_RUNNING) {
        event_inserts in;
        if (newBudget >= 0)
            addNumber(&in, newBudget);
        else
            addWide(&in, L"not limited");
        return report(KVD_EVENT_PLAN_STARTED, in);
    }
    if (oldBudget != NO_PLAN_RUNNING && newBudget == NO_PLAN_RUNNING)
        return reportNone(KVD_EVENT_PLAN_ENDED);
    return 0;
}

int eventDistributionPaused(const char *distID, int budget)
{
    event_inserts in;
    addNarrow(&in, distID);
    if (budget >= 0)
        addNumber(&in, budget);
    else
        addWide(&in, budget == NO_PLAN_RUNNING ? L"no plan runs" : L"not limited");
    return report(KVD_EVENT_DISTRIBUTION_PAUSED, in);
}

int eventDistributionsResumed(const paused_distribution_s *list)
{
    event_inserts in;
    addIds(&in, list);
    return report(KVD_EVENT_DISTRIBUTIONS_RESUMED, in);
}

int eventResumeFailed(const paused_distribution_s *list, const char *failList)
{
    event_inserts in;
    if (failList != NULL && failList[0] != '\0')
        addNarrow(&in, failList);
    else
        addIds(&in, list);
    return report(KVD_EVENT_RESUME_FAILED, in);
}

int eventLogonRefused(PWLX_NOTIFICATION_INFO pInfo, int popupType, const char *distID)
{
    event_inserts in;
    // DOMAIN\user, as the logon process names the user
    wchar_t *user = nextInsert(&in);
    if (pInfo != NULL && pInfo->Domain != NULL && pInfo->Domain[0] != L'\0') {
        append(user, pInfo->Domain);
        append(user, L"\\");
    }
    append(user, pInfo != NULL && pInfo->UserName != NULL ? pInfo->UserName : L"(unknown)");
    addNumber(&in, retrieveCurrentSessionId());
    addWide(&in, popupType == 1 ? L"the running distribution could not be paused (deny popup type 1)"
                                : L"no logons are left in the plan's budget (deny popup type 0)");
    addNarrow(&in, distID != NULL && distID[0] != '\0' ? distID : "none named");
    return report(KVD_EVENT_LOGON_REFUSED, in);
}

int eventShutdownAtCompletion()
{
    return reportNone(KVD_EVENT_SHUTDOWN_AT_COMPLETION);
}

int eventRestrictionLifted(DWORD startups)
{
    event_inserts in;
    addNumber(&in, startups);
    return report(KVD_EVENT_RESTRICTION_LIFTED, in);
}

int eventLockCeiling(DWORD waitedMs)
{
    event_inserts in;
    addThisProcess(&in);
    addNumber(&in, waitedMs);
    return report(KVD_EVENT_LOCK_CEILING, in);
}

int eventLockAbandoned()
{
    event_inserts in;
    addThisProcess(&in);
    return report(KVD_EVENT_LOCK_ABANDONED, in);
}

int eventUpcallDeadline(const char *cmdLine, DWORD limitMs)
{
    event_inserts in;
    addNarrow(&in, cmdLine);
    addNumber(&in, limitMs / 1000);
    return report(KVD_EVENT_UPCALL_DEADLINE, in);
}

int eventFaultContained(DWORD code, const void *address)
{
    event_inserts in;
    addHex(&in, code, 8);
    addHex(&in, (unsigned long long)(ULONG_PTR)address, (int)sizeof(address) * 2);
    addThisProcess(&in);
    return report(KVD_EVENT_FAULT_CONTAINED, in);
}

int eventObjectNotTrusted(const char *name)
{
    event_inserts in;
    addNarrow(&in, name);
    return report(KVD_EVENT_OBJECT_NOT_TRUSTED, in);
}

void eventLogTestHookAge(DWORD ms)
{
    if (!lockLastWritten())
        return;
    for (last_written &last : lastWritten)
        last.writtenAt -= ms;
    unlockLastWritten();
}

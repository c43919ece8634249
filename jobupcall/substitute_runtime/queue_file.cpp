// queue_file: the substitute job queue, a text file of one job per line: parsing, writing, locking, control.
#include "queue_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <errno.h>
#include <string.h>

// One lock per machine: an endpoint has one queue.
static const char QUEUE_LOCK_NAME[] = "Global\\Korvo2QueueLock";
static const DWORD QUEUE_LOCK_WAIT_MS = 30000;

std::string queueFilePath(const std::string &dataDir)
{
    return dataDir + "\\korvo2queue.txt";
}

static bool needsEscape(unsigned char c)
{
    return c <= ' ' || c == '%' || c == 0x7f;
}

std::string encodeQueueText(const std::string &text)
{
    std::string encoded;
    for (unsigned char c : text) {
        if (needsEscape(c)) {
            char escape[4];
            snprintf(escape, sizeof(escape), "%%%02X", c);
            encoded += escape;
        } else {
            encoded += (char)c;
        }
    }
    return encoded;
}

static int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

static bool decodeQueueText(const std::string &encoded, std::string *text)
{
    text->clear();
    for (size_t i = 0; i < encoded.size(); i++) {
        if (encoded[i] != '%') {
            *text += encoded[i];
            continue;
        }
        if (i + 2 >= encoded.size())
            return false;
        int high = hexDigit(encoded[i + 1]), low = hexDigit(encoded[i + 2]);
        if (high < 0 || low < 0)
            return false;
        *text += (char)(high * 16 + low);
        i += 2;
    }
    return true;
}

// A decimal number that fits the type: 16 bits for 'h', 32 for 'l'.
static bool validNumber(const std::string &value, char type)
{
    if (value.empty())
        return false;
    char *end = NULL;
    errno = 0;
    long long number = strtoll(value.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE)
        return false;
    return type == 'h' ? number >= -32768 && number <= 32767 : number >= -2147483647LL - 1 && number <= 2147483647LL;
}

static bool parseProperty(const std::string &token, queue_property *property, std::string *error)
{
    size_t colon = token.find(':');
    size_t equals = token.find('=');
    if (colon == std::string::npos || colon == 0 || equals != colon + 2) {
        *error = "property '" + token + "' is not name:type=value";
        return false;
    }
    property->name = token.substr(0, colon);
    property->type = token[colon + 1];
    std::string raw = token.substr(equals + 1);
    if (property->type == 's') {
        if (!decodeQueueText(raw, &property->value)) {
            *error = "text of " + property->name + " has a bad %XX escape";
            return false;
        }
        return true;
    }
    if (property->type != 'h' && property->type != 'l') {
        *error = "property " + property->name + " has type '" + std::string(1, property->type) +
                 "' (expected s, h or l)";
        return false;
    }
    if (!validNumber(raw, property->type)) {
        *error = "value '" + raw + "' of " + property->name + " is not a " +
                 (property->type == 'h' ? "16-bit" : "32-bit") + " number";
        return false;
    }
    property->value = raw;
    return true;
}

bool parseQueueJob(const std::string &line, queue_job *job, std::string *error)
{
    job->clear();
    size_t position = 0;
    while (position < line.size()) {
        size_t start = line.find_first_not_of(" \t", position);
        if (start == std::string::npos)
            break;
        size_t end = line.find_first_of(" \t", start);
        if (end == std::string::npos)
            end = line.size();
        queue_property property;
        if (!parseProperty(line.substr(start, end - start), &property, error))
            return false;
        job->push_back(property);
        position = end;
    }
    return true;
}

std::string formatQueueJob(const queue_job &job)
{
    std::string line;
    for (const queue_property &property : job) {
        if (!line.empty())
            line += ' ';
        line += property.name + ":" + property.type + "=" +
                (property.type == 's' ? encodeQueueText(property.value) : property.value);
    }
    return line;
}

static bool parseSeconds(const std::string &text, long *seconds)
{
    char *end = NULL;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0)
        return false;
    *seconds = value;
    return true;
}

static bool parseDirective(const std::string &line, queue_faults *faults, std::string *error)
{
    size_t blank = line.find(' ');
    std::string name = line.substr(1, blank == std::string::npos ? std::string::npos : blank - 1);
    std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
    bool valid = !argument.empty();
    if (name == "fail-read")
        faults->failRead = argument;
    else if (name == "fault-read")
        faults->faultRead = argument;
    else if (name == "fail-control")
        faults->failControl = argument;
    else if (name == "slow-read")
        valid = parseSeconds(argument, &faults->slowReadSeconds);
    else if (name == "slow-control")
        valid = parseSeconds(argument, &faults->slowControlSeconds);
    else {
        *error = "unknown directive '!" + name + "'";
        return false;
    }
    if (!valid)
        *error = "directive '!" + name + "' needs " +
                 (name.compare(0, 5, "slow-") == 0 ? "a number of seconds" : "a text");
    return valid;
}

static std::string withoutLineEnd(const std::string &line)
{
    return !line.empty() && line[line.size() - 1] == '\r' ? line.substr(0, line.size() - 1) : line;
}

// Comments and blank lines are kept as text; directives set faults; the rest are jobs.
static bool parseLine(const std::string &line, queue_line *entry, queue_faults *faults, std::string *problem)
{
    entry->isJob = false;
    entry->text = line;
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#')
        return true;
    if (line[first] == '!')
        return parseDirective(line.substr(first), faults, problem);
    entry->isJob = true;
    return parseQueueJob(line, &entry->job, problem);
}

bool parseQueue(const std::string &text, queue_document *document, std::string *error)
{
    document->lines.clear();
    document->faults = queue_faults();
    document->faults.slowReadSeconds = document->faults.slowControlSeconds = 0;
    size_t start = 0;
    for (int number = 1; start < text.size(); number++) {
        size_t end = text.find('\n', start);
        std::string line = withoutLineEnd(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
        queue_line entry;
        std::string problem;
        if (!parseLine(line, &entry, &document->faults, &problem)) {
            *error = "line " + std::to_string(number) + ": " + problem;
            return false;
        }
        document->lines.push_back(entry);
    }
    return true;
}

std::string formatQueue(const queue_document &document)
{
    std::string text;
    for (const queue_line &line : document.lines)
        text += (line.isJob ? formatQueueJob(line.job) : line.text) + "\r\n";
    return text;
}

const queue_property *findQueueProperty(const queue_job &job, const std::string &name)
{
    for (const queue_property &property : job)
        if (property.name == name)
            return &property;
    return NULL;
}

void setQueueProperty(queue_job *job, const std::string &name, char type, const std::string &value)
{
    for (queue_property &property : *job)
        if (property.name == name) {
            property.type = type;
            property.value = value;
            return;
        }
    job->push_back(queue_property{name, type, value});
}

bool removeQueueProperty(queue_job *job, const std::string &name)
{
    for (size_t i = 0; i < job->size(); i++)
        if ((*job)[i].name == name) {
            job->erase(job->begin() + i);
            return true;
        }
    return false;
}

long queueNumber(const queue_job &job, const std::string &name, char type, long missing)
{
    const queue_property *property = findQueueProperty(job, name);
    return property != NULL && property->type == type ? strtol(property->value.c_str(), NULL, 10) : missing;
}

static bool controllable(long state, int controlType)
{
    if (controlType == QUEUE_CONTROL_PAUSE)
        return state != QUEUE_STATE_PAUSED && state < 6;
    return state == QUEUE_STATE_PAUSED;
}

int controlQueueJobs(queue_document *document, const std::string &distID, int controlType, std::string *reason)
{
    int matching = 0, changed = 0;
    for (queue_line &line : document->lines) {
        const queue_property *id = line.isJob ? findQueueProperty(line.job, "dist_id") : NULL;
        if (id == NULL || id->type != 's' || id->value != distID)
            continue;
        matching++;
        long state = queueNumber(line.job, "state", 'h', QUEUE_STATE_MISSING);
        if (!controllable(state, controlType))
            continue;
        int newState = controlType == QUEUE_CONTROL_PAUSE ? QUEUE_STATE_PAUSED : QUEUE_STATE_RESUMED;
        setQueueProperty(&line.job, "state", 'h', std::to_string(newState));
        changed++;
    }
    if (changed == 0)
        *reason = matching == 0 ? "no such distribution in the queue"
                                : controlType == QUEUE_CONTROL_PAUSE ? "not in an active state" : "not paused";
    return changed;
}

static std::string systemError(const char *what, DWORD code)
{
    return std::string(what) + " (error " + std::to_string(code) + ")";
}

HANDLE lockQueue(std::string *error)
{
    HANDLE lock = CreateMutexA(NULL, FALSE, QUEUE_LOCK_NAME);
    if (lock == NULL) {
        *error = systemError("cannot create the queue lock", GetLastError());
        return NULL;
    }
    // An abandoned lock (its holder died) is taken over: every update replaces the whole file.
    DWORD waited = WaitForSingleObject(lock, QUEUE_LOCK_WAIT_MS);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        *error = waited == WAIT_TIMEOUT ? std::string("the queue stayed locked for 30 s")
                                        : systemError("cannot take the queue lock", GetLastError());
        CloseHandle(lock);
        return NULL;
    }
    return lock;
}

void unlockQueue(HANDLE lock)
{
    ReleaseMutex(lock);
    CloseHandle(lock);
}

static bool readWholeFile(HANDLE file, std::string *text, std::string *error)
{
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, NULL) && got > 0)
        text->append(buffer, got);
    if (got != 0) {
        *error = systemError("cannot read the queue file", GetLastError());
        return false;
    }
    return true;
}

bool loadQueueFile(const std::string &path, queue_document *document, std::string *error)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    std::string text;
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // An endpoint that never received a job has no queue file: its queue is empty.
        if (code == ERROR_FILE_NOT_FOUND)
            return parseQueue("", document, error);
        *error = systemError(("cannot open " + path).c_str(), code);
        return false;
    }
    bool read = readWholeFile(file, &text, error);
    CloseHandle(file);
    if (!read)
        return false;
    if (text.find('\0') != std::string::npos) {
        *error = path + " holds a zero byte: not a queue file";
        return false;
    }
    if (!parseQueue(text, document, error)) {
        *error = path + " " + *error;
        return false;
    }
    return true;
}

static bool writeWholeFile(const std::string &path, const std::string &text, std::string *error)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = systemError(("cannot create " + path).c_str(), GetLastError());
        return false;
    }
    DWORD written = 0;
    bool complete = WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL) && written == text.size() &&
                    FlushFileBuffers(file);
    if (!complete)
        *error = systemError(("cannot write " + path).c_str(), GetLastError());
    CloseHandle(file);
    return complete;
}

// A new file beside the old one, then one rename: a reader sees the old queue or the new one, never half.
bool replaceQueueFile(const std::string &path, const queue_document &document, std::string *error)
{
    std::string fresh = path + "." + std::to_string(GetCurrentProcessId()) + ".new";
    if (!writeWholeFile(fresh, formatQueue(document), error)) {
        DeleteFileA(fresh.c_str());
        return false;
    }
    if (!MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = systemError(("cannot replace " + path).c_str(), GetLastError());
        DeleteFileA(fresh.c_str());
        return false;
    }
    return true;
}

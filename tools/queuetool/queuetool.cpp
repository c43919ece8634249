// queuetool: prints the substitute job queue as a table and adds, removes, changes, pauses and resumes its jobs.
#include "queue_file.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>

static void printUsage()
{
    puts("Usage: queuetool [-d datadir] command [arguments]\n"
         "  list                          print the queue as a table\n"
         "  add ID [name:type=value...]   append a job (defaults: app_id:s=Palvento state:h=0\n"
         "                                SW_CONCURRENT_LOGIN_ALLOWED:l=1)\n"
         "  set ID name:type=value...     change properties of the jobs of ID\n"
         "  unset ID name...              remove properties of the jobs of ID\n"
         "  remove ID                     remove the jobs of ID\n"
         "  pause ID... | resume ID...    pause or resume, one locked update per ID\n"
         "  fault NAME [ARGUMENT]         add a fault directive (fail-read, fault-read, fail-control,\n"
         "                                slow-read, slow-control)\n"
         "  fault clear                   remove every fault directive\n"
         "The data directory defaults to XEP_DATDIR; the queue is its file korvo2queue.txt.\n"
         "Types: s text, h 16-bit number, l 32-bit number.");
}

// One command's view of the queue: the document and what the command reports.
struct edit_result {
    bool changed;
    std::string message;  // empty: nothing to report
};

static std::string cell(const queue_job &job, const char *name)
{
    const queue_property *property = findQueueProperty(job, name);
    return property != NULL ? property->value : "-";
}

static std::string otherProperties(const queue_job &job)
{
    static const char *const shown[] = {"dist_id", "app_id", "state", "SW_CONCURRENT_LOGIN_ALLOWED",
                                        "SW_MAX_LOGIN_ALLOWED"};
    queue_job others;
    for (const queue_property &property : job)
        if (std::find_if(std::begin(shown), std::end(shown),
                         [&](const char *name) { return property.name == name; }) == std::end(shown))
            others.push_back(property);
    return formatQueueJob(others);
}

static void printTable(const queue_document &document)
{
    std::vector<std::vector<std::string>> rows = {
        {"#", "DIST_ID", "APP_ID", "STATE", "CONCURRENT", "MAX_LOGIN", "OTHER"}};
    int number = 0;
    for (const queue_line &line : document.lines)
        if (line.isJob)
            rows.push_back({std::to_string(++number), cell(line.job, "dist_id"), cell(line.job, "app_id"),
                            cell(line.job, "state"), cell(line.job, "SW_CONCURRENT_LOGIN_ALLOWED"),
                            cell(line.job, "SW_MAX_LOGIN_ALLOWED"), otherProperties(line.job)});
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const std::vector<std::string> &row : rows)
        for (size_t i = 0; i < row.size(); i++)
            widths[i] = std::max(widths[i], row[i].size());
    for (const std::vector<std::string> &row : rows) {
        std::string text;
        for (size_t i = 0; i < row.size(); i++)
            text += row[i] + (i + 1 < row.size() ? std::string(widths[i] - row[i].size() + 2, ' ') : "");
        puts(text.substr(0, text.find_last_not_of(' ') + 1).c_str());
    }
    const queue_faults &faults = document.faults;
    if (!faults.failRead.empty() || !faults.faultRead.empty() || !faults.failControl.empty() ||
        faults.slowReadSeconds > 0 || faults.slowControlSeconds > 0)
        puts("faults are injected: see the lines beginning with ! in the file");
}

static bool parseAssignments(int count, char **texts, queue_job *job, std::string *error)
{
    for (int i = 0; i < count; i++) {
        queue_job parsed;
        if (!parseQueueJob(texts[i], &parsed, error))
            return false;
        for (const queue_property &property : parsed)
            setQueueProperty(job, property.name, property.type, property.value);
    }
    return true;
}

static bool isJobOf(const queue_line &line, const std::string &distID)
{
    const queue_property *id = line.isJob ? findQueueProperty(line.job, "dist_id") : NULL;
    return id != NULL && id->value == distID;
}

static edit_result addJob(queue_document *document, int count, char **arguments)
{
    queue_line line = {true, "", queue_job()};
    setQueueProperty(&line.job, "dist_id", 's', arguments[0]);
    setQueueProperty(&line.job, "app_id", 's', "Palvento");
    setQueueProperty(&line.job, "state", 'h', "0");
    setQueueProperty(&line.job, "SW_CONCURRENT_LOGIN_ALLOWED", 'l', "1");
    std::string error;
    if (!parseAssignments(count - 1, arguments + 1, &line.job, &error))
        return {false, error};
    document->lines.push_back(line);
    return {true, ""};
}

static edit_result changeJobs(queue_document *document, const std::string &command, int count, char **arguments)
{
    int matched = 0;
    std::string error;
    for (queue_line &line : document->lines) {
        if (!isJobOf(line, arguments[0]))
            continue;
        matched++;
        if (command == "set" && !parseAssignments(count - 1, arguments + 1, &line.job, &error))
            return {false, error};
        for (int i = 1; command == "unset" && i < count; i++)
            removeQueueProperty(&line.job, arguments[i]);
    }
    if (command == "remove")
        document->lines.erase(std::remove_if(document->lines.begin(), document->lines.end(),
                                             [&](const queue_line &line) { return isJobOf(line, arguments[0]); }),
                              document->lines.end());
    return {matched > 0, matched > 0 ? "" : std::string("no job with dist_id ") + arguments[0]};
}

static edit_result setFault(queue_document *document, int count, char **arguments)
{
    if (strcmp(arguments[0], "clear") == 0) {
        document->lines.erase(std::remove_if(document->lines.begin(), document->lines.end(),
                                             [](const queue_line &line) {
                                                 return !line.isJob && !line.text.empty() && line.text[0] == '!';
                                             }),
                              document->lines.end());
        return {true, ""};
    }
    std::string directive = std::string("!") + arguments[0];
    for (int i = 1; i < count; i++)
        directive += std::string(" ") + arguments[i];
    queue_document probe;
    std::string error;
    if (!parseQueue(directive, &probe, &error))
        return {false, error.substr(error.find(": ") + 2)};
    document->lines.push_back(queue_line{false, directive, queue_job()});
    return {true, ""};
}

static edit_result applyCommand(queue_document *document, const std::string &command, int count, char **arguments)
{
    if (command == "add" && count >= 1)
        return addJob(document, count, arguments);
    if ((command == "set" && count >= 2) || (command == "unset" && count >= 2) || (command == "remove" && count == 1))
        return changeJobs(document, command, count, arguments);
    if (command == "fault" && count >= 1)
        return setFault(document, count, arguments);
    return {false, "bad command line (queuetool -h for help)"};
}

// One read-modify-write of the queue under its lock.
static int updateQueue(const std::string &path, const std::string &command, int count, char **arguments)
{
    std::string error;
    HANDLE lock = lockQueue(&error);
    if (lock == NULL) {
        fprintf(stderr, "queuetool: %s\n", error.c_str());
        return 1;
    }
    queue_document document;
    edit_result result = {false, ""};
    bool loaded = loadQueueFile(path, &document, &error);
    if (loaded) {
        if (command == "pause" || command == "resume") {
            int type = command == "pause" ? QUEUE_CONTROL_PAUSE : QUEUE_CONTROL_RESUME;
            std::string reason;
            result.changed = controlQueueJobs(&document, arguments[0], type, &reason) > 0;
            if (!result.changed)
                result.message = std::string(arguments[0]) + ": " + reason;
        } else {
            result = applyCommand(&document, command, count, arguments);
        }
    }
    bool written = loaded && (!result.changed || replaceQueueFile(path, document, &error));
    unlockQueue(lock);
    if (!loaded || !written) {
        fprintf(stderr, "queuetool: %s\n", error.c_str());
        return 1;
    }
    if (!result.message.empty())
        fprintf(stderr, "queuetool: %s\n", result.message.c_str());
    return result.changed ? 0 : 1;
}

static int listQueue(const std::string &path)
{
    std::string error;
    HANDLE lock = lockQueue(&error);
    queue_document document;
    bool loaded = lock != NULL && loadQueueFile(path, &document, &error);
    if (lock != NULL)
        unlockQueue(lock);
    if (!loaded) {
        fprintf(stderr, "queuetool: %s\n", error.c_str());
        return 1;
    }
    printf("queue %s\n", path.c_str());
    printTable(document);
    return 0;
}

static std::string dataDirectory(int *argi, int argc, char **argv)
{
    if (*argi + 1 < argc && strcmp(argv[*argi], "-d") == 0) {
        *argi += 2;
        return argv[*argi - 1];
    }
    char value[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("XEP_DATDIR", value, sizeof(value));
    return length > 0 && length < sizeof(value) ? value : "";
}

int main(int argc, char **argv)
{
    int argi = 1;
    std::string dataDir = dataDirectory(&argi, argc, argv);
    if (argi >= argc || strcmp(argv[argi], "-h") == 0) {
        printUsage();
        return argi >= argc ? 1 : 0;
    }
    if (dataDir.empty()) {
        fputs("queuetool: no data directory: give -d DIR or set XEP_DATDIR\n", stderr);
        return 1;
    }
    std::string path = queueFilePath(dataDir), command = argv[argi];
    if (command == "list")
        return listQueue(path);
    if (command == "pause" || command == "resume") {
        int failures = 0;
        for (int i = argi + 1; i < argc; i++)
            failures += updateQueue(path, command, 1, argv + i);
        return argi + 1 < argc && failures == 0 ? 0 : 1;
    }
    return updateQueue(path, command, argc - argi - 1, argv + argi + 1);
}

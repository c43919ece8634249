// queue_file: the substitute job queue, a text file of one job per line: parsing, writing, locking, control.
//
// Format (see README): "#" starts a comment line; "!" starts a fault directive;
// any other non-blank line is a job, blank-separated properties name:type=value
// with type s (text), h (16-bit) or l (32-bit); in texts, bytes up to blank and
// "%" are written %XX. Comments, blank lines and directives survive a rewrite.
#ifndef QUEUE_FILE_H
#define QUEUE_FILE_H

#include <windows.h>
#include <string>
#include <vector>

struct queue_property {
    std::string name;
    char type;          // 's', 'h' or 'l'
    std::string value;  // decoded text, or the number in decimal
};

typedef std::vector<queue_property> queue_job;

struct queue_line {
    bool isJob;
    std::string text;   // the line as written, for comments, blanks and directives
    queue_job job;
};

// Faults injected by directives; an empty text or 0 seconds means none.
struct queue_faults {
    std::string failRead;      // "!fail-read TEXT": reading raises "Exception" with TEXT
    std::string faultRead;     // "!fault-read TEXT": reading raises a type other than "Exception"
    std::string failControl;   // "!fail-control TEXT": control requests raise "Exception" with TEXT
    long slowReadSeconds = 0;  // "!slow-read N": reading takes N seconds
    long slowControlSeconds = 0; // "!slow-control N": control requests take N seconds
};

struct queue_document {
    std::vector<queue_line> lines;
    queue_faults faults;
};

// The state a job is paused in, and what a resume sets.
const int QUEUE_STATE_PAUSED = 1;
const int QUEUE_STATE_RESUMED = 0;
const int QUEUE_STATE_MISSING = 254;
const int QUEUE_CONTROL_PAUSE = 2;
const int QUEUE_CONTROL_RESUME = 3;

std::string queueFilePath(const std::string &dataDir);

// Plain text handling.
std::string encodeQueueText(const std::string &text);
bool parseQueueJob(const std::string &line, queue_job *job, std::string *error);
std::string formatQueueJob(const queue_job &job);
bool parseQueue(const std::string &text, queue_document *document, std::string *error);
std::string formatQueue(const queue_document &document);

const queue_property *findQueueProperty(const queue_job &job, const std::string &name);
void setQueueProperty(queue_job *job, const std::string &name, char type, const std::string &value);
bool removeQueueProperty(queue_job *job, const std::string &name);
long queueNumber(const queue_job &job, const std::string &name, char type, long missing);

// Pauses or resumes the jobs of distID; returns how many changed, 0 with a reason when none could.
int controlQueueJobs(queue_document *document, const std::string &distID, int controlType, std::string *reason);

// The file, under a machine-wide lock held from lockQueue to unlockQueue.
HANDLE lockQueue(std::string *error);
void unlockQueue(HANDLE lock);
bool loadQueueFile(const std::string &path, queue_document *document, std::string *error);
bool replaceQueueFile(const std::string &path, const queue_document &document, std::string *error);

#endif

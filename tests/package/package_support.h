// package_support: the whole package installed in a work folder (real jobupcall, substitute queue) and read back.
#ifndef KVD_PACKAGE_SUPPORT_H
#define KVD_PACKAGE_SUPPORT_H

#include "library_support.h"

#include <set>
#include <string>
#include <vector>

namespace kvdpkg {

const DWORD SENTINEL = 0xdeadbeef;

// The endpoint's data folder (queue file, runtime trace) of one test program.
std::string dataDir();
std::string queuePath();

// A job of this package's application, in the queue file's format.
std::string palventoJob(const std::string &distID, int state, int maxLogin);
void writeQueue(const std::vector<std::string> &jobs);
void writeQueueText(const std::string &text);
void writeWholeFile(const std::string &path, const std::string &bytes);

// The distinct distribution IDs in the paused state (1) in the queue file,
// and those recorded in _pausedQueue.
std::set<std::string> pausedInQueue();
std::set<std::string> recordedPaused();
// How many entries _pausedQueue holds (duplicates included).
size_t recordedEntries();

// Points the upcall settings at the shipped jobupcall and the data folder.
void installUpcall(DWORD timeoutSeconds);

// Ends a process (exit code `code`), waits for its end and closes its handle.
void endProcess(HANDLE process, UINT code = 0);

// A DWORD of the registry, SENTINEL when absent or of another type.
DWORD dwordOf(const char *key, const char *name);

// The notify file of the Windows directory, with exact bytes.
void writeNotifyBytes(const std::string &bytes);

}  // namespace kvdpkg

#endif

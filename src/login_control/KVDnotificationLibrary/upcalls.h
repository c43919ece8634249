// upcalls: asks the upcall program about the job queue and reads its answers.
#ifndef KVD_UPCALLS_H
#define KVD_UPCALLS_H

#include <windows.h>
#include <stddef.h>
#include "utils.h"

// The argument text of a pause or resume is formatted into this many
// characters, so one upcall carries at most UPCALL_MAX_ID_LIST characters of IDs.
constexpr size_t UPCALL_ARGS_SIZE = 512;
constexpr size_t UPCALL_MAX_ID_LIST = 505;
// The " -l " answer's distribution ID is read into a field of this many characters.
constexpr size_t UPCALL_MAX_LISTED_ID = 49;

// How long the runner waits for an upcall child with this "-t" value before it
// ends it, and the longest wait for the global lock: a logon holds the lock
// across at most three upcalls, so the lock waits for three of them and more.
DWORD upcallChildLimitMs(long timeout);
DWORD lockWaitCeilingMs();

char *execUpcall(const char *arguments, DWORD *exitCode);
// Fills nwEnv (nwEnvSize bytes) with the process environment whose Path is
// prefixed by newpath and, when given, whose entries are replaced or added by
// the "NAME=value" texts of entries (a null-ended list); the process's own
// environment stays as it is. 1 when the whole block fitted, 0 otherwise.
int createNewEnv(char *nwEnv, size_t nwEnvSize, const char *newpath, const char *const *entries = NULL);
// Characters of the leading whole IDs of a comma list that fit in limit;
// 0 when the first ID alone is longer than limit.
size_t idChunkLength(const char *ids, size_t limit);
// Reads "ID budget" from the start of a " -l " answer: 1 when both were read,
// -1 when the ID does not fit distIDSize, 0 otherwise (outputs untouched on failure).
int scanListedDistribution(const char *output, char *distID, size_t distIDSize, int *budget);

// The first active distribution the job queue lists, and its logon budget.
typedef struct listed_distribution {
    char distID[UPCALL_MAX_LISTED_ID + 1];
    int budget;
} listed_distribution;
// 1 when the queue lists an active distribution that is not except (any, when
// except is null); *listed receives it.
int GW_IsPendingDistribution(const char *except, listed_distribution *listed);
int GW_PauseDistribution(const char *epname, const char *distID);
int GW_ResumeDistributions(const char *epname, const char *distIDlist, char **failedList);
int GW_ListAllPausedDistributions(char **pausedList);
int pauseDistribution(const char *epname, const char *distID, int maxLoginAllowed);
int resumeAllDistributions(paused_distribution_s *list, char **failList);
int verifyPausedDistributions(paused_distribution_s *list);
int isBlockingDistribution(paused_distribution_s *list);

#endif

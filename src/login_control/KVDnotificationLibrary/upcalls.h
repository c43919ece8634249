// upcalls: asks the upcall program about the job queue and reads its answers.
#ifndef KVD_UPCALLS_H
#define KVD_UPCALLS_H

#include <windows.h>
#include "utils.h"

char *execUpcall(const char *arguments, DWORD *exitCode);
int GW_IsPendingDistribution(const char *except);
int GW_PauseDistribution(const char *epname, const char *distID);
int GW_ResumeDistributions(const char *epname, const char *distIDlist, char **failedList);
int GW_ListAllPausedDistributions(char **pausedList);
int pauseDistribution(const char *epname, const char *distID, int maxLoginAllowed);
int resumeAllDistributions(paused_distribution_s *list, char **failList);
int verifyPausedDistributions(paused_distribution_s *list);
int isBlockingDistribution(paused_distribution_s *list);

#endif

// utils: persistent logon-control state, paused-distribution lists, popups and completion.
#ifndef KVD_UTILS_H
#define KVD_UTILS_H

#include <windows.h>

// ---- persistent logon-control state (main key) ----
int isPlanRunning();                    // 1 while a plan runs (budget not -2)
int readOrResetLogonBudget();           // the logon budget; -2 (no plan) written when unreadable
void setMaxLoginAllowed(int val);
int useOneLogon();                      // uses one logon of a positive budget; 0 when the budget is 0
char *retrieveRunningDistribution();    // the notify file's text (caller frees) or null
int denyLogonOnPauseError();
DWORD readStartUpBudget();              // DefaultShutdownAllowdBeforeReset, its default written back
DWORD readOrResetStartUpsLeft();        // _currShutdownLeft; the start-up budget written when unreadable
void setCurrentShutdownLeft(DWORD val);
void updateMaxShutdownAllowed(int reset);
void endPlan();                         // as ntfcfg -r ends it, but keeps the paused list and the deny hand-over

// ---- paused-distribution lists ----
typedef struct elem {
    char *epname;
    char *distID;
    int maxLoginAllowed;
} elem;

typedef struct paused_distribution_s {
    DWORD maximum;   // slots allocated
    DWORD size;      // slots in use
    elem *list;
} paused_distribution_s;

void initializeBuffer(paused_distribution_s *list);
int addToList(paused_distribution_s *list, const char *epname, const char *distID, int maxLoginAllowed);
void freePausedListStructure(paused_distribution_s *list);
paused_distribution_s *retrievePausedList();
int initializePausedList(paused_distribution_s *list);
int addToPersistentPausedList(const char *epname, const char *distID, int maxLoginAllowed);
int emptyPersistentPausedList();
int isContained(const char *work_id, const char *dists);
int updatePersistentPausedList(paused_distribution_s *list, const char *failList, const char *newPausedList);
// Adds the entries of stored "_pausedQueue" bytes to list, reading only those
// bytes; 1 when well formed, 0 when the structure is invalid.
int parsePausedQueue(paused_distribution_s *list, const char *bytes, DWORD length);

// ---- popups and shutdown at completion ----
DWORD changeRunningClients(int inc, int shutdownOnCompletion);
void showFinalPopup(int type);
void showLoginDeniedPopUp(int enable, int denyType, const char *currDistId);

#endif

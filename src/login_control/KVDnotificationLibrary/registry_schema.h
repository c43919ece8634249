// registry_schema: every key, value name and default of the package's settings and state.
//
// Everything lives under HKEY_LOCAL_MACHINE. Values whose names begin with an
// underscore are state written by the package itself; the others are
// configuration written by an administrator with ntfcfg. No part of the
// package ever creates one of the three keys.
#ifndef KVD_REGISTRY_SCHEMA_H
#define KVD_REGISTRY_SCHEMA_H

#include <windows.h>

#define KVD_ROOT HKEY_LOCAL_MACHINE

constexpr const char KVD_MAIN_KEY[] = "Software\\Orvane\\KVDNotification";
constexpr const char KVD_POPCTL_KEY[] = "Software\\Orvane\\KVDNotification\\popctl";
constexpr const char KVD_UPCALL_KEY[] = "Software\\Orvane\\KVDNotification\\upcall";

// ---- configuration in the main key ----
constexpr const char VAL_IS_ENABLED[] = "IsEnabled";                    // DWORD, on only when exactly 1
constexpr DWORD DEF_IS_ENABLED = 0;                                     // written back when missing
constexpr const char VAL_TRACE_LEVEL[] = "TraceLevel";                  // DWORD, 0 or missing: off
constexpr const char VAL_TRACE_PATH[] = "TracePath";                    // string, missing: off
constexpr const char VAL_DENY_POPUP_ENABLED[] = "DenyPopupEnabled";     // DWORD
constexpr DWORD DEF_DENY_POPUP_ENABLED = 1;                             // written back by popctl
constexpr const char VAL_POPUP_TIMEOUT[] = "PopUpTimeout";              // DWORD seconds, 0: no countdown
constexpr DWORD DEF_POPUP_TIMEOUT = 0;
constexpr const char VAL_LOGIN_DENIED_TITLE[] = "LoginDeniedTitle";
constexpr const char DEF_LOGIN_DENIED_TITLE[] = "Palvento Notification Message";
constexpr const char VAL_LOGIN_DENIED_MSG[] = "LoginDeniedMsg";         // deny type 0
constexpr const char DEF_LOGIN_DENIED_MSG[] = "The login is temorarly disabled to allow a distribution";
constexpr const char VAL_LOGIN_DENIED_MSG_ON_PAUSE_ERROR[] = "LoginDeniedMsgOnPauseError"; // deny type 1
constexpr const char DEF_LOGIN_DENIED_MSG_ON_PAUSE_ERROR[] =
    "The login is temorarly disabled to allow a distribution";
constexpr const char VAL_DENY_LOGON_ON_PAUSE_ERROR[] = "DenyLogonOnPauseError"; // DWORD
constexpr DWORD DEF_DENY_LOGON_ON_PAUSE_ERROR = 1;                      // written back by the library
constexpr const char VAL_SWITCH_POPUP_DESKTOP[] = "SwitchPopupDesktop"; // DWORD
constexpr DWORD DEF_SWITCH_POPUP_DESKTOP = 1;                           // written back by popctl
constexpr const char VAL_LOGOFF_TYPE[] = "LogoffType";                  // DWORD 0 normal, 1 forced, 2 force if hung
constexpr DWORD DEF_LOGOFF_TYPE = 0;
constexpr const char VAL_DEFAULT_SHUTDOWN_ALLOWED[] = "DefaultShutdownAllowdBeforeReset"; // DWORD
constexpr DWORD DEF_DEFAULT_SHUTDOWN_ALLOWED = 20;                      // written back by the library
constexpr const char VAL_COMPLETION_PROGRAM_PATH[] = "CompletionProgramPath"; // string, missing: none
constexpr const char VAL_COMPLETION_POPUP_ENABLED[] = "CompletionPopupEnabled"; // DWORD, missing: off
constexpr const char VAL_SHUTDOWN_POPUP_ENABLED[] = "ShutdownPopupEnabled";     // DWORD, missing: off
constexpr const char VAL_COMPLETION_POPUP_TITLE[] = "CompletionPopupTitle";
constexpr const char DEF_COMPLETION_POPUP_TITLE[] = "KVDNotification";
constexpr const char VAL_COMPLETION_POPUP_MSG[] = "CompletionPopupMsg";
constexpr const char DEF_COMPLETION_POPUP_MSG[] = "The distribution is completed\\nNow you can logon";
constexpr const char VAL_SHUTDOWN_POPUP_MSG[] = "ShutdownPopupMsg";
constexpr const char DEF_SHUTDOWN_POPUP_MSG[] = "The machine will shutdown when the distribution completes";

// ---- configuration in the popctl subkey ----
constexpr const char VAL_TITLE[] = "Title";
constexpr const char DEF_TITLE[] = "Palvento Notification Message";
constexpr const char VAL_MESSAGE[] = "Message";
constexpr const char DEF_MESSAGE[] = "A 'distribution plan' is currently running, please choose one option";
constexpr const char VAL_TIMEOUT[] = "Timeout";                         // DWORD seconds, 0: default action at once
constexpr DWORD DEF_TIMEOUT = 0;
constexpr const char VAL_LOGOFF_STRING[] = "LogoffString";
constexpr const char DEF_LOGOFF_STRING[] = "Logoff";
constexpr const char VAL_LOGOFF_SHUTDOWN_STRING[] = "LogoffShutdownString";
constexpr const char DEF_LOGOFF_SHUTDOWN_STRING[] = "Shutdown when distribution completes";
constexpr const char VAL_RESTART_STRING[] = "RestartString";
constexpr const char DEF_RESTART_STRING[] = "Restart";
constexpr const char VAL_DEFAULT_ACTION[] = "DefaultAction";            // DWORD 1, 2 or 3
constexpr DWORD DEF_DEFAULT_ACTION = 2;                                 // also for 0 and above 3
constexpr const char VAL_LEFT_LOGON_POPUP_ENABLED[] = "LeftLogonPopupEnabled"; // DWORD, missing: off
constexpr const char VAL_LEFT_LOGON_POPUP_MSG[] = "LeftLogonPopupMsg";  // "$(LEFT_LOGON)" replaced by the count
constexpr const char DEF_LEFT_LOGON_POPUP_MSG[] = "The current distribution has been paused\\nYour left logon are:";

// ---- configuration in the upcall subkey ----
constexpr const char VAL_UPCALL_PROGRAM[] = "UpcallProgram";            // string, required
constexpr const char VAL_UPCALL_TIMEOUT[] = "UpcallTimeout";            // DWORD used as signed
constexpr DWORD DEF_UPCALL_TIMEOUT = 120;                               // written back by the library
constexpr const char VAL_XEP_BINDIR[] = "XEP_BINDIR";                   // string, required
constexpr const char VAL_XEP_CACHEDIR[] = "XEP_CACHEDIR";               // string, required
constexpr const char VAL_XEP_DATDIR[] = "XEP_DATDIR";                   // string, required

// ---- state written by the package ----
constexpr const char VAL_MAX_LOGIN_ALLOWED[] = "_maxLoginAllowed";      // main; DWORD used as signed
constexpr int NO_PLAN_RUNNING = -2;                                     // the budget is -2 when no plan runs
constexpr const char VAL_RUNNING_CLIENTS[] = "_runningClients";         // main; DWORD, never below 0
constexpr const char VAL_PAUSED_QUEUE[] = "_pausedQueue";               // main; REG_MULTI_SZ triples
constexpr const char VAL_CURR_SHUTDOWN_LEFT[] = "_currShutdownLeft";    // main; DWORD
constexpr const char VAL_IS_ACTIVE[] = "_isActive";                     // popctl; DWORD
constexpr const char VAL_POPUP_TYPE[] = "_popupType";                   // popctl; DWORD 0 or 1
constexpr const char VAL_POPUP_DIST_ID[] = "_popupDistID";              // popctl; string

// The notify file the distribution engine keeps in the Windows directory.
constexpr const char NOTIFY_FILE_NAME[] = "\\__KVD_notification_distid_file__";
constexpr DWORD NOTIFY_FILE_MAX_BYTES = 200;

#endif

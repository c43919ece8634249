// registry_schema: every key, value name and default of the package's settings and state.
// The settings are one table (KVD_SETTINGS): the readers, ntfcfg and the
// installers' lists all come from it.
//
// Everything lives under HKEY_LOCAL_MACHINE. Values whose names begin with an
// underscore are state written by the package itself; the others are
// configuration written by an administrator with ntfcfg. No part of the
// package ever creates one of the three keys.
#ifndef KVD_REGISTRY_SCHEMA_H
#define KVD_REGISTRY_SCHEMA_H

#include <windows.h>
#include <string.h>

#define KVD_ROOT HKEY_LOCAL_MACHINE

constexpr const char KVD_MAIN_KEY[] = "Software\\Orvane\\KVDNotification";
constexpr const char KVD_POPCTL_KEY[] = "Software\\Orvane\\KVDNotification\\popctl";
constexpr const char KVD_UPCALL_KEY[] = "Software\\Orvane\\KVDNotification\\upcall";

// Group Policy: a setting's value under these keys, of the row's type, wins
// over the one under the three keys above. Nothing of the package writes there.
constexpr const char KVD_POLICY_MAIN_KEY[] = "Software\\Policies\\Orvane\\KVDNotification";
constexpr const char KVD_POLICY_POPCTL_KEY[] = "Software\\Policies\\Orvane\\KVDNotification\\popctl";
constexpr const char KVD_POLICY_UPCALL_KEY[] = "Software\\Policies\\Orvane\\KVDNotification\\upcall";

// ---- configuration: one row per setting ----
//
// id       names the row: SETTING_<id> indexes SETTINGS, VAL_<id> is the value
//          name and DEF_<id> the default the readers apply when the value is
//          missing or of another type.
// type     FLAG (a DWORD read as a switch, ntfcfg takes true or false), NUMBER
//          (a DWORD), TEXT (a string); TEXT_WITHOUT_DEFAULT has no default:
//          its readers do without the value.
// back     WRITTEN_BACK: the reader writes the default back when it applies it.
// option   the ntfcfg option letter.
// install  how the installers treat the value: KEPT leaves a value already set
//          as it is on an upgrade or repair, RENEWED writes it at every
//          installation (the installed programs' paths).
// value    what a new installation writes, in the installer's formatted syntax:
//          [INSTALLDIR] is the program folder with its final backslash,
//          [WindowsFolder] the Windows folder; NULL: the default.
// A value given to an installer on its command line wins over both.
// lowest, highest (NUMBER only) the values the readers make sense of
//          (ANY_NUMBER: no limit of their own); choices: NULL, or what each
//          value from the lowest on means, separated by "|".
// meaning  what the setting does, for the Group Policy template (choices and
//          meaning are NULL in the package's binaries).
#define KVD_SETTINGS(FLAG, NUMBER, TEXT, TEXT_WITHOUT_DEFAULT) \
    /* id, key, value name, default, back, option, install, value, [lowest, highest, choices,] meaning */ \
    FLAG(IS_ENABLED, MAIN, "IsEnabled", 0, WRITTEN_BACK, 'e', KEPT, "1", \
         "Switch the logon control on (off: logons, logoffs and shutdowns are not controlled)") \
    NUMBER(TRACE_LEVEL, MAIN, "TraceLevel", 0, NOT_WRITTEN, 'x', KEPT, NULL, 0, 2, NULL, \
           "Trace level: 0 no trace file, 1 the main lines, 2 also the detailed lines") \
    TEXT_WITHOUT_DEFAULT(TRACE_PATH, MAIN, "TracePath", NOT_WRITTEN, 'y', KEPT, \
                         "[WindowsFolder]KVDNotification.log", \
                         "Trace file (processes of session N write to this name followed by .N)") \
    FLAG(DENY_POPUP_ENABLED, MAIN, "DenyPopupEnabled", 1, WRITTEN_BACK, 'p', KEPT, NULL, \
         "Show the deny popup before a refused logon is logged off") \
    NUMBER(POPUP_TIMEOUT, MAIN, "PopUpTimeout", 0, NOT_WRITTEN, 't', KEPT, NULL, 0, ANY_NUMBER, NULL, \
           "Seconds the deny popup counts down before the logoff (0: no countdown)") \
    TEXT(LOGIN_DENIED_TITLE, MAIN, "LoginDeniedTitle", "Palvento Notification Message", NOT_WRITTEN, 'l', \
         KEPT, NULL, "Caption of the deny popup") \
    TEXT(LOGIN_DENIED_MSG, MAIN, "LoginDeniedMsg", "The login is temporarily disabled to allow a distribution", \
         NOT_WRITTEN, 'L', KEPT, NULL, "Message of the deny popup when the logon budget is used up") \
    FLAG(DENY_LOGON_ON_PAUSE_ERROR, MAIN, "DenyLogonOnPauseError", 1, WRITTEN_BACK, 'm', KEPT, NULL, \
         "Refuse a logon when the running distribution cannot be paused") \
    TEXT(LOGIN_DENIED_MSG_ON_PAUSE_ERROR, MAIN, "LoginDeniedMsgOnPauseError", \
         "The login is temporarily disabled to allow a distribution", NOT_WRITTEN, 'M', KEPT, NULL, \
         "Message of the deny popup when the distribution cannot be paused ($(DIST_ID): its ID)") \
    FLAG(SWITCH_POPUP_DESKTOP, MAIN, "SwitchPopupDesktop", 1, WRITTEN_BACK, 's', KEPT, NULL, \
         "Show the deny popup on a desktop of its own") \
    NUMBER(DEFAULT_SHUTDOWN_ALLOWED, MAIN, "DefaultShutdownAllowdBeforeReset", 20, WRITTEN_BACK, 'd', KEPT, \
           NULL, 0, ANY_NUMBER, NULL, "Start-ups during a plan after which the logon restriction is lifted") \
    NUMBER(LOGOFF_TYPE, MAIN, "LogoffType", 0, NOT_WRITTEN, 'o', KEPT, NULL, 0, 2, \
           "Normal|Forced|Forced if a program hangs", "How a refused user is logged off") \
    TEXT_WITHOUT_DEFAULT(COMPLETION_PROGRAM_PATH, MAIN, "CompletionProgramPath", NOT_WRITTEN, 'b', RENEWED, \
                         "[INSTALLDIR]donemsg.exe", "Program that shows the completion messages (donemsg.exe)") \
    FLAG(COMPLETION_POPUP_ENABLED, MAIN, "CompletionPopupEnabled", 0, NOT_WRITTEN, 'c', KEPT, NULL, \
         "Show a message when the distribution completes") \
    TEXT(COMPLETION_POPUP_TITLE, MAIN, "CompletionPopupTitle", "KVDNotification", NOT_WRITTEN, 'u', KEPT, NULL, \
         "Caption of the completion and shutdown messages") \
    TEXT(COMPLETION_POPUP_MSG, MAIN, "CompletionPopupMsg", "The distribution is completed\\nNow you can logon", \
         NOT_WRITTEN, 'v', KEPT, NULL, "Message shown when the distribution completes") \
    FLAG(SHUTDOWN_POPUP_ENABLED, MAIN, "ShutdownPopupEnabled", 0, NOT_WRITTEN, 'w', KEPT, NULL, \
         "Show a message before the shutdown at completion") \
    TEXT(SHUTDOWN_POPUP_MSG, MAIN, "ShutdownPopupMsg", "The machine will shutdown when the distribution completes", \
         NOT_WRITTEN, 'z', KEPT, NULL, "Message shown before the shutdown at completion") \
    TEXT(TITLE, POPCTL, "Title", "Palvento Notification Message", NOT_WRITTEN, 'E', KEPT, NULL, \
         "Caption of the shutdown choice popup") \
    TEXT(MESSAGE, POPCTL, "Message", "A 'distribution plan' is currently running, please choose one option", \
         NOT_WRITTEN, 'F', KEPT, NULL, "Message of the shutdown choice popup") \
    NUMBER(TIMEOUT, POPCTL, "Timeout", 0, NOT_WRITTEN, 'G', KEPT, NULL, 0, ANY_NUMBER, NULL, \
           "Seconds the shutdown choice popup counts down (0: the default action at once, without popup)") \
    TEXT(LOGOFF_STRING, POPCTL, "LogoffString", "Logoff", NOT_WRITTEN, 'T', KEPT, NULL, \
         "Choice that logs off") \
    TEXT(LOGOFF_SHUTDOWN_STRING, POPCTL, "LogoffShutdownString", "Shutdown when distribution completes", \
         NOT_WRITTEN, 'H', KEPT, NULL, "Choice that logs off and shuts down when the distribution completes") \
    TEXT(RESTART_STRING, POPCTL, "RestartString", "Restart", NOT_WRITTEN, 'K', KEPT, NULL, \
         "Choice that restarts at once") \
    /* 2 also for 0 and above 3 */ \
    NUMBER(DEFAULT_ACTION, POPCTL, "DefaultAction", 2, NOT_WRITTEN, 'J', KEPT, NULL, 1, 3, \
           "Logoff|Shutdown when the distribution completes|Restart", \
           "Choice taken when the countdown of the shutdown choice popup ends") \
    NUMBER(LEFT_LOGON_POPUP_ENABLED, POPCTL, "LeftLogonPopupEnabled", 0, NOT_WRITTEN, 'P', KEPT, NULL, 0, 1, NULL, \
           "Tell a user at logon how many logons the plan leaves") \
    /* the reader appends a blank and the count to the default; "$(LEFT_LOGON)" is replaced by it */ \
    TEXT(LEFT_LOGON_POPUP_MSG, POPCTL, "LeftLogonPopupMsg", \
         "The current distribution has been paused\\nYour left logon are:", NOT_WRITTEN, 'Q', KEPT, \
         "The current distribution has been paused\\nYour left logon are: $(LEFT_LOGON)", \
         "Message of the remaining-logons box ($(LEFT_LOGON): the count)") \
    TEXT_WITHOUT_DEFAULT(UPCALL_PROGRAM, UPCALL, "UpcallProgram", NOT_WRITTEN, 'U', RENEWED, \
                         "[INSTALLDIR]jobupcall.exe", \
                         "Program the library runs to list, pause and resume jobs (jobupcall.exe)") \
    /* used as signed, a negative value as 0 */ \
    NUMBER(UPCALL_TIMEOUT, UPCALL, "UpcallTimeout", 120, WRITTEN_BACK, 'W', KEPT, NULL, 0, ANY_NUMBER, NULL, \
           "Seconds a job queue call of an upcall may take (0: the service runtime's own limit)") \
    TEXT_WITHOUT_DEFAULT(XEP_BINDIR, UPCALL, "XEP_BINDIR", NOT_WRITTEN, 'B', KEPT, "[INSTALLDIR]endpoint\\bin", \
                         "Endpoint bin folder, where the service runtime is") \
    TEXT_WITHOUT_DEFAULT(XEP_CACHEDIR, UPCALL, "XEP_CACHEDIR", NOT_WRITTEN, 'C', KEPT, \
                         "[INSTALLDIR]endpoint\\cache", "Endpoint cache folder") \
    TEXT_WITHOUT_DEFAULT(XEP_DATDIR, UPCALL, "XEP_DATDIR", NOT_WRITTEN, 'D', KEPT, "[INSTALLDIR]endpoint\\dat", \
                         "Endpoint data folder, where the job queue is")

enum setting_type { SETTING_FLAG = 1, SETTING_NUMBER = 2, SETTING_TEXT = 3 };
enum setting_install { INSTALL_KEPT, INSTALL_RENEWED };

struct setting_row {
    const char *key;
    const char *name;
    setting_type type;
    DWORD number;               // default of a FLAG or NUMBER
    const char *text;           // default of a TEXT; NULL: none
    bool writtenBack;
    char option;                // ntfcfg letter
    setting_install install;
    const char *installed;      // NULL: the default
    const char *policyKey;      // where Group Policy sets it
    DWORD lowest;               // the values the readers make sense of
    DWORD highest;
    const char *choices;        // NULL, or the meaning of each value from the lowest on, "|" between
    const char *meaning;
};

constexpr DWORD ANY_NUMBER = 0x7FFFFFFF;   // a NUMBER's highest value when its readers have none

#define KVD_KEY_OF_MAIN KVD_MAIN_KEY
#define KVD_KEY_OF_POPCTL KVD_POPCTL_KEY
#define KVD_KEY_OF_UPCALL KVD_UPCALL_KEY
#define KVD_POLICY_KEY_OF_MAIN KVD_POLICY_MAIN_KEY
#define KVD_POLICY_KEY_OF_POPCTL KVD_POLICY_POPCTL_KEY
#define KVD_POLICY_KEY_OF_UPCALL KVD_POLICY_UPCALL_KEY
#define KVD_BACK_WRITTEN_BACK true
#define KVD_BACK_NOT_WRITTEN false

#define KVD_SETTING_ID(id, ...) SETTING_##id,
enum setting_id { KVD_SETTINGS(KVD_SETTING_ID, KVD_SETTING_ID, KVD_SETTING_ID, KVD_SETTING_ID) SETTING_COUNT };
#undef KVD_SETTING_ID

#define KVD_SETTING_NAME(id, key, name, ...) constexpr const char VAL_##id[] = name;
KVD_SETTINGS(KVD_SETTING_NAME, KVD_SETTING_NAME, KVD_SETTING_NAME, KVD_SETTING_NAME)
#undef KVD_SETTING_NAME

#define KVD_NUMBER_DEFAULT(id, key, name, value, ...) constexpr DWORD DEF_##id = value;
#define KVD_TEXT_DEFAULT(id, key, name, value, ...) constexpr const char DEF_##id[] = value;
#define KVD_NO_DEFAULT(...)
KVD_SETTINGS(KVD_NUMBER_DEFAULT, KVD_NUMBER_DEFAULT, KVD_TEXT_DEFAULT, KVD_NO_DEFAULT)
#undef KVD_NUMBER_DEFAULT
#undef KVD_TEXT_DEFAULT
#undef KVD_NO_DEFAULT

// The template's texts are kept only where the template is written (settings_lists).
#ifdef KVD_TEMPLATE_TEXTS
#define KVD_TEMPLATE_TEXT(text) text
#else
#define KVD_TEMPLATE_TEXT(text) NULL
#endif
#define KVD_ROW(id, key, type, number, text, back, option, install, installed, lowest, highest, choices, meaning) \
    {KVD_KEY_OF_##key, VAL_##id, type, number, text, KVD_BACK_##back, option, INSTALL_##install, installed, \
     KVD_POLICY_KEY_OF_##key, lowest, highest, KVD_TEMPLATE_TEXT(choices), KVD_TEMPLATE_TEXT(meaning)},
#define KVD_FLAG_ROW(id, key, name, value, back, option, install, installed, meaning) \
    KVD_ROW(id, key, SETTING_FLAG, value, NULL, back, option, install, installed, 0, 1, NULL, meaning)
#define KVD_NUMBER_ROW(id, key, name, value, back, option, install, installed, lowest, highest, choices, meaning) \
    KVD_ROW(id, key, SETTING_NUMBER, value, NULL, back, option, install, installed, lowest, highest, choices, meaning)
#define KVD_TEXT_ROW(id, key, name, value, back, option, install, installed, meaning) \
    KVD_ROW(id, key, SETTING_TEXT, 0, DEF_##id, back, option, install, installed, 0, 0, NULL, meaning)
#define KVD_BARE_TEXT_ROW(id, key, name, back, option, install, installed, meaning) \
    KVD_ROW(id, key, SETTING_TEXT, 0, NULL, back, option, install, installed, 0, 0, NULL, meaning)
inline constexpr setting_row SETTINGS[SETTING_COUNT] = {
    KVD_SETTINGS(KVD_FLAG_ROW, KVD_NUMBER_ROW, KVD_TEXT_ROW, KVD_BARE_TEXT_ROW)
};
#undef KVD_ROW
#undef KVD_TEMPLATE_TEXT
#undef KVD_FLAG_ROW
#undef KVD_NUMBER_ROW
#undef KVD_TEXT_ROW
#undef KVD_BARE_TEXT_ROW

// ---- state written by the package: one row per value ----
//
// id       VAL_<id> is the value name, STATE_<id> indexes STATE.
// type     REG_DWORD, REG_SZ or REG_MULTI_SZ.
// value    what WRITTEN writes (DWORDs only).
// ended    what ending a plan does with it, however the plan ends (its last
//          client ends, the start-up budget runs out): WRITTEN writes the
//          value, RESTARTED writes DefaultShutdownAllowdBeforeReset (the next
//          plan gets a full count of start-ups), KEPT leaves it.
// recovered what ntfcfg -r does with it: WRITTEN, or REMOVED.
// The paused list outlives the plan's end: the resume loop still resumes it.
// The deny hand-over lives until the next allowed logon.
#define KVD_STATE(ROW) \
    /* id, key, value name, type, value, ended, recovered */ \
    ROW(MAX_LOGIN_ALLOWED, MAIN, "_maxLoginAllowed", REG_DWORD, (DWORD)-2, WRITTEN, WRITTEN) /* used as signed */ \
    ROW(RUNNING_CLIENTS, MAIN, "_runningClients", REG_DWORD, 0, WRITTEN, WRITTEN)          /* never below 0 */ \
    ROW(IS_ACTIVE, POPCTL, "_isActive", REG_DWORD, 0, WRITTEN, WRITTEN)                    /* popctl refuses shutdowns */ \
    ROW(CURR_SHUTDOWN_LEFT, MAIN, "_currShutdownLeft", REG_DWORD, 0, RESTARTED, REMOVED)   /* missing: the full count */ \
    ROW(PAUSED_QUEUE, MAIN, "_pausedQueue", REG_MULTI_SZ, 0, KEPT, REMOVED)                /* triples */ \
    ROW(POPUP_TYPE, POPCTL, "_popupType", REG_DWORD, 0, KEPT, REMOVED)                     /* 0 or 1 */ \
    ROW(POPUP_DIST_ID, POPCTL, "_popupDistID", REG_SZ, 0, KEPT, REMOVED)

enum state_action { STATE_WRITTEN, STATE_RESTARTED, STATE_KEPT, STATE_REMOVED };
enum plan_ending { PLAN_ENDED, PLAN_RECOVERED };

struct state_row {
    const char *key;
    const char *name;
    DWORD type;
    DWORD value;
    state_action ended;
    state_action recovered;
};

#define KVD_STATE_ID(id, ...) STATE_##id,
enum state_id { KVD_STATE(KVD_STATE_ID) STATE_COUNT };
#undef KVD_STATE_ID

#define KVD_STATE_NAME(id, key, name, ...) constexpr const char VAL_##id[] = name;
KVD_STATE(KVD_STATE_NAME)
#undef KVD_STATE_NAME

#define KVD_STATE_ROW(id, key, name, type, value, ended, recovered) \
    {KVD_KEY_OF_##key, name, type, value, STATE_##ended, STATE_##recovered},
inline constexpr state_row STATE[STATE_COUNT] = {KVD_STATE(KVD_STATE_ROW)};
#undef KVD_STATE_ROW

constexpr int NO_PLAN_RUNNING = (int)STATE[STATE_MAX_LOGIN_ALLOWED].value;   // the budget is -2 when no plan runs

// ---- the logon process's registration of the package ----
// Under HKEY_LOCAL_MACHINE. value is in the installers' formatted syntax:
// [INSTALLDIR] is the program folder with its final backslash. settings_lists
// writes the MSI's and the kit's registration and removal from this list; the
// stand-ins load the library and its handlers as it names them.
constexpr const char NOTIFY_KEY[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Notify\\KVDNotification";
constexpr const char RUN_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char NOTIFY_DLL_NAME[] = "DLLName";
constexpr const char NOTIFY_LOGON[] = "Logon";
constexpr const char NOTIFY_LOGOFF[] = "Logoff";
constexpr const char NOTIFY_STARTUP[] = "StartUp";
constexpr const char NOTIFY_SHUTDOWN[] = "Shutdown";
constexpr const char RUN_POPCTL[] = "KVDpopctl";

struct registration_value {
    const char *key;
    const char *name;
    DWORD type;          // REG_EXPAND_SZ, REG_SZ or REG_DWORD
    const char *value;
};

inline constexpr registration_value REGISTRATION_VALUES[] = {
    {NOTIFY_KEY, NOTIFY_DLL_NAME, REG_EXPAND_SZ, "[INSTALLDIR]KVDnotificationLibrary.dll"},
    // the handler each notification calls, by its export name
    {NOTIFY_KEY, NOTIFY_LOGON, REG_SZ, "KVDEventLogon"},
    {NOTIFY_KEY, NOTIFY_LOGOFF, REG_SZ, "KVDEventLogoff"},
    {NOTIFY_KEY, NOTIFY_STARTUP, REG_SZ, "KVDEventStartUp"},
    {NOTIFY_KEY, NOTIFY_SHUTDOWN, REG_SZ, "KVDEventShutdown"},
    {NOTIFY_KEY, "Asynchronous", REG_DWORD, "1"},
    {NOTIFY_KEY, "Impersonate", REG_DWORD, "0"},
    // popctl starts in every logon
    {RUN_KEY, RUN_POPCTL, REG_SZ, "\"[INSTALLDIR]popctl.exe\""},
};

// The registered text of a value of the table (a handler's export name); "" when none.
inline const char *registeredText(const char *name)
{
    for (const registration_value &row : REGISTRATION_VALUES) {
        if (strcmp(row.name, name) == 0)
            return row.value;
    }
    return "";
}

// A user's own request for shutdown at completion: popctl writes it in the
// user's hive (HKEY_CURRENT_USER, the same key path as the main key), where
// only that user and the logon process reach it; the logoff handler reads it
// through the user's token and removes it.
constexpr const char VAL_USER_SHUTDOWN_REQUEST[] = "_shutdownWhenComplete";   // DWORD 1

// The notify file the distribution engine keeps in the Windows directory.
constexpr const char NOTIFY_FILE_NAME[] = "\\__KVD_notification_distid_file__";
constexpr DWORD NOTIFY_FILE_MAX_BYTES = 200;

#endif

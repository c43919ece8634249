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

#define KVD_ROOT HKEY_LOCAL_MACHINE

constexpr const char KVD_MAIN_KEY[] = "Software\\Orvane\\KVDNotification";
constexpr const char KVD_POPCTL_KEY[] = "Software\\Orvane\\KVDNotification\\popctl";
constexpr const char KVD_UPCALL_KEY[] = "Software\\Orvane\\KVDNotification\\upcall";

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
#define KVD_SETTINGS(FLAG, NUMBER, TEXT, TEXT_WITHOUT_DEFAULT) \
    /* id, key, value name, default, back, option, install, value */ \
    FLAG(IS_ENABLED, MAIN, "IsEnabled", 0, WRITTEN_BACK, 'e', KEPT, "1") \
    NUMBER(TRACE_LEVEL, MAIN, "TraceLevel", 0, NOT_WRITTEN, 'x', KEPT, NULL) \
    TEXT_WITHOUT_DEFAULT(TRACE_PATH, MAIN, "TracePath", NOT_WRITTEN, 'y', KEPT, \
                         "[WindowsFolder]KVDNotification.log") \
    FLAG(DENY_POPUP_ENABLED, MAIN, "DenyPopupEnabled", 1, WRITTEN_BACK, 'p', KEPT, NULL) \
    NUMBER(POPUP_TIMEOUT, MAIN, "PopUpTimeout", 0, NOT_WRITTEN, 't', KEPT, NULL) \
    TEXT(LOGIN_DENIED_TITLE, MAIN, "LoginDeniedTitle", "Palvento Notification Message", NOT_WRITTEN, 'l', \
         KEPT, NULL) \
    TEXT(LOGIN_DENIED_MSG, MAIN, "LoginDeniedMsg", "The login is temporarily disabled to allow a distribution", \
         NOT_WRITTEN, 'L', KEPT, NULL) \
    FLAG(DENY_LOGON_ON_PAUSE_ERROR, MAIN, "DenyLogonOnPauseError", 1, WRITTEN_BACK, 'm', KEPT, NULL) \
    TEXT(LOGIN_DENIED_MSG_ON_PAUSE_ERROR, MAIN, "LoginDeniedMsgOnPauseError", \
         "The login is temporarily disabled to allow a distribution", NOT_WRITTEN, 'M', KEPT, NULL) \
    FLAG(SWITCH_POPUP_DESKTOP, MAIN, "SwitchPopupDesktop", 1, WRITTEN_BACK, 's', KEPT, NULL) \
    NUMBER(DEFAULT_SHUTDOWN_ALLOWED, MAIN, "DefaultShutdownAllowdBeforeReset", 20, WRITTEN_BACK, 'd', KEPT, \
           NULL) \
    NUMBER(LOGOFF_TYPE, MAIN, "LogoffType", 0, NOT_WRITTEN, 'o', KEPT, NULL) \
    TEXT_WITHOUT_DEFAULT(COMPLETION_PROGRAM_PATH, MAIN, "CompletionProgramPath", NOT_WRITTEN, 'b', RENEWED, \
                         "[INSTALLDIR]donemsg.exe") \
    FLAG(COMPLETION_POPUP_ENABLED, MAIN, "CompletionPopupEnabled", 0, NOT_WRITTEN, 'c', KEPT, NULL) \
    TEXT(COMPLETION_POPUP_TITLE, MAIN, "CompletionPopupTitle", "KVDNotification", NOT_WRITTEN, 'u', KEPT, NULL) \
    TEXT(COMPLETION_POPUP_MSG, MAIN, "CompletionPopupMsg", "The distribution is completed\\nNow you can logon", \
         NOT_WRITTEN, 'v', KEPT, NULL) \
    FLAG(SHUTDOWN_POPUP_ENABLED, MAIN, "ShutdownPopupEnabled", 0, NOT_WRITTEN, 'w', KEPT, NULL) \
    TEXT(SHUTDOWN_POPUP_MSG, MAIN, "ShutdownPopupMsg", "The machine will shutdown when the distribution completes", \
         NOT_WRITTEN, 'z', KEPT, NULL) \
    TEXT(TITLE, POPCTL, "Title", "Palvento Notification Message", NOT_WRITTEN, 'E', KEPT, NULL) \
    TEXT(MESSAGE, POPCTL, "Message", "A 'distribution plan' is currently running, please choose one option", \
         NOT_WRITTEN, 'F', KEPT, NULL) \
    NUMBER(TIMEOUT, POPCTL, "Timeout", 0, NOT_WRITTEN, 'G', KEPT, NULL) \
    TEXT(LOGOFF_STRING, POPCTL, "LogoffString", "Logoff", NOT_WRITTEN, 'T', KEPT, NULL) \
    TEXT(LOGOFF_SHUTDOWN_STRING, POPCTL, "LogoffShutdownString", "Shutdown when distribution completes", \
         NOT_WRITTEN, 'H', KEPT, NULL) \
    TEXT(RESTART_STRING, POPCTL, "RestartString", "Restart", NOT_WRITTEN, 'K', KEPT, NULL) \
    /* 2 also for 0 and above 3 */ \
    NUMBER(DEFAULT_ACTION, POPCTL, "DefaultAction", 2, NOT_WRITTEN, 'J', KEPT, NULL) \
    NUMBER(LEFT_LOGON_POPUP_ENABLED, POPCTL, "LeftLogonPopupEnabled", 0, NOT_WRITTEN, 'P', KEPT, NULL) \
    /* the reader appends a blank and the count to the default; "$(LEFT_LOGON)" is replaced by it */ \
    TEXT(LEFT_LOGON_POPUP_MSG, POPCTL, "LeftLogonPopupMsg", \
         "The current distribution has been paused\\nYour left logon are:", NOT_WRITTEN, 'Q', KEPT, \
         "The current distribution has been paused\\nYour left logon are: $(LEFT_LOGON)") \
    TEXT_WITHOUT_DEFAULT(UPCALL_PROGRAM, UPCALL, "UpcallProgram", NOT_WRITTEN, 'U', RENEWED, \
                         "[INSTALLDIR]jobupcall.exe") \
    /* used as signed, a negative value as 0 */ \
    NUMBER(UPCALL_TIMEOUT, UPCALL, "UpcallTimeout", 120, WRITTEN_BACK, 'W', KEPT, NULL) \
    TEXT_WITHOUT_DEFAULT(XEP_BINDIR, UPCALL, "XEP_BINDIR", NOT_WRITTEN, 'B', KEPT, "[INSTALLDIR]endpoint\\bin") \
    TEXT_WITHOUT_DEFAULT(XEP_CACHEDIR, UPCALL, "XEP_CACHEDIR", NOT_WRITTEN, 'C', KEPT, \
                         "[INSTALLDIR]endpoint\\cache") \
    TEXT_WITHOUT_DEFAULT(XEP_DATDIR, UPCALL, "XEP_DATDIR", NOT_WRITTEN, 'D', KEPT, "[INSTALLDIR]endpoint\\dat")

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
};

#define KVD_KEY_OF_MAIN KVD_MAIN_KEY
#define KVD_KEY_OF_POPCTL KVD_POPCTL_KEY
#define KVD_KEY_OF_UPCALL KVD_UPCALL_KEY
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

#define KVD_ROW(id, key, type, number, text, back, option, install, installed) \
    {KVD_KEY_OF_##key, VAL_##id, type, number, text, KVD_BACK_##back, option, INSTALL_##install, installed},
#define KVD_FLAG_ROW(id, key, name, value, back, option, install, installed) \
    KVD_ROW(id, key, SETTING_FLAG, value, NULL, back, option, install, installed)
#define KVD_NUMBER_ROW(id, key, name, value, back, option, install, installed) \
    KVD_ROW(id, key, SETTING_NUMBER, value, NULL, back, option, install, installed)
#define KVD_TEXT_ROW(id, key, name, value, back, option, install, installed) \
    KVD_ROW(id, key, SETTING_TEXT, 0, DEF_##id, back, option, install, installed)
#define KVD_BARE_TEXT_ROW(id, key, name, back, option, install, installed) \
    KVD_ROW(id, key, SETTING_TEXT, 0, NULL, back, option, install, installed)
inline constexpr setting_row SETTINGS[SETTING_COUNT] = {
    KVD_SETTINGS(KVD_FLAG_ROW, KVD_NUMBER_ROW, KVD_TEXT_ROW, KVD_BARE_TEXT_ROW)
};
#undef KVD_ROW
#undef KVD_FLAG_ROW
#undef KVD_NUMBER_ROW
#undef KVD_TEXT_ROW
#undef KVD_BARE_TEXT_ROW

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

// Installing, upgrading, repairing and removing the package with Wine's msiexec
// and with the .cmd kit. Runs in a Wine prefix of its own (run_in_fresh_prefix.sh).
#include "test_support.h"
#include "event_source.h"
#include "kvd_events.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

using namespace kvdtest;

namespace {

const char *const PACKAGE_KEYS[] = {KVD_MAIN_KEY, KVD_POPCTL_KEY, KVD_UPCALL_KEY};
const DWORD MSIEXEC_WAIT_MS = 300000;

typedef std::map<std::string, std::string> values;   // value name -> registry bytes

std::string textBytes(const std::string &text)
{
    return text + '\0';
}

std::string textOf(const char *key, const char *name)
{
    std::string text = "(none)";
    getString(key, name, &text);
    return text;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// What a new installation into folder writes for every row, as registry bytes.
values installedValues(const std::string &folder)
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof(windows));
    values expected;
    for (const setting_row &row : SETTINGS) {
        std::string value = row.installed != NULL ? row.installed
                          : row.type == SETTING_TEXT ? row.text : std::to_string(row.number);
        value = replaced(replaced(value, "[INSTALLDIR]", folder + "\\"), "[WindowsFolder]", std::string(windows) + "\\");
        expected[row.name] = row.type == SETTING_TEXT ? textBytes(value) : dwordBytes((DWORD)std::stoul(value));
    }
    return expected;
}

// The three keys hold exactly the table's rows, each of its type and with its bytes.
void expectTableRows(const values &expected)
{
    size_t seen = 0;
    for (const char *key : PACKAGE_KEYS) {
        HKEY handle;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle)) << key;
        char name[256];
        for (DWORD index = 0;; index++) {
            DWORD nameSize = sizeof(name);
            if (RegEnumValueA(handle, index, name, &nameSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
                break;
            const setting_row *row = NULL;
            for (const setting_row &candidate : SETTINGS) {
                if (std::string(candidate.key) == key && std::string(candidate.name) == name)
                    row = &candidate;
            }
            ASSERT_TRUE(row != NULL) << "not a setting of the table: " << key << "\\" << name;
            DWORD type;
            std::string bytes;
            ASSERT_TRUE(getRaw(key, name, &type, &bytes));
            EXPECT_EQ(row->type == SETTING_TEXT ? (DWORD)REG_SZ : (DWORD)REG_DWORD, type) << name;
            EXPECT_EQ(expected.at(name), bytes) << name;
            seen++;
        }
        RegCloseKey(handle);
    }
    EXPECT_EQ(expected.size(), seen);
}

// A value as its list gives it: of its type, [INSTALLDIR] being folder.
void expectRegistered(const char *key, const char *name, DWORD type, const char *value, const std::string &folder)
{
    DWORD stored;
    std::string bytes;
    ASSERT_TRUE(getRaw(key, name, &stored, &bytes)) << name;
    EXPECT_EQ(type, stored) << name;
    std::string expected = replaced(value, "[INSTALLDIR]", folder + "\\");
    EXPECT_EQ(type == REG_DWORD ? dwordBytes(std::stoul(expected)) : textBytes(expected), bytes) << name;
}

// The registration with the logon process and the event source as their
// lists give them; Event Viewer finds the sentences in the registered message
// file (when the library is there).
void expectRegistrations(const std::string &folder, bool libraryInstalled)
{
    for (const registration_value &row : REGISTRATION_VALUES)
        expectRegistered(row.key, row.name, row.type, row.value, folder);
    for (const event_source_value &value : EVENT_SOURCE_VALUES)
        expectRegistered(EVENT_SOURCE_KEY, value.name, value.type, value.value, folder);
    DWORD type;
    std::string messageFile;
    if (libraryInstalled && getRaw(EVENT_SOURCE_KEY, "EventMessageFile", &type, &messageFile)) {
        EXPECT_EQ("The distribution plan ended: logons on this machine are no longer counted or refused.",
                  formatEvent(messageFile.c_str(), KVD_EVENT_PLAN_ENDED, {})) << messageFile;
    }
}

void expectNothingLeft(const std::string &folder)
{
    EXPECT_FALSE(keyExists(EVENT_SOURCE_KEY));
    EXPECT_FALSE(keyExists("Software\\Orvane\\KVDNotification"));
    EXPECT_FALSE(keyExists(NOTIFY_KEY));
    EXPECT_FALSE(valueExists(RUN_KEY, RUN_POPCTL));
    if (!folder.empty()) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(folder.c_str())) << folder;
    }
}

ProcessResult msiexec(const std::string &arguments)
{
    return runProgram("msiexec /qn " + arguments, MSIEXEC_WAIT_MS);
}

std::string msi()
{
    return "\"" + winPath(KVD_MSI_UNIX) + "\"";
}

// The folder the package was installed into, from its notification package registration.
std::string installedFolder()
{
    DWORD type;
    std::string dll;
    if (!getRaw(NOTIFY_KEY, NOTIFY_DLL_NAME, &type, &dll))
        return "";
    return dll.substr(0, dll.rfind('\\'));
}

// A standard user may read the three keys and change nothing in them.
void expectKeysSecured()
{
    HANDLE user = standardUserToken(false);
    ASSERT_TRUE(ImpersonateLoggedOnUser(user));
    for (const char *key : PACKAGE_KEYS) {
        HKEY handle;
        LONG read = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle);
        if (read == ERROR_SUCCESS)
            RegCloseKey(handle);
        EXPECT_EQ(ERROR_SUCCESS, read) << key;
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &handle)) << key;
    }
    RevertToSelf();
    CloseHandle(user);
}

}  // namespace

// The kit, then the MSI with public properties: each writes every row of the
// table and nothing else, and each removal leaves nothing behind.
TEST(Installer, test_kit_and_msi_write_exactly_the_table_rows)
{
    std::string kit = winPath(KVD_KIT_UNIX);
    ASSERT_EQ(0u, runProgram("cmd /c \"" + kit + "\\install.cmd\"").exitCode);
    std::string folder = installedFolder();
    EXPECT_NE(std::string::npos, folder.find("Program Files\\Orvane KVDNotification")) << folder;
    expectTableRows(installedValues(folder));
    expectKeysSecured();
    expectRegistrations(folder, true);
    ASSERT_EQ(0u, runProgram("cmd /c \"" + kit + "\\uninstall.cmd\"").exitCode);
    expectNothingLeft(folder);

    ProcessResult install = msiexec("/i " + msi() + " TIMEOUT=30 ISENABLED=0 UPCALLTIMEOUT=-5"
                                     " TRACEPATH=C:\\kvd.log \"MESSAGE=Choose, please\" XEP_DATDIR=C:\\endpoint\\dat");
    ASSERT_EQ(0u, install.exitCode) << install.out;
    folder = installedFolder();
    EXPECT_NE(std::string::npos, folder.find("Program Files\\Orvane KVDNotification")) << folder;
    expectKeysSecured();
    values expected = installedValues(folder);
    for (const auto &given : values{{VAL_TIMEOUT, dwordBytes(30)}, {VAL_IS_ENABLED, dwordBytes(0)},
                                    {VAL_UPCALL_TIMEOUT, dwordBytes((DWORD)-5)}, {VAL_TRACE_PATH, textBytes("C:\\kvd.log")},
                                    {VAL_MESSAGE, textBytes("Choose, please")},
                                    {VAL_XEP_DATDIR, textBytes("C:\\endpoint\\dat")}})
        expected[given.first] = given.second;
    expectTableRows(expected);
    for (const char *file : {"KVDnotificationLibrary.dll", "popctl.exe", "donemsg.exe", "ntfcfg.exe", "jobupcall.exe",
                             "KVDNotification.adm"}) {
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "\\" + file).c_str())) << file;
    }
    expectRegistrations(folder, true);

    ASSERT_EQ(0u, msiexec("/x " + msi()).exitCode);
    expectNothingLeft(folder);
}

// The Group Policy template: each row of the table once, as a policy under
// its policy key with its value name and type; every string it names is there.
TEST(Installer, test_policy_template_holds_every_setting_once)
{
    std::ifstream in(winPath(KVD_POLICY_TEMPLATE_UNIX));
    std::vector<std::string> keys;
    std::map<std::string, int> policies;
    std::set<std::string> named, strings;
    std::string partType, line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('\r')));
        std::string word, quoted;
        words >> word;
        std::getline(words >> std::ws, quoted);
        quoted = quoted.substr(quoted.find('"') + 1, quoted.rfind('"') - quoted.find('"') - 1);
        for (size_t at = line.find("!!"); at != std::string::npos; at = line.find("!!", at + 2))
            named.insert(line.substr(at + 2, line.find_first_of(" \r", at) - at - 2));
        if (word.find('=') != std::string::npos)
            strings.insert(word.substr(0, word.find('=')));
        if (word == "CATEGORY")
            keys.push_back("");
        else if (line.find("END CATEGORY") != std::string::npos)
            keys.pop_back();
        else if (word == "KEYNAME")
            keys.back() = quoted;
        else if (word == "PART")
            partType = line.substr(line.find(' ', line.find("!!")) + 1, 8);
        else if (word == "VALUENAME")
            policies[keys.back() + "\\" + quoted + (partType == "EDITTEXT" ? " REG_SZ" : " REG_DWORD")]++;
    }
    EXPECT_EQ((size_t)SETTING_COUNT, policies.size());
    for (const setting_row &row : SETTINGS) {
        std::string type = row.type == SETTING_TEXT ? " REG_SZ" : " REG_DWORD";
        EXPECT_EQ(1, policies[std::string(row.policyKey) + "\\" + row.name + type]) << row.name;
    }
    for (const std::string &name : named)
        EXPECT_EQ(1u, strings.count(name)) << "no string " << name;
}

// An older package, configured with the installed ntfcfg: the upgrade keeps
// the configuration and adds the setting the old one lacked; a repair keeps
// it too and a running plan's state; removal waits for the plan's end.
TEST(Installer, test_upgrade_and_repair_keep_settings_and_state)
{
    ASSERT_EQ(0u, msiexec("/i \"" + winPath(KVD_OLD_MSI_UNIX) + "\"").exitCode);
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, KVD_OLD_MSI_LACKS));
    std::string folder = installedFolder();
    ProcessResult configured = runProgram("\"" + folder + "\\ntfcfg.exe\" -s -F \"Kept message\" -G 45");
    ASSERT_EQ(0u, configured.exitCode) << configured.out;

    ASSERT_EQ(0u, msiexec("/i " + msi()).exitCode);
    EXPECT_EQ("Kept message", textOf(KVD_POPCTL_KEY, VAL_MESSAGE));
    EXPECT_EQ(45u, dword(KVD_POPCTL_KEY, VAL_TIMEOUT));
    EXPECT_EQ(DEF_SHUTDOWN_POPUP_MSG, textOf(KVD_MAIN_KEY, KVD_OLD_MSI_LACKS));

    // A plan starts: a repair keeps its state as well.
    setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
    ASSERT_EQ(0u, msiexec("/i " + msi() + " REINSTALL=ALL REINSTALLMODE=vomus TIMEOUT=50").exitCode);
    EXPECT_EQ(50u, dword(KVD_POPCTL_KEY, VAL_TIMEOUT));
    EXPECT_EQ("Kept message", textOf(KVD_POPCTL_KEY, VAL_MESSAGE));
    EXPECT_EQ(3u, dword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED));

    EXPECT_NE(0u, msiexec("/x " + msi()).exitCode);
    EXPECT_TRUE(valueExists(KVD_POPCTL_KEY, VAL_MESSAGE));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((folder + "\\ntfcfg.exe").c_str()));
    ASSERT_EQ(0u, msiexec("/x " + msi() + " FORCE_REMOVE=1").exitCode);
    expectNothingLeft(folder);
}

// Tests of ntfcfg, run as a real program: validation, writing, reading, recovery, usage text and exit codes.
#include "test_support.h"
#include "KVDnotificationLibrary.h"

#include <fstream>

using namespace kvdtest;

static const DWORD SENTINEL = 0xdeadbeef;

// The tool writes in text mode: every line ends with CR LF on its streams.
static std::string crlf(const std::string &text)
{
    std::string converted;
    for (char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

static std::string ntfcfgPath()
{
    return productBin("ntfcfg.exe");
}

static ProcessResult ntfcfg(const std::string &arguments)
{
    return runProgram(ntfcfgPath() + (arguments.empty() ? "" : " " + arguments));
}

static std::vector<std::string> usageLines()
{
    return {
        "Usage: " + ntfcfgPath() + " [-r |-a |-q |-g property|-s property...]",
        "\t -r recover from disasters ",
        "\t -a give the keys owner Administrators and their access list",
        "\t -q show the state of the package (reads only)",
        "\t -g get a property",
        "\t -s set a list of properties",
        "\t general options:",
        "\t -e [true | false]  enables KVD notification",
        "\t -p [true | false]  deny-popup enables/disabled",
        "\t -t timeout         deny-popup timeout, 0=infinity",
        "\t -l popup_title     specify the title of deny-popup",
        "\t -L popup_msg       specify the message of deny-popup",
        "\t -m [true | false]  deny logon on pause error",
        "\t -M popup_msg       specify the message of deny-popup on pause error",
        "\t -x level           traces level 0,1,2",
        "\t -y pathname        traces pathname",
        "\t -s [true | false]  show popup in new desktop",
        "\t -d max_shutdowns   max num of shutdowns before recovery",
        "\t -o [0|1|2]         specify the type of logoff:",
        "\t                    0=normal, 1=forced and 2=kill_if_hung",
        "\t -b pathname        completion program path",
        "\t -c [true | false]  show the completion popup",
        "\t -u popup_title     completion popup title",
        "\t -v popup_msg       completion popup message",
        "\t -w [true | false]  show the shutdown popup",
        "\t -z shut_popup_msg  shutdown popup message",
        "\t upcall options:",
        "\t -B pathname        specify the XEP_BINDIR",
        "\t -C pathname        specify the XEP_CACHEDIR",
        "\t -D pathname        specify the XEP_DATDIR",
        "\t -U pathname        specify the program for upcalls",
        "\t -W timeout         specify the timeout for upcalls",
        "\t popctl options:",
        "\t -E popup_title     specify the title for shutdown management popup",
        "\t -F popup_msg       specify the message for shutdown management popup",
        "\t -G timeout         specify the timeout for shutdown management popup",
        "\t -T logoff_str      specify the string for logoff",
        "\t -H logoff_and_shut specify the string for shutdown at completion",
        "\t -K restart_str     specify the string for restart immediately",
        "\t -J [1|2|3]         specify the default action to perform after timeout",
        "\t -P [true | false]  show the left logon popup",
        "\t -Q message         specify the message for left logon popup",
        "",
    };
}

static std::string usageText()
{
    std::string text;
    for (const std::string &line : usageLines())
        text += line + "\r\n";
    return text;
}

// The 32 options, as the settings table gives them.
enum Kind { KIND_BOOLEAN, KIND_INTEGER, KIND_STRING };
struct OptionRow {
    std::string option;
    const char *key;
    const char *value;
    Kind kind;
};
static std::vector<OptionRow> optionTable()
{
    std::vector<OptionRow> rows;
    for (const setting_row &row : SETTINGS) {
        Kind kind = row.type == SETTING_FLAG ? KIND_BOOLEAN : row.type == SETTING_NUMBER ? KIND_INTEGER : KIND_STRING;
        rows.push_back({std::string("-") + row.option, row.key, row.name, kind});
    }
    return rows;
}
static const std::vector<OptionRow> OPTION_TABLE = optionTable();

static void deleteSubkey(const char *path)
{
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, path)) << path;
}

static DWORD dwordOr(const char *key, const char *name, DWORD fallback)
{
    DWORD value = fallback;
    return getDword(key, name, &value) ? value : fallback;
}

// ---------------------------------------------------------------- validation

class NtfcfgValidation : public RegistryTest {};

TEST_F(NtfcfgValidation, test_invalid_pair_writes_nothing_and_shows_usage)
{
    const char *const invalid[] = {
        "-s -e yes",              // not t, T, f or F
        "-s -e \"\"",             // empty boolean
        "-s -o 3",                // logoff type above 2
        "-s -o -1",
        "-s -t -5",               // negative integer
        "-s -W -1",
        "-s -l \"\"",             // empty string
        "-s -e true -t",          // the last value is missing
        "-s -e true -q 1",        // not an option: nothing of the list is written
        "-s -ee true",            // three characters
        "-s e true",              // one character
    };
    for (const char *arguments : invalid) {
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, SENTINEL);
        setDword(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT, SENTINEL);
        setDword(KVD_MAIN_KEY, VAL_LOGOFF_TYPE, SENTINEL);
        setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, SENTINEL);
        setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_TITLE, "sentinel");

        ProcessResult result = ntfcfg(arguments);
        EXPECT_EQ(1u, result.exitCode) << arguments;
        EXPECT_EQ(usageText(), result.out) << arguments;
        EXPECT_EQ("", result.err) << arguments;
        EXPECT_EQ(SENTINEL, dwordOr(KVD_MAIN_KEY, VAL_IS_ENABLED, 0)) << arguments;
        EXPECT_EQ(SENTINEL, dwordOr(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT, 0)) << arguments;
        EXPECT_EQ(SENTINEL, dwordOr(KVD_MAIN_KEY, VAL_LOGOFF_TYPE, 0)) << arguments;
        EXPECT_EQ(SENTINEL, dwordOr(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, 0)) << arguments;
        std::string title;
        EXPECT_TRUE(getString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_TITLE, &title));
        EXPECT_EQ("sentinel", title) << arguments;
    }
}

TEST_F(NtfcfgValidation, test_loose_values_pass_and_are_read_as_the_tool_reads_them)
{
    struct Case {
        const char *arguments;
        const char *key;
        const char *name;
        DWORD written;
        const char *output;
    } cases[] = {
        {"-s -e tomato", KVD_MAIN_KEY, "IsEnabled", 1, "value 'true' set for -e flag\n"},
        {"-s -e False", KVD_MAIN_KEY, "IsEnabled", 0, "value 'false' set for -e flag\n"},
        {"-s xe true", KVD_MAIN_KEY, "IsEnabled", 1, "value 'true' set for xe flag\n"},
        {"-s -t abc", KVD_MAIN_KEY, "PopUpTimeout", 0, "value 0 set for -t flag\n"},
        {"-s -t 12abc", KVD_MAIN_KEY, "PopUpTimeout", 12, "value 12 set for -t flag\n"},
        {"-s -t \"  +42\"", KVD_MAIN_KEY, "PopUpTimeout", 42, "value 42 set for -t flag\n"},
        // a number too large for an int is held at the largest one
        {"-s -t 99999999999", KVD_MAIN_KEY, "PopUpTimeout", 2147483647, "value 2147483647 set for -t flag\n"},
        {"-s -o 2", KVD_MAIN_KEY, "LogoffType", 2, "value 2 set for -o flag\n"},
        // the 0 to 2 range belongs to the exact -o; the reader takes 3 as 0
        {"-s /o 3", KVD_MAIN_KEY, "LogoffType", 3, "value 3 set for /o flag\n"},
    };
    for (const Case &c : cases) {
        setDword(c.key, c.name, SENTINEL);
        ProcessResult result = ntfcfg(c.arguments);
        EXPECT_EQ(0u, result.exitCode) << c.arguments;
        EXPECT_EQ(crlf(c.output), result.out) << c.arguments;
        EXPECT_EQ(c.written, dwordOr(c.key, c.name, SENTINEL)) << c.arguments;
    }
}

// ---------------------------------------------------------------- writing

class NtfcfgWriting : public RegistryTest {};

TEST_F(NtfcfgWriting, test_pairs_are_written_in_order_with_one_line_each)
{
    ProcessResult result = ntfcfg("-s -e true -t 30");
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(crlf("value 'true' set for -e flag\nvalue 30 set for -t flag\n"), result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(1u, dwordOr(KVD_MAIN_KEY, VAL_IS_ENABLED, SENTINEL));
    EXPECT_EQ(30u, dwordOr(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT, SENTINEL));

    result = ntfcfg("-s -t 5 -l \"Two words\" -t 6");
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(crlf("value 5 set for -t flag\nvalue 'Two words' set for -l flag\nvalue 6 set for -t flag\n"),
              result.out);
    EXPECT_EQ(6u, dwordOr(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT, SENTINEL)) << "the last pair stays";
}

// One -s with all 32 options, then -g of each: every value lands in its key with its type.
TEST_F(NtfcfgWriting, test_every_option_reaches_its_value)
{
    std::string arguments = "-s";
    std::string expectedOut;
    std::vector<std::string> typed;
    int number = 0;
    for (const OptionRow &row : OPTION_TABLE) {
        std::string value;
        if (row.kind == KIND_BOOLEAN) {
            value = "true";
            expectedOut += std::string("value 'true' set for ") + row.option + " flag\n";
        } else if (row.kind == KIND_INTEGER) {
            value = std::to_string(++number % 3);     // -o accepts 0 to 2 only
            expectedOut += "value " + value + " set for " + row.option + " flag\n";
        } else {
            value = std::string("text of ") + row.value;
            expectedOut += "value '" + value + "' set for " + row.option + " flag\n";
        }
        typed.push_back(value);
        arguments += std::string(" ") + row.option + " \"" + value + "\"";
    }
    ProcessResult result = ntfcfg(arguments);
    ASSERT_EQ(0u, result.exitCode) << result.out;
    EXPECT_EQ(crlf(expectedOut), result.out);

    for (size_t i = 0; i < OPTION_TABLE.size(); i++) {
        const OptionRow &row = OPTION_TABLE[i];
        DWORD type = REG_NONE;
        std::string bytes;
        ASSERT_TRUE(getRaw(row.key, row.value, &type, &bytes)) << row.option << " " << row.value;
        if (row.kind == KIND_STRING) {
            EXPECT_EQ((DWORD)REG_SZ, type) << row.option;
            EXPECT_EQ(typed[i] + std::string(1, '\0'), bytes) << row.option;
        } else {
            EXPECT_EQ((DWORD)REG_DWORD, type) << row.option;
            DWORD expected = row.kind == KIND_BOOLEAN ? 1 : (DWORD)std::stoi(typed[i]);
            EXPECT_EQ(dwordBytes(expected), bytes) << row.option;
        }
        ProcessResult read = ntfcfg(std::string("-g ") + row.option);
        EXPECT_EQ(0u, read.exitCode) << row.option;
        EXPECT_EQ((row.kind == KIND_BOOLEAN ? std::string("true") : typed[i]) + "\r\n", read.out) << row.option;
    }
}

TEST_F(NtfcfgWriting, test_left_logon_popup_takes_numbers_and_true_or_false)
{
    struct Case {
        const char *value;
        DWORD written;
    } cases[] = {{"true", 1}, {"false", 0}, {"True", 1}, {"1", 1}, {"0", 0}, {"3", 3}, {"yes", 0}};
    for (const Case &c : cases) {
        setDword(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED, SENTINEL);
        ProcessResult result = ntfcfg(std::string("-s -P ") + c.value);
        EXPECT_EQ(0u, result.exitCode) << c.value;
        EXPECT_EQ("value " + std::to_string(c.written) + " set for -P flag\r\n", result.out) << c.value;
        EXPECT_EQ(c.written, dwordOr(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED, SENTINEL)) << c.value;
    }
}

TEST_F(NtfcfgWriting, test_long_string_is_stored_whole)
{
    std::string longText;
    for (int i = 0; i < 2000; i++)
        longText += (char)('a' + i % 26);
    ProcessResult result = ntfcfg("-s -v " + longText);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ("value '" + longText + "' set for -v flag\r\n", result.out);
    std::string stored;
    ASSERT_TRUE(getString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, &stored));
    EXPECT_EQ(2000u, stored.size());
    EXPECT_EQ(longText, stored);

    result = ntfcfg("-g -v");
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(longText + "\r\n", result.out);
}

TEST_F(NtfcfgWriting, test_write_fails_without_the_main_key)
{
    deleteKeys();
    struct Case {
        const char *arguments;
        const char *output;
    } cases[] = {
        {"-s -e true", "Error setting value 'true' for -e flag\nError setting value 'true' for flag '-e'\n"},
        {"-s -t 5", "Error setting value 5 for -t flag\nError setting value '5' for flag '-t'\n"},
        {"-s -l Title -e true", "Error setting value 'Title' for -l flag\nError setting value 'Title' for flag '-l'\n"},
    };
    for (const Case &c : cases) {
        ProcessResult result = ntfcfg(c.arguments);
        EXPECT_EQ(2u, result.exitCode) << c.arguments;
        EXPECT_EQ(crlf(c.output), result.out) << c.arguments;
        EXPECT_EQ("", result.err) << c.arguments;
    }
    EXPECT_FALSE(keyExists(KVD_MAIN_KEY)) << "the tool never creates a key";
}

TEST_F(NtfcfgWriting, test_write_stops_at_a_missing_subkey)
{
    deleteSubkey(KVD_POPCTL_KEY);
    ProcessResult result = ntfcfg("-s -e true -E Title -t 5");
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_EQ(crlf("value 'true' set for -e flag\n"
                   "Error setting value 'Title' for -E flag\n"
                   "Error setting value 'Title' for flag '-E'\n"),
              result.out);
    EXPECT_EQ(1u, dwordOr(KVD_MAIN_KEY, VAL_IS_ENABLED, SENTINEL)) << "pairs before the failure stay written";
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT)) << "pairs after it are not written";
    EXPECT_FALSE(keyExists(KVD_POPCTL_KEY));
}

// ---------------------------------------------------------------- reading

class NtfcfgReading : public RegistryTest {};

TEST_F(NtfcfgReading, test_missing_or_mistyped_values_read_as_false_0_or_empty)
{
    struct Case {
        const char *option;
        const char *output;
    } cases[] = {{"-e", "false\n"}, {"-G", "0\n"}, {"-E", "\n"}};
    for (const Case &c : cases) {
        ProcessResult result = ntfcfg(std::string("-g ") + c.option);
        EXPECT_EQ(0u, result.exitCode) << c.option;
        EXPECT_EQ(crlf(c.output), result.out) << c.option;
    }

    setString(KVD_MAIN_KEY, VAL_IS_ENABLED, "1");
    setString(KVD_POPCTL_KEY, VAL_TIMEOUT, "30");
    setDword(KVD_POPCTL_KEY, VAL_TITLE, 7);
    for (const Case &c : cases) {
        ProcessResult result = ntfcfg(std::string("-g ") + c.option);
        EXPECT_EQ(0u, result.exitCode) << c.option << " of another type";
        EXPECT_EQ(crlf(c.output), result.out) << c.option << " of another type";
    }

    deleteKeys();
    ProcessResult result = ntfcfg("-g -e");
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ("false\r\n", result.out) << "main key missing";
}

// -g prints the policy value of the right type; -s writes the local one and warns.
TEST_F(NtfcfgReading, test_policy_value_is_printed_and_setting_it_warns)
{
    createPolicyKeys();
    setDword(KVD_POLICY_MAIN_KEY, VAL_POPUP_TIMEOUT, 7);
    setString(KVD_POLICY_POPCTL_KEY, VAL_TITLE, "Policy title");
    EXPECT_EQ("Policy title\r\n", ntfcfg("-g -E").out);
    ProcessResult result = ntfcfg("-s -t 5 -e true");
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(crlf("value 5 set for -t flag\nvalue 'true' set for -e flag\n"), result.out);
    EXPECT_EQ(crlf("Warning: Group Policy sets -t (HKLM\\Software\\Policies\\Orvane\\KVDNotification\\PopUpTimeout): "
                   "its value stays in effect\n"), result.err);
    EXPECT_EQ(5u, dword(KVD_MAIN_KEY, VAL_POPUP_TIMEOUT));
    EXPECT_EQ(7u, dword(KVD_POLICY_MAIN_KEY, VAL_POPUP_TIMEOUT));
    EXPECT_EQ("7\r\n", ntfcfg("-g -t").out);
    setString(KVD_POLICY_MAIN_KEY, VAL_POPUP_TIMEOUT, "9");
    EXPECT_EQ("5\r\n", ntfcfg("-g -t").out) << "a policy value of another type is ignored";
}

TEST_F(NtfcfgReading, test_stored_values_are_printed_by_kind)
{
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 5);
    setDword(KVD_MAIN_KEY, VAL_DENY_POPUP_ENABLED, 0);
    setDword(KVD_UPCALL_KEY, VAL_UPCALL_TIMEOUT, (DWORD)-5);
    setDword(KVD_POPCTL_KEY, VAL_DEFAULT_ACTION, 3);
    setString(KVD_POPCTL_KEY, VAL_TITLE, "Hello world");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, "kept as stored\\n");
    struct Case {
        const char *option;
        const char *output;
    } cases[] = {{"-e", "true\n"},        {"-p", "false\n"},       {"-W", "-5\n"},
                 {"-J", "3\n"},           {"-E", "Hello world\n"}, {"-v", "kept as stored\\n\n"},
                 {"xe", "true\n"}};
    for (const Case &c : cases) {
        ProcessResult result = ntfcfg(std::string("-g ") + c.option);
        EXPECT_EQ(0u, result.exitCode) << c.option;
        EXPECT_EQ(crlf(c.output), result.out) << c.option;
        EXPECT_EQ("", result.err) << c.option;
    }
}

TEST_F(NtfcfgReading, test_unknown_option_prints_nothing_and_exits_2)
{
    const char *const unknown[] = {"-q", "-ee", "e", "-"};
    for (const char *option : unknown) {
        ProcessResult result = ntfcfg(std::string("-g ") + option);
        EXPECT_EQ(2u, result.exitCode) << option;
        EXPECT_EQ("", result.out) << option;
        EXPECT_EQ("", result.err) << option;
    }
}

TEST_F(NtfcfgReading, test_more_than_one_option_is_refused)
{
    ProcessResult result = ntfcfg("-g -e -p");
    EXPECT_EQ(1u, result.exitCode);
    EXPECT_EQ("-g flag accepts only one option\r\n" + usageText(), result.out);
    EXPECT_EQ("", result.err);
}

// ---------------------------------------------------------------- recovery

class NtfcfgRecovery : public RegistryTest {};

TEST_F(NtfcfgRecovery, test_recover_resets_the_state_of_a_machine_without_a_plan)
{
    const char *const variants[] = {"-r", "-r ignored -e true"};
    for (const char *arguments : variants) {
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 5);
        setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 3);
        setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
        setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ, multiString({"ep1", "d1", "4"}));
        setDword(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT, 4);
        setDword(KVD_POPCTL_KEY, VAL_POPUP_TYPE, 1);
        setString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, "d1");
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 7);

        ProcessResult result = ntfcfg(arguments);
        EXPECT_EQ(0u, result.exitCode) << arguments;
        EXPECT_EQ("Recover successful\r\n", result.out) << arguments;
        EXPECT_EQ("", result.err) << arguments;
        EXPECT_EQ(4294967294u, dwordOr(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, SENTINEL)) << arguments;
        EXPECT_EQ(0u, dwordOr(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, SENTINEL)) << arguments;
        EXPECT_EQ(0u, dwordOr(KVD_POPCTL_KEY, VAL_IS_ACTIVE, SENTINEL)) << arguments;
        EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_PAUSED_QUEUE)) << arguments;
        EXPECT_FALSE(valueExists(KVD_MAIN_KEY, VAL_CURR_SHUTDOWN_LEFT)) << arguments;
        EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << arguments;
        EXPECT_FALSE(valueExists(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID)) << arguments;
        EXPECT_EQ(7u, dwordOr(KVD_MAIN_KEY, VAL_IS_ENABLED, SENTINEL)) << "configuration stays";
    }

    // Nothing left to remove: removals fail silently.
    ProcessResult again = ntfcfg("-r");
    EXPECT_EQ(0u, again.exitCode);
    EXPECT_EQ("Recover successful\r\n", again.out);
    EXPECT_EQ("", again.err);
}

TEST_F(NtfcfgRecovery, test_recover_without_the_main_key_names_the_last_failure)
{
    deleteKeys();
    ProcessResult result = ntfcfg("-r");
    EXPECT_EQ(3u, result.exitCode);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(crlf("Unable to recover '_maxLoginAllowed'\n"
                   "Unable to recover '_runningClients'\n"
                   "Unable to recover '_isActive'\n"
                   "Unable to recover error 3\n"),
              result.err);
    EXPECT_FALSE(keyExists(KVD_MAIN_KEY));
}

TEST_F(NtfcfgRecovery, test_recover_without_the_popctl_key)
{
    deleteSubkey(KVD_POPCTL_KEY);
    setDword(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, 3);
    ProcessResult result = ntfcfg("-r");
    EXPECT_EQ(3u, result.exitCode);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(crlf("Unable to recover '_isActive'\nUnable to recover error 3\n"), result.err);
    EXPECT_EQ(4294967294u, dwordOr(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, SENTINEL));
    EXPECT_EQ(0u, dwordOr(KVD_MAIN_KEY, VAL_RUNNING_CLIENTS, SENTINEL));
}

// ---------------------------------------------------------------- status report

class NtfcfgStatus : public RegistryTest {};

// A line of the report: the label padded to its column, the value.
static std::string statusLine(const std::string &label, const std::string &value)
{
    return label + std::string(label.size() < 31 ? 31 - label.size() : 0, ' ') + " " + value + "\r\n";
}

static DWORD WINAPI abandonLock(LPVOID)
{
    HANDLE lock = OpenMutexA(SYNCHRONIZE, FALSE, GLOBAL_SEMAPHORE_NAME);
    WaitForSingleObject(lock, 0);
    CloseHandle(lock);
    return 0;   // ends holding it
}

// One table of states, each with the words and figures its report must show.
TEST_F(NtfcfgStatus, test_each_state_is_reported_in_plain_words)
{
    enum Lock { NO_LOCK, FREE, HELD, ABANDONED };
    const std::string NO_RECORD = "unknown (no process has the library loaded)";
    struct Case {
        const char *what;
        std::vector<std::pair<const char *, DWORD>> values;   // of the main key
        std::vector<std::string> paused;                      // _pausedQueue's strings
        bool denyPending;                                     // popctl\_popupType 1 for D1
        DWORD record[4];                                      // logons, looping, shutdown asked; [3] 0: no record
        Lock lock;
        std::vector<std::pair<std::string, std::string>> lines;
    } cases[] = {
        {"nothing yet", {}, {}, false, {0, 0, 0, 0}, NO_LOCK,
         {{"Switched on:", "no (IsEnabled is not set)"}, {"Distribution plan:", "none running"},
          {"Logons counted now:", NO_RECORD}, {"Running clients:", "0"}, {"Paused distributions:", "none"},
          {"Resume loop:", NO_RECORD}, {"Shutdown at completion asked:", NO_RECORD},
          {"Deny hand-over for popctl:", "none"}, {"Start-ups before the lift:", "not counted (logons are not restricted)"},
          {"Global lock:", "free (no process uses it now)"}}},
        {"a plan with two paused distributions", {{VAL_IS_ENABLED, 1}, {VAL_MAX_LOGIN_ALLOWED, 2},
          {VAL_RUNNING_CLIENTS, 1}, {VAL_CURR_SHUTDOWN_LEFT, 19}, {VAL_DEFAULT_SHUTDOWN_ALLOWED, 20}},
         {"localhost", "D1", "2", "localhost", "D2", "-1"}, false, {1, 0, 1, 1}, HELD,
         {{"Switched on:", "yes"}, {"Distribution plan:", "running, 2 logons left"}, {"Logons counted now:", "1"},
          {"Running clients:", "1"}, {"Paused distributions:", "D1 (logons left when it was paused: 2)"},
          {"", "D2 (logons left when it was paused: not limited)"}, {"Resume loop:", "not running"},
          {"Shutdown at completion asked:", "yes"},
          {"Start-ups before the lift:", "19 of 20 (then the restriction is lifted and the plan ends)"},
          {"Global lock:", "held by a process right now"}}},
        {"budget used up", {{VAL_IS_ENABLED, 7}, {VAL_MAX_LOGIN_ALLOWED, 0}}, {}, true, {2, 1, 0, 1}, ABANDONED,
         {{"Switched on:", "no (IsEnabled is 7; only 1 switches it on)"},
          {"Distribution plan:", "running, no logons left: a new logon is refused"}, {"Logons counted now:", "2"},
          {"Resume loop:", "running"}, {"Shutdown at completion asked:", "no"},
          {"Deny hand-over for popctl:", "pending, deny message of type 1 (the pause failed), distribution 'D1'"},
          {"Start-ups before the lift:", "20 of 20 (then the restriction is lifted and the plan ends)"},
          {"Global lock:", "free; its last holder ended without releasing it"}}},
        {"unlimited budget", {{VAL_MAX_LOGIN_ALLOWED, (DWORD)-1}}, {}, false, {0, 0, 0, 0}, FREE,
         {{"Distribution plan:", "running, logons not limited"}, {"Global lock:", "free"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        deleteKeys();
        createKeys();
        for (const auto &value : c.values)
            setDword(KVD_MAIN_KEY, value.first, value.second);
        if (!c.paused.empty())
            setRaw(KVD_MAIN_KEY, VAL_PAUSED_QUEUE, REG_MULTI_SZ, multiString(c.paused));
        if (c.denyPending) {
            setDword(KVD_POPCTL_KEY, VAL_POPUP_TYPE, 1);
            setString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, "D1");
        }
        HANDLE mapping = NULL;
        if (c.record[3]) {
            mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(shared_record), SHARED_MEMORY_NAME);
            shared_record *shared = (shared_record *)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(shared_record));
            ASSERT_TRUE(shared != NULL);
            *shared = shared_record{c.record[0], 0, (LONG)c.record[1], (LONG)c.record[2], 0, 0};
            UnmapViewOfFile(shared);
        }
        HANDLE lock = c.lock == NO_LOCK ? NULL : CreateMutexA(NULL, c.lock == HELD, GLOBAL_SEMAPHORE_NAME);
        if (c.lock == ABANDONED) {
            HANDLE holder = CreateThread(NULL, 0, abandonLock, NULL, 0, NULL);
            WaitForSingleObject(holder, 5000);
            CloseHandle(holder);
        }
        ProcessResult result = ntfcfg("-q");
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ("", result.err);
        for (const auto &line : c.lines)
            EXPECT_NE(std::string::npos, result.out.find(statusLine(line.first, line.second))) << result.out;
        EXPECT_EQ(0u, result.out.find("Switched on:")) << "the report begins with the switch";
        if (c.lock == HELD)
            ReleaseMutex(lock);
        if (lock != NULL)
            CloseHandle(lock);
        if (mapping != NULL)
            CloseHandle(mapping);
    }
}

// ---------------------------------------------------------------- usage

class NtfcfgUsage : public RegistryTest {};

TEST_F(NtfcfgUsage, test_usage_text_line_by_line)
{
    ProcessResult result = ntfcfg("");
    EXPECT_EQ(1u, result.exitCode);
    EXPECT_EQ("", result.err);
    std::vector<std::string> expected = usageLines();
    std::vector<std::string> got;
    size_t start = 0, end;
    while ((end = result.out.find("\r\n", start)) != std::string::npos) {
        got.push_back(result.out.substr(start, end - start));
        start = end + 2;
    }
    EXPECT_EQ(result.out.size(), start) << "the text ends with a line end";
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(expected[i], got[i]) << "line " << i + 1;
}

TEST_F(NtfcfgUsage, test_help_and_malformed_command_lines_show_usage)
{
    const char *const commandLines[] = {
        "-h", "/h", "-?", "/?", "-h -e true", "/? -s -e true", "-s -s -e true",
        "-s", "-g", "-e true", "-x -e", "-S -e true", "r",
    };
    for (const char *arguments : commandLines) {
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, SENTINEL);
        ProcessResult result = ntfcfg(arguments);
        EXPECT_EQ(1u, result.exitCode) << arguments;
        EXPECT_EQ(usageText(), result.out) << arguments;
        EXPECT_EQ("", result.err) << arguments;
        EXPECT_EQ(SENTINEL, dwordOr(KVD_MAIN_KEY, VAL_IS_ENABLED, 0)) << arguments;
    }
}

// ---------------------------------------------------------------- exit codes seen by a shell

class NtfcfgShell : public RegistryTest {};

static std::string runBatch(const std::string &name, const std::vector<std::string> &commands)
{
    std::string path = workDir() + "\\" + name;
    std::ofstream batch(path.c_str(), std::ios::binary);
    batch << "@echo off\r\n";
    for (const std::string &command : commands)
        batch << "\"" << ntfcfgPath() << "\" " << command << " >nul 2>nul\r\n"
              << "echo " << command << " =%ERRORLEVEL%\r\n";
    batch.close();
    return runProgram("cmd /c " + path).out;
}

TEST_F(NtfcfgShell, test_exit_codes_as_the_calling_shell_sees_them)
{
    std::vector<std::string> commands = {"-s -e true", "-g -q", "-g -e", "-s -e yes", "-h", "-r", "-s -t 5"};
    EXPECT_EQ(crlf("-s -e true =0\n-g -q =2\n-g -e =0\n-s -e yes =1\n-h =1\n-r =0\n-s -t 5 =0\n"),
              runBatch("ntfcfg_codes.cmd", commands));

    deleteKeys();
    EXPECT_EQ(crlf("-s -e true =2\n-g -q =2\n-g -e =0\n-s -e yes =1\n-h =1\n-r =3\n-s -t 5 =2\n"),
              runBatch("ntfcfg_codes_no_key.cmd", commands));
}

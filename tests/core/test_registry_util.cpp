// Tests of the registry helpers, the message converter, the privilege helper and the main switch.
#include "test_support.h"
#include "registry_util.h"
#include "notify_trace.h"
#include "upcalls.h"

#include <stdlib.h>
#include <string.h>

using namespace kvdtest;

namespace {

class RegistryUtil : public RegistryTest {
protected:
    // Switches the library's trace on at the detailed level into a fresh file.
    std::string traceAll(const char *name)
    {
        std::string path = enableTrace(2, name);
        TRACE_INITIALIZE();
        return path;
    }
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
    }
};

size_t countOccurrences(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        count++;
    return count;
}

std::string converted(const char *message, const char *distId, const char *leftLogon)
{
    char *result = correctFormat(strdup(message), distId, leftLogon);
    std::string text = result ? result : "(null)";
    free(result);
    return text;
}

}  // namespace

TEST_F(RegistryUtil, test_each_type_is_read_as_stored)
{
    setDword(KVD_MAIN_KEY, "Number", 42);
    setString(KVD_MAIN_KEY, "Text", "hello");
    setRaw(KVD_MAIN_KEY, "Multi", REG_MULTI_SZ, multiString({"ab", "c"}));

    DWORD number = 0xdeadbeef;
    EXPECT_EQ(1, RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, "Number", &number));
    EXPECT_EQ(42u, number);

    char *text = NULL;
    ASSERT_EQ(1, RegGetString(KVD_ROOT, KVD_MAIN_KEY, "Text", &text));
    EXPECT_STREQ("hello", text);
    free(text);

    char *multi = NULL;
    ASSERT_EQ(1, RegGetMultiString(KVD_ROOT, KVD_MAIN_KEY, "Multi", &multi));
    EXPECT_EQ(6u, getMultiStringLen(multi));
    EXPECT_EQ(multiString({"ab", "c"}), std::string(multi, 6));
    free(multi);
}

TEST_F(RegistryUtil, test_long_value_is_read_in_two_queries)
{
    std::string trace = traceAll("registry_long.log");
    std::string long_text(300, 'x');
    long_text[299] = 'y';
    setString(KVD_MAIN_KEY, "Long", long_text);

    char *text = NULL;
    ASSERT_EQ(1, RegGetString(KVD_ROOT, KVD_MAIN_KEY, "Long", &text));
    EXPECT_EQ(long_text, std::string(text));
    free(text);
    std::string log = readFile(trace);
    EXPECT_EQ(1u, countOccurrences(log, "insufficient buffer, resizing to 301")) << log;
}

TEST_F(RegistryUtil, test_string_stored_without_terminator_is_terminated)
{
    for (size_t length : {5u, 128u, 200u}) {
        setRaw(KVD_MAIN_KEY, "Raw", REG_SZ, std::string(length, 'z'));
        char *text = NULL;
        ASSERT_EQ(1, RegGetString(KVD_ROOT, KVD_MAIN_KEY, "Raw", &text)) << length;
        EXPECT_EQ(length, strlen(text));
        free(text);

        setRaw(KVD_MAIN_KEY, "RawMulti", REG_MULTI_SZ, std::string(length, 'm'));
        char *multi = NULL;
        ASSERT_EQ(1, RegGetMultiString(KVD_ROOT, KVD_MAIN_KEY, "RawMulti", &multi)) << length;
        EXPECT_EQ(length + 2, getMultiStringLen(multi));
        free(multi);
    }
}

TEST_F(RegistryUtil, test_wrong_type_fails_and_leaves_output_untouched)
{
    std::string trace = traceAll("registry_types.log");
    setString(KVD_MAIN_KEY, "Text", "12");
    setDword(KVD_MAIN_KEY, "Number", 12);

    DWORD number = 0xdeadbeef;
    EXPECT_EQ(0, RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, "Text", &number));
    EXPECT_EQ(0xdeadbeefu, number);
    char *sentinel = (char *)"sentinel";
    char *text = sentinel;
    EXPECT_EQ(0, RegGetString(KVD_ROOT, KVD_MAIN_KEY, "Number", &text));
    EXPECT_EQ(sentinel, text);
    EXPECT_EQ(0, RegGetMultiString(KVD_ROOT, KVD_MAIN_KEY, "Text", &text));
    EXPECT_EQ(sentinel, text);

    std::string log = readFile(trace);
    EXPECT_NE(std::string::npos, log.find("[E] RegGetDWORD invalid content of Software\\Orvane\\KVDNotification\\Text"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("[E] RegGetString invalid content of Software\\Orvane\\KVDNotification\\Number"));
}

TEST_F(RegistryUtil, test_missing_value_or_key_fails_and_is_traced)
{
    std::string trace = traceAll("registry_missing.log");
    DWORD number = 0xdeadbeef;
    EXPECT_EQ(0, RegGetDWORD(KVD_ROOT, KVD_MAIN_KEY, "Missing", &number));
    EXPECT_EQ(0xdeadbeefu, number);
    EXPECT_EQ(0, RegRemoveValue(KVD_ROOT, KVD_MAIN_KEY, "Missing"));

    EXPECT_EQ(0, RegGetDWORD(KVD_ROOT, "Software\\Orvane\\NoSuchKey", "Missing", &number));
    EXPECT_EQ(0xdeadbeefu, number);
    EXPECT_EQ(0, RegSetDWORD(KVD_ROOT, "Software\\Orvane\\NoSuchKey", "Value", 1));
    EXPECT_EQ(0, RegSetString(KVD_ROOT, "Software\\Orvane\\NoSuchKey", "Value", "x"));
    EXPECT_EQ(0, RegSetMultiString(KVD_ROOT, "Software\\Orvane\\NoSuchKey", "Value", "x\0"));

    // The helpers open keys, they never create them.
    HKEY key;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Orvane\\NoSuchKey", 0, KEY_READ, &key));

    std::string log = readFile(trace);
    EXPECT_NE(std::string::npos, log.find("cannot find 'Missing' under 'Software\\Orvane\\KVDNotification' error (2)"));
    EXPECT_NE(std::string::npos, log.find("cannot retrieve value 'Missing' under 'Software\\Orvane\\KVDNotification'"));
    EXPECT_NE(std::string::npos, log.find("cannot find 'Software\\Orvane\\NoSuchKey' error (2)"));
    EXPECT_NE(std::string::npos, log.find("cannot remove 'Software\\Orvane\\KVDNotification\\Missing' error (2)"));
}

TEST_F(RegistryUtil, test_writes_store_exact_types_and_sizes)
{
    EXPECT_EQ(1, RegSetDWORD(KVD_ROOT, KVD_MAIN_KEY, "Number", 0xFFFFFFFE));
    EXPECT_EQ(1, RegSetString(KVD_ROOT, KVD_MAIN_KEY, "Text", "abc"));
    EXPECT_EQ(1, RegSetMultiString(KVD_ROOT, KVD_MAIN_KEY, "Multi", "ab\0c\0"));

    DWORD type;
    std::string bytes;
    ASSERT_TRUE(getRaw(KVD_MAIN_KEY, "Number", &type, &bytes));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    EXPECT_EQ(std::string("\xFE\xFF\xFF\xFF", 4), bytes);
    ASSERT_TRUE(getRaw(KVD_MAIN_KEY, "Text", &type, &bytes));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(std::string("abc\0", 4), bytes);
    ASSERT_TRUE(getRaw(KVD_MAIN_KEY, "Multi", &type, &bytes));
    EXPECT_EQ((DWORD)REG_MULTI_SZ, type);
    EXPECT_EQ(multiString({"ab", "c"}), bytes);

    EXPECT_EQ(1, RegRemoveValue(KVD_ROOT, KVD_MAIN_KEY, "Text"));
    EXPECT_FALSE(valueExists(KVD_MAIN_KEY, "Text"));
}

TEST(MultiString, test_length_counts_both_final_zero_bytes)
{
    EXPECT_EQ(0u, getMultiStringLen(NULL));
    EXPECT_EQ(2u, getMultiStringLen("\0\0"));
    EXPECT_EQ(6u, getMultiStringLen("ab\0c\0\0"));
    EXPECT_EQ(3u, getMultiStringLen("a\0\0b\0\0"));
}

TEST(CorrectFormat, test_escapes_are_expanded_in_place)
{
    EXPECT_EQ("one\ntwo", converted("one\\ntwo", NULL, NULL));
    EXPECT_EQ("a\r\tb\\c", converted("a\\r\\tb\\\\c", NULL, NULL));
    EXPECT_EQ("\\\\", converted("\\\\\\\\", NULL, NULL));
    EXPECT_EQ("C:\\Distributions", converted("C:\\Distributions", NULL, NULL));
    EXPECT_EQ("end\\", converted("end\\", NULL, NULL));
    EXPECT_EQ("(null)", converted(NULL, "x", "y"));
}

TEST(CorrectFormat, test_placeholders_are_replaced)
{
    EXPECT_EQ("1234 and 1234", converted("$(DIST_ID) and $(DIST_ID)", "1234", NULL));
    EXPECT_EQ("$(DIST_ID) stays", converted("$(DIST_ID) stays", NULL, "3"));
    EXPECT_EQ("left: 3\nid: D1", converted("left: $(LEFT_LOGON)\\nid: $(DIST_ID)", "D1", "3"));
    EXPECT_EQ("no id here", converted("no id here", "", ""));
    EXPECT_EQ("gone", converted("$(DIST_ID)gone", "", NULL));
}

TEST(CorrectFormat, test_self_containing_replacement_ends)
{
    EXPECT_EQ("[$(DIST_ID)] [$(DIST_ID)]", converted("[$(DIST_ID)] [$(DIST_ID)]", "$(DIST_ID)", NULL));
    EXPECT_EQ("x$(LEFT_LOGON)x", converted("$(LEFT_LOGON)", NULL, "x$(LEFT_LOGON)x"));
}

TEST_F(RegistryUtil, test_main_switch_is_on_only_for_one)
{
    std::string trace = traceAll("registry_switch.log");
    EXPECT_EQ(0, isKVDEnabled());   // missing: created as 0
    DWORD value = 0xdeadbeef;
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_IS_ENABLED, &value));
    EXPECT_EQ(0u, value);
    EXPECT_TRUE(fileContains(trace, "Error retrieving KVDnotificationLibrary status, may be key is missing"));

    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 2);
    EXPECT_EQ(0, isKVDEnabled());
    setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
    EXPECT_EQ(1, isKVDEnabled());
    setString(KVD_MAIN_KEY, VAL_IS_ENABLED, "1");
    EXPECT_EQ(0, isKVDEnabled());
    EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_IS_ENABLED, &value));   // rewritten as a DWORD 0
    EXPECT_EQ(0u, value);

    std::vector<std::string> lines = readLines(trace);
    size_t enabled = 0, disabled = 0;
    for (const std::string &line : lines) {
        enabled += line.find("isKVDEnabled KVDnotificationLibrary enabled") != std::string::npos;
        disabled += line.find("isKVDEnabled KVDnotificationLibrary disabled") != std::string::npos;
    }
    EXPECT_EQ(1u, enabled);
    EXPECT_EQ(3u, disabled);
}

TEST_F(RegistryUtil, test_main_switch_without_key_is_off)
{
    deleteKeys();
    EXPECT_EQ(0, isKVDEnabled());
    HKEY key;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, KVD_MAIN_KEY, 0, KEY_READ, &key));
}

// ---- Group Policy over the local value, for readers of each kind ----

namespace {

std::string readTitle()
{
    char *text = NULL;
    readSetting(SETTING_LOGIN_DENIED_TITLE, &text);
    std::string read = text;
    free(text);
    return read;
}

// A setting, what its reader returns for the local, the policy and the default value, and the reader.
const struct {
    setting_id id;
    std::string local, policy, byDefault;
    bool writesDefaultBack;
    std::string (*read)();
} POLICY_CASES[] = {
    {SETTING_IS_ENABLED, "0", "1", "0", true, [] { return std::to_string(isKVDEnabled()); }},
    {SETTING_TRACE_LEVEL, "1", "2", "0", false, [] { return std::to_string(isTraceEnabled()); }},
    {SETTING_LOGIN_DENIED_TITLE, "Local", "Policy", DEF_LOGIN_DENIED_TITLE, false, readTitle},
    {SETTING_UPCALL_TIMEOUT, "5", "7", "120", true, [] {
         DWORD value;
         readSetting(SETTING_UPCALL_TIMEOUT, &value);
         return std::to_string(value);
     }},
    {SETTING_UPCALL_TIMEOUT, "5", "7", "120", false, [] { return std::to_string((lockWaitCeilingMs() - 20000) / 6000); }},
};

// A value of the row's type, or of the other one.
void store(const char *key, const setting_row &row, const std::string &value, bool rightType)
{
    if ((row.type == SETTING_TEXT) == rightType)
        setString(key, row.name, value);
    else
        setDword(key, row.name, (DWORD)atoi(value.c_str()));
}

}  // namespace

TEST_F(RegistryUtil, test_policy_of_the_right_type_wins_and_is_never_written)
{
    // The local value set or not; no policy value (0), one of the row's type (1) or of another (2); who wins.
    const struct {
        bool local;
        int policy;
        char wins;
    } states[] = {{true, 0, 'L'}, {false, 1, 'P'}, {true, 1, 'P'}, {true, 2, 'L'}, {false, 2, 'D'}};
    createPolicyKeys();
    setString(KVD_MAIN_KEY, VAL_TRACE_PATH, "C:\\policy.log");
    for (const auto &c : POLICY_CASES) {
        const setting_row &row = SETTINGS[c.id];
        for (const auto &state : states) {
            std::string what = std::string(row.name) + ", local " + (state.local ? "set" : "missing") + ", policy "
                               + std::to_string(state.policy);
            removeValue(row.key, row.name);
            removeValue(row.policyKey, row.name);
            if (state.local)
                store(row.key, row, c.local, true);
            if (state.policy != 0)
                store(row.policyKey, row, c.policy, state.policy == 1);
            DWORD type;
            std::string before, after;
            bool policySet = getRaw(row.policyKey, row.name, &type, &before);

            EXPECT_EQ(state.wins == 'L' ? c.local : state.wins == 'P' ? c.policy : c.byDefault, c.read()) << what;
            EXPECT_EQ(state.wins == 'P', settingFromPolicy(c.id)) << what;
            EXPECT_EQ(policySet, getRaw(row.policyKey, row.name, &type, &after)) << what;
            EXPECT_EQ(before, after) << what << ": the policy value was written";
            if (!state.local) {
                EXPECT_EQ(c.writesDefaultBack && state.wins == 'D', valueExists(row.key, row.name)) << what;
            }
        }
    }
}

TEST(Privilege, test_shutdown_privilege_is_enabled_and_disabled)
{
    EXPECT_EQ(1, SetPrivilege("SeShutdownPrivilege", 1));
    EXPECT_EQ(1, SetPrivilege("SeShutdownPrivilege", 0));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, SetPrivilege("SeNoSuchPrivilege", 1));
}

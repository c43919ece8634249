// Tests of the trace facility: switches, levels, line format, file names, several writers.
#include "test_support.h"
#include "notify_trace.h"

#include <regex>

using namespace kvdtest;

namespace {

class Trace : public RegistryTest {
protected:
    void TearDown() override
    {
        RegistryTest::TearDown();
        TRACE_INITIALIZE();
    }
};

void writeOneScope(DWORD level, const char *name)
{
    trace_class trace(level, name);
    TRACE_LINE(trace, TRACE_WARNING, "message %d", 7);
}

const std::regex HEADER(R"(^\[\d+:\d+\] \d\d/\d\d/\d\d \d\d:\d\d:\d\d \[[IWEF]\] \S+ )");

}  // namespace

TEST_F(Trace, test_nothing_is_written_when_off)
{
    std::string path = workDir() + "\\trace_off.log";
    DeleteFileA(path.c_str());
    setString(KVD_MAIN_KEY, VAL_TRACE_PATH, path);

    TRACE_INITIALIZE();   // TraceLevel missing
    writeOneScope(TRACE_ORDINARY, "missing");
    setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, 0);
    TRACE_INITIALIZE();
    writeOneScope(TRACE_ORDINARY, "zero");
    setString(KVD_MAIN_KEY, VAL_TRACE_LEVEL, "2");
    TRACE_INITIALIZE();
    writeOneScope(TRACE_ORDINARY, "string");
    EXPECT_EQ(0u, __trace_level);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));

    setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, 1);
    removeValue(KVD_MAIN_KEY, VAL_TRACE_PATH);
    TRACE_INITIALIZE();
    EXPECT_EQ(0u, __trace_level);
}

TEST_F(Trace, test_level_one_skips_detailed_scopes)
{
    std::string path = enableTrace(1, "trace_level1.log");
    TRACE_INITIALIZE();
    writeOneScope(TRACE_ORDINARY, "ordinaryScope");
    writeOneScope(TRACE_DETAILED, "detailedScope");
    std::string log = readFile(path);
    EXPECT_NE(std::string::npos, log.find("ordinaryScope message 7"));
    EXPECT_EQ(std::string::npos, log.find("detailedScope"));

    path = enableTrace(2, "trace_level2.log");
    TRACE_INITIALIZE();
    writeOneScope(TRACE_ORDINARY, "ordinaryScope");
    writeOneScope(TRACE_DETAILED, "detailedScope");
    log = readFile(path);
    EXPECT_NE(std::string::npos, log.find("ordinaryScope message 7"));
    EXPECT_NE(std::string::npos, log.find("detailedScope message 7"));
}

TEST_F(Trace, test_lines_have_the_header_and_crlf)
{
    std::string path = enableTrace(1, "trace_format.log");
    TRACE_INITIALIZE();
    writeOneScope(TRACE_ORDINARY, "formatScope");

    std::string content = readFile(path);
    EXPECT_EQ(std::string::npos, std::regex_replace(content, std::regex("\r\n"), "").find('\n'))
        << "every line end is CR LF";
    std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(3u, lines.size()) << content;
    char pids[64];
    snprintf(pids, sizeof(pids), "[%lu:%lu] ", GetCurrentProcessId(), GetCurrentThreadId());
    for (const std::string &line : lines) {
        EXPECT_TRUE(std::regex_search(line, HEADER)) << line;
        EXPECT_EQ(0u, line.find(pids)) << line;
    }
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"( \[I\] formatScope >>>> ENTRY >>>>$)"))) << lines[0];
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"( \[W\] formatScope message 7$)"))) << lines[1];
    EXPECT_TRUE(std::regex_search(lines[2], std::regex(R"( \[I\] formatScope <<<< EXIT <<<<$)"))) << lines[2];
}

TEST(TraceFileName, test_session_suffix_and_long_paths)
{
    char name[MAX_PATH];
    memset(name, 0xbd, sizeof(name));
    EXPECT_EQ(1, buildTraceFilename(name, sizeof(name), "C:\\kvd.log", 0));
    EXPECT_STREQ("C:\\kvd.log", name);
    EXPECT_EQ(1, buildTraceFilename(name, sizeof(name), "C:\\kvd.log", 3));
    EXPECT_STREQ("C:\\kvd.log.3", name);

    // 259 characters fill the buffer; a suffix would not fit: tracing is switched off.
    std::string longest(259, 'p');
    char guarded[MAX_PATH + 8];
    memset(guarded, 0xbd, sizeof(guarded));
    EXPECT_EQ(1, buildTraceFilename(guarded, MAX_PATH, longest.c_str(), 0));
    EXPECT_EQ(longest, std::string(guarded));
    EXPECT_EQ(0, buildTraceFilename(guarded, MAX_PATH, longest.c_str(), 3));
    EXPECT_STREQ("", guarded);
    for (size_t i = MAX_PATH; i < sizeof(guarded); i++)
        EXPECT_EQ((char)0xbd, guarded[i]) << "byte " << i << " past the buffer was written";
}

TEST_F(Trace, test_longest_path_in_this_session)
{
    std::string longest = "C:\\" + std::string(256, 'q');
    setDword(KVD_MAIN_KEY, VAL_TRACE_LEVEL, 1);
    setString(KVD_MAIN_KEY, VAL_TRACE_PATH, longest);
    // Only true of the session this test runs in: with a session suffix the name does not fit.
    DWORD expected = retrieveCurrentSessionId() == 0 ? 1 : 0;
    EXPECT_EQ(expected, isTraceEnabled());
    if (expected) {
        EXPECT_EQ(longest, std::string(__trace_filename));
    }
}

TEST_F(Trace, test_two_processes_never_mix_inside_a_line)
{
    std::string path = enableTrace(1, "trace_two_writers.log");
    const int lines = 400;
    HANDLE writers[2] = {startProgram(testBin("core_trace_writer.exe") + " a " + std::to_string(lines)),
                         startProgram(testBin("core_trace_writer.exe") + " b " + std::to_string(lines))};
    ASSERT_TRUE(writers[0] && writers[1]);
    EXPECT_EQ(0u, waitExitCode(writers[0]));
    EXPECT_EQ(0u, waitExitCode(writers[1]));
    CloseHandle(writers[0]);
    CloseHandle(writers[1]);

    const std::regex well_formed(R"(^\[\d+:\d+\] \d\d/\d\d/\d\d \d\d:\d\d:\d\d \[I\] writer )"
                                 R"((>>>> ENTRY >>>>|<<<< EXIT <<<<|a{200}|b{200})$)");
    std::vector<std::string> all = readLines(path);
    EXPECT_EQ((size_t)(2 * (lines + 2)), all.size());
    int broken = 0;
    for (const std::string &line : all) {
        if (!std::regex_match(line, well_formed) && broken++ < 3)
            ADD_FAILURE() << "mixed line: " << line;
    }
    EXPECT_EQ(0, broken);
}

TEST_F(Trace, test_dump_of_the_notification_record)
{
    std::string path = enableTrace(1, "trace_dump.log");
    TRACE_INITIALIZE();
    WLX_NOTIFICATION_INFO info = {};
    info.Size = 28;
    Dump("Logon", &info);
    info.Size = sizeof(info);
    info.UserName = (PWSTR)L"alice";
    info.Flags = 5;
    Dump("Logoff", &info);
    Dump("StartUp", NULL);

    std::vector<std::string> lines = readLines(path);
    std::vector<std::string> messages;
    for (const std::string &line : lines) {
        size_t at = line.find(" Dump ");
        if (at != std::string::npos && line.find(">>>>") == std::string::npos && line.find("<<<<") == std::string::npos)
            messages.push_back(line.substr(at + 6));
    }
    std::string dashes(30, '-');
    std::vector<std::string> expected = {
        dashes, "NOTIFY:  Logon.", "\tinvalid structure.", dashes,
        dashes, "NOTIFY:  Logoff.", "\tUser:          alice.", "\tDomain:        ---.",
        "\tWindowStation: ---.", "\tflags:         5.",
    };
    ASSERT_GE(messages.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(expected[i], messages[i]) << "line " << i;
    EXPECT_EQ(0u, messages[expected.size()].find("\tdesktop:       ")) << messages[expected.size()];
    EXPECT_EQ("info is null", messages.back());
}

TEST_F(Trace, test_message_line_keeps_the_callers_last_error)
{
    std::string path = enableTrace(1, "trace_last_error.log");
    TRACE_INITIALIZE();
    {
        trace_class trace(TRACE_ORDINARY, "errorScope");
        SetLastError(1234);
        TRACE_LINE(trace, TRACE_ERROR, "failed (%u)", (unsigned)GetLastError());
    }
    EXPECT_TRUE(fileContains(path, "[E] errorScope failed (1234)\r\n")) << readFile(path);
}

// test_queue_file: the substitute queue file: format, malformed lines, control rules, concurrent writers.
#include "upcall_endpoint.h"
#include "queue_file.h"

using namespace upcalltest;

static std::string parseError(const std::string &text)
{
    queue_document document;
    std::string error = "untouched";
    bool parsed = parseQueue(text, &document, &error);
    return parsed ? "parsed" : error;
}

TEST(QueueFile, test_malformed_lines_are_named_with_their_number)
{
    EXPECT_EQ("line 2: property 'garbage' is not name:type=value", parseError("# jobs\r\ngarbage\r\n"));
    EXPECT_EQ("line 1: value 'zero' of state is not a 16-bit number", parseError("dist_id:s=A state:h=zero"));
    EXPECT_EQ("line 1: value '40000' of state is not a 16-bit number", parseError("state:h=40000"));
    EXPECT_EQ("line 1: value '4294967296' of n is not a 32-bit number", parseError("n:l=4294967296"));
    EXPECT_EQ("line 1: property x has type 'q' (expected s, h or l)", parseError("x:q=1"));
    EXPECT_EQ("line 1: text of x has a bad %XX escape", parseError("x:s=a%2"));
    EXPECT_EQ("line 1: property ':s=a' is not name:type=value", parseError(":s=a"));
    EXPECT_EQ("line 3: unknown directive '!sleep'", parseError("\n\n!sleep 3"));
    EXPECT_EQ("line 1: directive '!slow-read' needs a number of seconds", parseError("!slow-read soon"));
    EXPECT_EQ("line 1: directive '!fail-read' needs a text", parseError("!fail-read"));
    EXPECT_EQ("parsed", parseError("# comment\r\n\r\n   \r\nx:s=\r\n!slow-control 0\r\n"));
}

TEST(QueueFile, test_rewrite_keeps_comments_directives_and_encoded_texts)
{
    std::string text = "# queue\r\n\r\ndist_id:s=A%20B app_id:s=100%25 state:h=-2 n:l=-7\r\n!fail-control busy now\r\n";
    queue_document document;
    std::string error;
    ASSERT_TRUE(parseQueue(text, &document, &error)) << error;
    EXPECT_EQ("A B", findQueueProperty(document.lines[2].job, "dist_id")->value);
    EXPECT_EQ("100%", findQueueProperty(document.lines[2].job, "app_id")->value);
    EXPECT_EQ(-2, queueNumber(document.lines[2].job, "state", 'h', 99));
    EXPECT_EQ(99, queueNumber(document.lines[2].job, "n", 'h', 99)) << "a value of another type counts as absent";
    EXPECT_EQ("busy now", document.faults.failControl);
    EXPECT_EQ(text, formatQueue(document));
}

TEST(QueueFile, test_control_rules)
{
    queue_document document;
    std::string error, reason = "untouched";
    ASSERT_TRUE(parseQueue("dist_id:s=A state:h=3\ndist_id:s=A state:h=7\ndist_id:s=P state:h=1\n"
                           "dist_id:s=F state:h=6\ndist_id:s=N\n",
                           &document, &error));
    EXPECT_EQ(1, controlQueueJobs(&document, "A", QUEUE_CONTROL_PAUSE, &reason)) << "the finished twin stays";
    EXPECT_EQ("untouched", reason);
    EXPECT_EQ(0, controlQueueJobs(&document, "P", QUEUE_CONTROL_PAUSE, &reason));
    EXPECT_EQ("not in an active state", reason);
    EXPECT_EQ(0, controlQueueJobs(&document, "F", QUEUE_CONTROL_PAUSE, &reason));
    EXPECT_EQ(0, controlQueueJobs(&document, "N", QUEUE_CONTROL_PAUSE, &reason)) << "a job without a state";
    EXPECT_EQ(0, controlQueueJobs(&document, "Z", QUEUE_CONTROL_RESUME, &reason));
    EXPECT_EQ("no such distribution in the queue", reason);
    EXPECT_EQ(0, controlQueueJobs(&document, "F", QUEUE_CONTROL_RESUME, &reason));
    EXPECT_EQ("not paused", reason);
    EXPECT_EQ(2, controlQueueJobs(&document, "A", QUEUE_CONTROL_PAUSE, &reason) +
                     controlQueueJobs(&document, "A", QUEUE_CONTROL_RESUME, &reason) +
                     controlQueueJobs(&document, "P", QUEUE_CONTROL_RESUME, &reason));
    EXPECT_EQ("dist_id:s=A state:h=0\r\ndist_id:s=A state:h=7\r\ndist_id:s=P state:h=0\r\n"
              "dist_id:s=F state:h=6\r\ndist_id:s=N\r\n",
              formatQueue(document));
}

TEST_F(UpcallTest, test_malformed_queue_is_reported_and_left_alone)
{
    writeQueue({myJob("A1", 0), "dist_id:s=A2 app_id:s=Palvento state:h=zero"});
    std::string before = readQueue();
    std::string expected = "Exception: Korvo2Queue: " + queuePath() + " line 2: value 'zero' of state is not a 16-bit number\n";
    for (const char *arguments : {"-l", "-L"}) {
        UpcallResult run = runUpcall(arguments);
        EXPECT_EQ(1u, run.exitCode) << arguments;
        EXPECT_EQ("", run.out) << arguments;
        EXPECT_EQ(expected, run.err) << arguments;
    }
    UpcallResult run = runUpcall("-p A1");
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(expected, run.err);
    EXPECT_EQ(before, readQueue());

    kvdtest::ProcessResult listing =
        kvdtest::runProgram(kvdtest::productBin("queuetool.exe") + " -d " + endpoint().dataDir + " list");
    EXPECT_EQ(1u, listing.exitCode);
    EXPECT_NE(std::string::npos, listing.err.find("line 2: value 'zero' of state is not a 16-bit number"))
        << listing.err;
}

TEST_F(UpcallTest, test_queue_tool_prints_a_table)
{
    writeQueue({myJob("A1", 0, "SW_MAX_LOGIN_ALLOWED:l=4 note:s=two%20words"), "# comment",
                "dist_id:s=O1 app_id:s=Other state:h=1"});
    kvdtest::ProcessResult listing =
        kvdtest::runProgram(kvdtest::productBin("queuetool.exe") + " -d " + endpoint().dataDir + " list");
    EXPECT_EQ(0u, listing.exitCode);
    EXPECT_EQ("queue " + queuePath() + "\r\n" +
                  "#  DIST_ID  APP_ID    STATE  CONCURRENT  MAX_LOGIN  OTHER\r\n"
                  "1  A1       Palvento  0      1           4          note:s=two%20words\r\n"
                  "2  O1       Other     1      -           -\r\n",
              listing.out);
}

// Writers in several processes at once, each a locked read-modify-write of the whole file.
TEST_F(UpcallTest, test_concurrent_control_requests_lose_no_update)
{
    const int tools = 4, jobsPerTool = 30, upcalls = 8;
    std::vector<std::string> lines = {"# shared by four tools and the upcall program"};
    for (int i = 0; i < tools * jobsPerTool; i++)
        lines.push_back(myJob("J" + std::to_string(i), 0));
    for (int i = 0; i < upcalls; i++)
        lines.push_back(myJob("U" + std::to_string(i), 1));
    writeQueue(lines);

    std::vector<HANDLE> processes;
    for (int t = 0; t < tools; t++) {
        std::string command = kvdtest::productBin("queuetool.exe") + " -d " + endpoint().dataDir + " pause";
        for (int j = 0; j < jobsPerTool; j++)
            command += " J" + std::to_string(t * jobsPerTool + j);
        processes.push_back(kvdtest::startProgram(command));
    }
    for (int i = 0; i < upcalls; i++)
        EXPECT_EQ(0u, runUpcall("-r U" + std::to_string(i)).exitCode) << "U" << i;
    for (HANDLE process : processes) {
        EXPECT_EQ(0u, kvdtest::waitExitCode(process, 120000));
        CloseHandle(process);
    }

    std::string expected = "# shared by four tools and the upcall program\r\n";
    for (int i = 0; i < tools * jobsPerTool; i++)
        expected += myJob("J" + std::to_string(i), 1) + "\r\n";
    for (int i = 0; i < upcalls; i++)
        expected += myJob("U" + std::to_string(i), 0) + "\r\n";
    EXPECT_EQ(expected, readQueue());

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((queuePath() + ".*.new").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "no temporary file is left behind";
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

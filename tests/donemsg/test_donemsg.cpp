// Tests of donemsg under Wine and Xvfb: its message boxes, their texts and defaults, one instance at a time.
#include "donemsg_box.h"
#include "test_support.h"
#include "utils.h"

using namespace kvdtest;
using namespace donemsgtest;

static const DWORD BOX_WAIT_MS = 20000;
static const DWORD EXIT_WAIT_MS = 20000;
static const DWORD SHUTDOWN_MESSAGE_DELAY_MS = 5000;
static const char MUTEX_NAME[] = "Global\\KVD_donemsg_mutex";
static const char DEFAULT_TITLE[] = "KVDNotification";
static const char DEFAULT_COMPLETION_TEXT[] = "The distribution is completed\nNow you can logon";
static const char DEFAULT_SHUTDOWN_TEXT[] = "The machine will shutdown when the distribution completes";

struct ShownBox {
    std::string message;
    DWORD shownAfterMs;
    DWORD ownerPid;
    DWORD exitCode;
};

class Donemsg : public RegistryTest {
protected:
    std::vector<HANDLE> started;

    StartedProcess start(const std::string &arguments)
    {
        StartedProcess process = startDonemsg(arguments);
        if (process.process != NULL)
            started.push_back(process.process);
        return process;
    }

    // Starts donemsg, waits for its box, pictures it, presses OK and waits for the end.
    ShownBox showAndClose(const std::string &arguments, const std::string &caption, const std::string &shotName)
    {
        ShownBox shown = {"<no box>", 0, 0, 0xdeadbeef};
        StartedProcess process = start(arguments);
        HWND box = waitForBox(caption, BOX_WAIT_MS);
        if (box == NULL) {
            ADD_FAILURE() << "no box captioned '" << caption << "' for arguments '" << arguments << "'";
            return shown;
        }
        shown.shownAfterMs = GetTickCount() - process.startTick;
        shown.ownerPid = windowProcessId(box);
        shown.message = boxMessage(box);
        screenshotBox(box, shotName);
        EXPECT_EQ(process.pid, shown.ownerPid) << "the box belongs to another process";
        pressOk(box);
        shown.exitCode = waitExitCode(process.process, EXIT_WAIT_MS);
        return shown;
    }

    void TearDown() override
    {
        for (HANDLE process : started) {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
                TerminateProcess(process, 0xdead);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
        RegistryTest::TearDown();
    }
};

static std::vector<std::string> shownRun(const char *typeLine)
{
    return {"[I] >>>> ENTRY >>>>", typeLine, "[I] show message box", "[I] message box returned",
            "[I] <<<< EXIT <<<<"};
}

TEST_F(Donemsg, test_type_0_shows_the_completion_message_at_once)
{
    std::string trace = enableTrace(1, "donemsg_type0.log");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, "Done type 0");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, "Distribution finished");
    setString(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_MSG, "Shutdown follows");

    StartedProcess process = start("0");
    HWND box = waitForBox("Done type 0", BOX_WAIT_MS);
    ASSERT_TRUE(box != NULL);
    DWORD shownAfterMs = GetTickCount() - process.startTick;
    EXPECT_LT(shownAfterMs, SHUTDOWN_MESSAGE_DELAY_MS) << "type 0 waits for nothing";
    EXPECT_EQ("Distribution finished", boxMessage(box));
    EXPECT_EQ(std::vector<std::string>{"OK"}, boxButtons(box));
    EXPECT_TRUE(boxShowsExclamationIcon(box));
    screenshotBox(box, "type0_completion");
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.process, 0)) << "ends only when the box is closed";

    pressOk(box);
    EXPECT_EQ(0u, waitExitCode(process.process, EXIT_WAIT_MS));
    EXPECT_EQ(shownRun("[I] type=0"), traceMessages(trace, "donemsg"));
    printf("type 0: box shown %lu ms after the start\n", (unsigned long)shownAfterMs);
}

TEST_F(Donemsg, test_type_1_shows_the_shutdown_message_after_5_seconds)
{
    std::string trace = enableTrace(1, "donemsg_type1.log");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, "Done type 1");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, "Distribution finished");
    setString(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_MSG, "Shutdown follows");

    ShownBox shown = showAndClose("1", "Done type 1", "type1_shutdown");
    EXPECT_EQ("Shutdown follows", shown.message);
    EXPECT_GE(shown.shownAfterMs, SHUTDOWN_MESSAGE_DELAY_MS);
    EXPECT_LT(shown.shownAfterMs, SHUTDOWN_MESSAGE_DELAY_MS + BOX_WAIT_MS);
    EXPECT_EQ(0u, shown.exitCode);
    EXPECT_EQ(shownRun("[I] type=1"), traceMessages(trace, "donemsg"));
    printf("type 1: box shown %lu ms after the start\n", (unsigned long)shown.shownAfterMs);
}

TEST_F(Donemsg, test_type_is_the_last_character_of_the_arguments)
{
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, "Done by type");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, "Completion text");
    setString(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_MSG, "Shutdown text");
    struct Case {
        const char *arguments;
        const char *typeLine;
        const char *message;
        const char *shot;
    } cases[] = {
        // the tail of an unquoted program path, a blank and the type
        {"Files\\KVD\\donemsg.exe 1", "[I] type=1", "Shutdown text", "type_path_then_1"},
        {"1a", "[I] type=0", "Completion text", "type_trailing_letter"},
        {"7", "[I] type=7", "Completion text", "type_other_digit"},
        {"", "[I] type=0", "Completion text", "type_no_arguments"},
    };
    for (const Case &c : cases) {
        std::string trace = enableTrace(1, std::string("donemsg_") + c.shot + ".log");
        ShownBox shown = showAndClose(c.arguments, "Done by type", c.shot);
        EXPECT_EQ(c.message, shown.message) << "arguments '" << c.arguments << "'";
        EXPECT_EQ(0u, shown.exitCode) << "arguments '" << c.arguments << "'";
        EXPECT_EQ(shownRun(c.typeLine), traceMessages(trace, "donemsg")) << "arguments '" << c.arguments << "'";
    }
}

TEST_F(Donemsg, test_defaults_when_nothing_is_configured)
{
    std::string trace = enableTrace(1, "donemsg_defaults.log");
    ShownBox shown = showAndClose("0", DEFAULT_TITLE, "defaults_completion");
    EXPECT_EQ(DEFAULT_COMPLETION_TEXT, shown.message);
    EXPECT_EQ(0u, shown.exitCode);
    std::vector<std::string> expected = {"[I] >>>> ENTRY >>>>", "[I] type=0",
                                         "[I] title not found, using default",
                                         "[I] msg not found, using default", "[I] show message box",
                                         "[I] message box returned", "[I] <<<< EXIT <<<<"};
    EXPECT_EQ(expected, traceMessages(trace, "donemsg"));

    // A value of another type counts as missing.
    setDword(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, 5);
    setDword(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_MSG, 5);
    shown = showAndClose("1", DEFAULT_TITLE, "defaults_shutdown");
    EXPECT_EQ(DEFAULT_SHUTDOWN_TEXT, shown.message);
    EXPECT_EQ(0u, shown.exitCode);
}

TEST_F(Donemsg, test_escapes_in_the_message_are_expanded)
{
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, "Done escapes");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, "First line\\nSecond line\\tafter a tab \\\\ C:\\Dist");
    ShownBox shown = showAndClose("0", "Done escapes", "escapes_line_break");
    EXPECT_EQ("First line\nSecond line\tafter a tab \\ C:\\Dist", shown.message);
    EXPECT_EQ(0u, shown.exitCode);
}

TEST_F(Donemsg, test_second_instance_exits_1_at_once_while_a_box_is_open)
{
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, "Done once");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, "Only one at a time");
    std::string firstTrace = enableTrace(1, "donemsg_first.log");
    StartedProcess first = start("0");
    HWND box = waitForBox("Done once", BOX_WAIT_MS);
    ASSERT_TRUE(box != NULL);

    // Both types give up at once, before the pause of type 1.
    const char *const laterArguments[] = {"0", "1"};
    for (const char *arguments : laterArguments) {
        std::string trace = enableTrace(1, std::string("donemsg_second_") + arguments + ".log");
        StartedProcess second = start(arguments);
        DWORD exitCode = waitExitCode(second.process, EXIT_WAIT_MS);
        DWORD endedAfterMs = GetTickCount() - second.startTick;
        EXPECT_EQ(1u, exitCode) << "type " << arguments;
        EXPECT_LT(endedAfterMs, SHUTDOWN_MESSAGE_DELAY_MS) << "type " << arguments;
        std::vector<std::string> expected = {"[I] >>>> ENTRY >>>>",
                                             "[W] another instance of donemsg is already running, exiting...",
                                             "[I] <<<< EXIT <<<<"};
        EXPECT_EQ(expected, traceMessages(trace, "donemsg")) << "type " << arguments;
        std::vector<HWND> boxes = findBoxes("Done once");
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(first.pid, windowProcessId(boxes[0]));
        printf("second instance of type %s ended after %lu ms\n", arguments, (unsigned long)endedAfterMs);
    }
    screenshotBox(box, "single_instance_first_box");
    pressOk(box);
    EXPECT_EQ(0u, waitExitCode(first.process, EXIT_WAIT_MS));
    EXPECT_EQ(shownRun("[I] type=0"), traceMessages(firstTrace, "donemsg"));

    // Once the box is closed the next instance shows its message again.
    enableTrace(1, "donemsg_after.log");
    ShownBox shown = showAndClose("0", "Done once", "single_instance_next_box");
    EXPECT_EQ(0u, shown.exitCode);
}

TEST_F(Donemsg, test_mutex_that_cannot_be_created_ends_with_1)
{
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, "Done no mutex");
    std::string trace = enableTrace(1, "donemsg_no_mutex.log");
    // Another kind of object holding the name: the mutex cannot be made.
    HANDLE squatter = CreateEventA(NULL, TRUE, FALSE, MUTEX_NAME);
    ASSERT_TRUE(squatter != NULL);

    StartedProcess process = start("0");
    EXPECT_EQ(1u, waitExitCode(process.process, EXIT_WAIT_MS));
    EXPECT_TRUE(findBoxes("Done no mutex").empty());
    CloseHandle(squatter);
    std::vector<std::string> expected = {
        "[I] >>>> ENTRY >>>>",
        "[W] error creating the mutex (6), probably another instance is already runinng, exiting...",
        "[I] <<<< EXIT <<<<"};
    EXPECT_EQ(expected, traceMessages(trace, "donemsg"));
}

// The library starts donemsg with the configured program, a blank and the type, and does not wait.
TEST_F(Donemsg, test_both_types_started_by_the_library)
{
    setDword(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_ENABLED, 1);
    setDword(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_ENABLED, 1);
    setString(KVD_MAIN_KEY, VAL_COMPLETION_PROGRAM_PATH, productBin("donemsg.exe"));
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_TITLE, "Done from the library");
    setString(KVD_MAIN_KEY, VAL_COMPLETION_POPUP_MSG, "Completion from the library");
    setString(KVD_MAIN_KEY, VAL_SHUTDOWN_POPUP_MSG, "Shutdown from the library");
    struct Case {
        int type;
        const char *typeLine;
        const char *message;
        const char *shot;
    } cases[] = {{0, "[I] type=0", "Completion from the library", "library_type0"},
                 {1, "[I] type=1", "Shutdown from the library", "library_type1"}};
    for (const Case &c : cases) {
        std::string trace = enableTrace(1, std::string("donemsg_") + c.shot + ".log");
        DWORD before = GetTickCount();
        showFinalPopup(c.type);
        EXPECT_LT(GetTickCount() - before, SHUTDOWN_MESSAGE_DELAY_MS) << "the library does not wait";

        HWND box = waitForBox("Done from the library", BOX_WAIT_MS);
        ASSERT_TRUE(box != NULL) << "type " << c.type;
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, windowProcessId(box));
        ASSERT_TRUE(process != NULL);
        started.push_back(process);
        EXPECT_EQ(c.message, boxMessage(box)) << "type " << c.type;
        screenshotBox(box, c.shot);
        pressOk(box);
        EXPECT_EQ(0u, waitExitCode(process, EXIT_WAIT_MS)) << "type " << c.type;
        std::vector<std::string> lines = traceMessages(trace, "donemsg");
        EXPECT_EQ(shownRun(c.typeLine), lines) << "type " << c.type;
    }
}

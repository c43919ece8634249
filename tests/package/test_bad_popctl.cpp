// Bad input for popctl's start-up on an allowed logon: the values it reads
// then (the remaining-logons switch and message, the budget, the deny marker,
// the shutdown veto) of the wrong type, empty and 4 KB long. The deny path is
// never taken: it logs the Wine session off.
#include "bad_values.h"
#include "popctl_driver.h"
#include "test_support.h"

#include <string>

using namespace kvdtest;
using namespace kvdpkg;

namespace {

const DWORD SENTINEL = 0xdeadbeef;
const DWORD START_MS = 10000;
const DWORD NO_BOX_MS = 2000;   // the remaining-logons box shows before popctl's start goes on

class BadPopctl : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        volatile popctl::SharedRecord *record = popctl::sharedRecord();
        ASSERT_TRUE(record != NULL);
        record->_upcallRunning = 0;
    }

    // A fresh allowed logon: switched on, budget 3, the remaining-logons message on.
    void baseline(const std::string &traceName)
    {
        deleteKeys();
        createKeys();
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
        setDword(KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED, 3);
        setDword(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED, 1);
        trace_ = enableTrace(2, traceName);
    }

    void setBad(const char *key, const char *name, ValueKind kind, BadForm form)
    {
        DWORD type;
        std::string bytes;
        badValue(kind, form, &type, &bytes);
        setRaw(key, name, type, bytes);
    }

    // Starts popctl; the remaining-logons box it shows (pressed away), or "" when none came.
    std::string startAndAnswerBox(HWND *window)
    {
        process_ = startProgram("\"" + productBin("popctl.exe") + "\"");
        HWND box = popctl::waitPopup(popctl::REMAINING_LOGON_CAPTION, NO_BOX_MS);
        std::string text = box != NULL ? "box: " + popctl::messageBoxText(box) : "";
        if (box != NULL)
            popctl::press(box, IDOK);
        *window = popctl::waitMainWindow(START_MS);
        return text;
    }

    // A logoff query ends popctl with exit code 0.
    void logOff(HWND window, const std::string &what)
    {
        EXPECT_TRUE(window != NULL) << what << ": no main window";
        if (window != NULL) {
            EXPECT_EQ(TRUE, popctl::queryEndSession(window, ENDSESSION_LOGOFF)) << what;
        }
        EXPECT_EQ(0u, waitExitCode(process_, START_MS)) << what;
        CloseHandle(process_);
        process_ = NULL;
    }

    bool tracedInvalid(const char *key, const char *name)
    {
        return fileContains(trace_, std::string("invalid content of ") + key + "\\" + name);
    }

    std::string trace_;
    HANDLE process_ = NULL;
};

const BadForm FORMS[] = {WRONG_TYPE, EMPTY, LONG_4K};

TEST_F(BadPopctl, test_remaining_logons_switch_budget_and_deny_marker_unreadable_mean_no_box_and_no_denial)
{
    struct { const char *key; const char *name; } values[] = {
        {KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED},
        {KVD_MAIN_KEY, VAL_MAX_LOGIN_ALLOWED},
    };
    for (BadForm form : FORMS) {
        for (const auto &value : values) {
            std::string what = std::string(value.name) + " " + FORM_NAMES[form];
            baseline("bad_popctl_switch.trc");
            setBad(value.key, value.name, KIND_DWORD, form);
            HWND window = NULL;
            EXPECT_EQ("", startAndAnswerBox(&window)) << what;
            logOff(window, what);
            EXPECT_TRUE(tracedInvalid(value.key, value.name)) << what;
        }
        // A deny marker that cannot be read is no denial: the box shows as on an allowed logon.
        std::string what = std::string(VAL_POPUP_TYPE) + " " + FORM_NAMES[form];
        baseline("bad_popctl_deny.trc");
        setBad(KVD_POPCTL_KEY, VAL_POPUP_TYPE, KIND_DWORD, form);
        HWND window = NULL;
        EXPECT_EQ("box: The current distribution has been paused\nYour left logon are: 3", startAndAnswerBox(&window))
            << what;
        logOff(window, what);
        EXPECT_TRUE(tracedInvalid(KVD_POPCTL_KEY, VAL_POPUP_TYPE)) << what;
    }
}

TEST_F(BadPopctl, test_remaining_logons_message_of_the_wrong_type_empty_and_4_kb_long)
{
    const std::string expected[] = {"box: The current distribution has been paused\nYour left logon are: 3", "box: ",
                                    "box: " + longText()};
    for (BadForm form : FORMS) {
        std::string what = std::string(VAL_LEFT_LOGON_POPUP_MSG) + " " + FORM_NAMES[form];
        baseline("bad_popctl_message.trc");
        setBad(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_MSG, KIND_TEXT, form);
        HWND window = NULL;
        EXPECT_EQ(expected[form], startAndAnswerBox(&window)) << what;
        logOff(window, what);
    }
}

TEST_F(BadPopctl, test_a_shutdown_veto_that_cannot_be_read_lets_the_shutdown_through)
{
    for (BadForm form : FORMS) {
        std::string what = std::string(VAL_IS_ACTIVE) + " " + FORM_NAMES[form];
        baseline("bad_popctl_active.trc");
        removeValue(KVD_POPCTL_KEY, VAL_LEFT_LOGON_POPUP_ENABLED);
        setBad(KVD_POPCTL_KEY, VAL_IS_ACTIVE, KIND_DWORD, form);
        HWND window = NULL;
        startAndAnswerBox(&window);
        if (window != NULL) {
            EXPECT_EQ(TRUE, popctl::queryEndSession(window, 0)) << what << ": a shutdown query";
        }
        logOff(window, what);
        EXPECT_TRUE(tracedInvalid(KVD_POPCTL_KEY, VAL_IS_ACTIVE)) << what;
    }
}

TEST_F(BadPopctl, test_a_main_switch_that_cannot_be_read_ends_popctl_at_once)
{
    for (BadForm form : FORMS) {
        std::string what = std::string(VAL_IS_ENABLED) + " " + FORM_NAMES[form];
        baseline("bad_popctl_enabled.trc");
        setBad(KVD_MAIN_KEY, VAL_IS_ENABLED, KIND_DWORD, form);
        ProcessResult result = runProgram("\"" + productBin("popctl.exe") + "\"", START_MS);
        EXPECT_EQ(0u, result.exitCode) << what;
        DWORD enabled = SENTINEL;
        EXPECT_TRUE(getDword(KVD_MAIN_KEY, VAL_IS_ENABLED, &enabled)) << what;
        EXPECT_EQ(0u, enabled) << what << ": 0 written back";
    }
}

}  // namespace

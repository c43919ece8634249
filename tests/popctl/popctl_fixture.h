// popctl_fixture: the registry, trace and process fixture shared by popctl's tests.
#ifndef KVD_POPCTL_FIXTURE_H
#define KVD_POPCTL_FIXTURE_H

#include "test_support.h"
#include "popctl_driver.h"

#include <string>

using namespace kvdtest;
using namespace popctl;

constexpr int DENY_MESSAGE = 1000;
constexpr int POPUP_ICON = 1001;
constexpr int CHOICE_MESSAGE = 1002;
constexpr int ACTION_COMBO = 1006;
constexpr char DEFAULT_TITLE[] = "Palvento Notification Message";
constexpr DWORD START_MS = 10000;

class Popctl : public RegistryTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(waitLogoffDone(START_MS)) << "a logoff of the session is still under way";
        RegistryTest::SetUp();
        setDword(KVD_MAIN_KEY, VAL_IS_ENABLED, 1);
        trace = enableTrace(1, "popctl.trace");
        DeleteFileA((trace + ".1").c_str());
        volatile SharedRecord *record = sharedRecord();
        ASSERT_TRUE(record != NULL);
        record->_upcallRunning = 0;
        record->_final_popup_enabled = 0;
        record->_shutdownWhenComplete = 0;
    }

    void TearDown() override
    {
        if (process != NULL) {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
                TerminateProcess(process, 0xdead);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
            process = NULL;
        }
        EXPECT_TRUE(waitLogoffDone(START_MS)) << "the session's logoff did not end";
        RegistryTest::TearDown();
    }

    void start(const std::string &exe = productBin("popctl.exe"))
    {
        process = startProgram("\"" + exe + "\"");
        ASSERT_TRUE(process != NULL);
    }

    // Starts popctl on an allowed logon and waits for its hidden window.
    HWND startAllowed()
    {
        start();
        HWND window = waitMainWindow(START_MS);
        EXPECT_TRUE(window != NULL) << "no window of class " << MAIN_WINDOW_CLASS;
        return window;
    }

    // Starts popctl with a running plan and asks for a shutdown; returns the hidden window.
    HWND requestShutdown(DWORD timeoutSeconds)
    {
        setDword(KVD_POPCTL_KEY, VAL_IS_ACTIVE, 1);
        setDword(KVD_POPCTL_KEY, VAL_TIMEOUT, timeoutSeconds);
        HWND window = startAllowed();
        if (window != NULL) {
            EXPECT_EQ(FALSE, queryEndSession(window, 0)) << "a shutdown must be refused while a plan runs";
        }
        return window;
    }

    // The same, returning the choice popup.
    HWND openChoicePopup(DWORD timeoutSeconds, const std::string &title = DEFAULT_TITLE, DWORD waitMs = START_MS)
    {
        if (requestShutdown(timeoutSeconds) == NULL)
            return NULL;
        HWND popup = waitPopup(title, waitMs);
        EXPECT_TRUE(popup != NULL) << "no choice popup titled '" << title << "'";
        return popup;
    }

    void denyLogon(DWORD type, const char *distId)
    {
        setDword(KVD_POPCTL_KEY, VAL_POPUP_TYPE, type);
        if (distId != NULL)
            setString(KVD_POPCTL_KEY, VAL_POPUP_DIST_ID, distId);
    }

    bool running() { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }
    DWORD exitCode(DWORD timeoutMs = 20000) { return waitExitCode(process, timeoutMs); }

    // Wine numbers the first session of a fresh prefix 1, later ones 0: read both files.
    std::string traceText() { return readFile(trace) + readFile(trace + ".1"); }
    bool traced(const std::string &text) { return traceText().find(text) != std::string::npos; }
    bool waitTraced(const std::string &text, DWORD timeoutMs = START_MS)
    {
        for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
            if (traced(text))
                return true;
            Sleep(50);
        }
        return traced(text);
    }

    std::string trace;
    HANDLE process = NULL;
};

#endif

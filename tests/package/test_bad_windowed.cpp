// Bad input for donemsg: its caption and messages of the wrong type, empty and
// 4 KB long. The box must still appear, show the default for a value it
// cannot read (and trace why), show an empty or long text as stored, and end
// with exit code 0 when OK is pressed.
#include "bad_values.h"
#include "donemsg_box.h"
#include "test_support.h"

#include <string>

using namespace kvdtest;
using namespace kvdpkg;
using namespace donemsgtest;

namespace {

const DWORD BOX_WAIT_MS = 20000;   // the shutdown message comes after a 5-second pause

struct DonemsgValue {
    const char *name;
    int type;                      // the argument that makes donemsg read it
    bool isCaption;
};

const DonemsgValue DONEMSG_VALUES[] = {
    {VAL_COMPLETION_POPUP_TITLE, 0, true},
    {VAL_COMPLETION_POPUP_MSG, 0, false},
    {VAL_SHUTDOWN_POPUP_MSG, 1, false},
};

// What donemsg shows for a value of this form: its default, nothing, or the long text.
std::string shownFor(BadForm form, const std::string &fallback)
{
    return form == WRONG_TYPE ? fallback : form == EMPTY ? "" : longText();
}

std::string defaultMessage(int type)
{
    return type == 1 ? DEF_SHUTDOWN_POPUP_MSG : "The distribution is completed\nNow you can logon";
}

class BadWindowed : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        trace_ = enableTrace(2, "bad_windowed.trc");
    }
    std::string trace_;
};

TEST_F(BadWindowed, test_donemsg_with_its_caption_and_messages_of_the_wrong_type_empty_and_4_kb_long)
{
    for (const DonemsgValue &value : DONEMSG_VALUES) {
        for (BadForm form : {WRONG_TYPE, EMPTY, LONG_4K}) {
            std::string what = std::string(value.name) + " " + FORM_NAMES[form];
            DWORD type;
            std::string bytes;
            badValue(KIND_TEXT, form, &type, &bytes);
            setRaw(KVD_MAIN_KEY, value.name, type, bytes);
            std::string caption = value.isCaption ? shownFor(form, DEF_COMPLETION_POPUP_TITLE)
                                                  : DEF_COMPLETION_POPUP_TITLE;
            std::string message = value.isCaption ? defaultMessage(value.type)
                                                  : shownFor(form, defaultMessage(value.type));

            StartedProcess donemsg = startDonemsg(std::to_string(value.type));
            HWND box = waitForBox(caption, BOX_WAIT_MS);
            EXPECT_TRUE(box != NULL) << what << ": no box with the expected caption";
            if (box != NULL) {
                EXPECT_EQ(message, boxMessage(box)) << what;
                pressOk(box);
            } else {
                TerminateProcess(donemsg.process, 0xdead);
            }
            EXPECT_EQ(0u, waitExitCode(donemsg.process, BOX_WAIT_MS)) << what;
            CloseHandle(donemsg.process);
            if (form == WRONG_TYPE) {
                EXPECT_TRUE(fileContains(trace_, std::string("invalid content of ") + KVD_MAIN_KEY + "\\" + value.name))
                    << what;
            }
            removeValue(KVD_MAIN_KEY, value.name);
        }
    }
}

}  // namespace

// Tests of the text fitting of both popups: growth in width, then height, within the work area.
#include "popctl_fixture.h"

namespace {

std::string words(size_t characters)
{
    std::string text;
    while (text.size() < characters)
        text += "distribution ";
    text.resize(characters);
    text += "END";
    return text;
}

int width(const RECT &rect) { return rect.right - rect.left; }
int height(const RECT &rect) { return rect.bottom - rect.top; }

SIZE clientSize(HWND window)
{
    RECT client = {0, 0, -1, -1};
    GetClientRect(window, &client);
    return SIZE{client.right, client.bottom};
}

// True when the message's last character lies at least 20 pixels above the control's bottom.
bool lastCharacterVisible(HWND dialog, int messageId)
{
    HWND edit = GetDlgItem(dialog, messageId);
    DWORD_PTR length = 0, position = (DWORD_PTR)-1;
    SendMessageTimeoutA(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
    SendMessageTimeoutA(edit, EM_POSFROMCHAR, length - 1, 0, SMTO_ABORTIFHUNG, 5000, &position);
    return position != (DWORD_PTR)-1 && (short)HIWORD(position) + 20 <= clientSize(edit).cy;
}

}  // namespace

class TextFitting : public Popctl {
protected:
    HWND choiceWithMessage(const std::string &message, DWORD waitMs = START_MS)
    {
        setString(KVD_POPCTL_KEY, VAL_MESSAGE, message);
        return openChoicePopup(60, DEFAULT_TITLE, waitMs);
    }

    // The popup's outer size, and that the layout code has not touched it.
    void expectTemplateLayout(HWND popup, SIZE *outer)
    {
        RECT frame = windowRect(popup);
        *outer = SIZE{width(frame), height(frame)};
        EXPECT_NE(controlRect(popup, IDOK).top, controlRect(popup, IDCANCEL).top)
            << "the template keeps OK and Cancel one unit apart";
        EXPECT_NE(50, controlRect(popup, CHOICE_MESSAGE).left);
    }

    // Positions of the controls after growth, in client pixels of the dialog.
    void expectGrownLayout(HWND popup, bool isDenyPopup)
    {
        RECT frame = windowRect(popup);
        RECT area = workArea();
        int W = width(frame), H = height(frame);
        int N = H - clientSize(popup).cy;
        EXPECT_EQ((area.right - W) / 2, frame.left) << "centred in the work area";
        EXPECT_EQ((area.bottom - H) / 2, frame.top);
        RECT message = controlRect(popup, isDenyPopup ? DENY_MESSAGE : CHOICE_MESSAGE);
        EXPECT_EQ(50, message.left);
        EXPECT_EQ(7, message.top);
        SIZE ok = clientSize(GetDlgItem(popup, IDOK));
        RECT okRect = controlRect(popup, IDOK);
        EXPECT_EQ(H - N - ok.cy - 10, okRect.top);
        if (isDenyPopup) {
            EXPECT_EQ((W - ok.cx) / 2, okRect.left);
            return;
        }
        SIZE cancel = clientSize(GetDlgItem(popup, IDCANCEL));
        SIZE combo = clientSize(GetDlgItem(popup, ACTION_COMBO));
        EXPECT_EQ((W - cancel.cx - ok.cx - 10) / 2, okRect.left);
        EXPECT_EQ((W + ok.cx - cancel.cx + 10) / 2, controlRect(popup, IDCANCEL).left);
        EXPECT_EQ(H - N - cancel.cy - 10, controlRect(popup, IDCANCEL).top);
        EXPECT_EQ((W - combo.cx) / 2, controlRect(popup, ACTION_COMBO).left);
        EXPECT_EQ(H - N - ok.cy - combo.cy - 20, controlRect(popup, ACTION_COMBO).top);
    }

    void restart()
    {
        TearDown();
        SetUp();
    }
};

TEST_F(TextFitting, test_short_or_empty_message_keeps_the_template_size)
{
    HWND popup = choiceWithMessage("A short line.");
    ASSERT_TRUE(popup != NULL);
    SIZE shortSize;
    expectTemplateLayout(popup, &shortSize);
    restart();

    popup = choiceWithMessage("");
    ASSERT_TRUE(popup != NULL);
    SIZE emptySize;
    expectTemplateLayout(popup, &emptySize);
    EXPECT_EQ(shortSize.cx, emptySize.cx);
    EXPECT_EQ(shortSize.cy, emptySize.cy);
}

TEST_F(TextFitting, test_long_message_grows_wider_then_taller)
{
    HWND popup = choiceWithMessage("x");
    ASSERT_TRUE(popup != NULL);
    SIZE templateSize;
    expectTemplateLayout(popup, &templateSize);
    restart();

    popup = choiceWithMessage(words(1200));   // more lines than the template holds, in Tahoma too
    ASSERT_TRUE(popup != NULL);
    RECT frame = windowRect(popup);
    RECT area = workArea();
    int widthLimit = area.right - area.right / 3;
    EXPECT_LT(width(frame), widthLimit);
    EXPECT_GE(width(frame) + 10, widthLimit) << "more than two lines: widened up to the limit";
    EXPECT_GT(height(frame), templateSize.cy) << "then heightened";
    EXPECT_LT(height(frame) + 10, area.bottom - 100) << "below the height limit";
    EXPECT_TRUE(lastCharacterVisible(popup, CHOICE_MESSAGE));
    expectGrownLayout(popup, false);

    RECT dropped = {0, 0, 0, 0};
    DWORD_PTR ignored;
    SendMessageTimeoutA(GetDlgItem(popup, ACTION_COMBO), CB_GETDROPPEDCONTROLRECT, 0, (LPARAM)&dropped,
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    EXPECT_GT(height(dropped), clientSize(GetDlgItem(popup, ACTION_COMBO)).cy * 2)
        << "the moved combo box keeps its drop-down list";
}

TEST_F(TextFitting, test_wrapping_message_widens_until_two_lines)
{
    HWND popup = choiceWithMessage(words(160));
    ASSERT_TRUE(popup != NULL);
    RECT frame = windowRect(popup);
    RECT area = workArea();
    EXPECT_LT(width(frame) + 10, area.right - area.right / 3) << "stopped before the limit";
    DWORD_PTR lines = 0;
    SendMessageTimeoutA(GetDlgItem(popup, CHOICE_MESSAGE), EM_GETLINECOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &lines);
    EXPECT_EQ(2u, lines);
    expectGrownLayout(popup, false);
}

TEST_F(TextFitting, test_very_long_message_stops_at_the_work_area_limits)
{
    std::string manyLines;
    for (int line = 1; line <= 150; ++line)
        manyLines += "line " + std::to_string(line) + "\\n";
    HWND popup = choiceWithMessage(manyLines + "END");
    ASSERT_TRUE(popup != NULL);
    RECT frame = windowRect(popup);
    RECT area = workArea();
    int widthLimit = area.right - area.right / 3;
    int heightLimit = area.bottom - 100;
    EXPECT_LT(width(frame), widthLimit);
    EXPECT_GE(width(frame) + 10, widthLimit);
    EXPECT_LT(height(frame), heightLimit);
    EXPECT_GE(height(frame) + 10, heightLimit);
    EXPECT_FALSE(lastCharacterVisible(popup, CHOICE_MESSAGE)) << "text beyond the limits stays out of view";
    expectGrownLayout(popup, false);
}

TEST_F(TextFitting, test_deny_popup_centres_its_button)
{
    denyLogon(0, "");
    setDword(KVD_MAIN_KEY, VAL_SWITCH_POPUP_DESKTOP, 0);
    setString(KVD_MAIN_KEY, VAL_LOGIN_DENIED_MSG, words(400));
    start();
    HWND popup = waitPopup(DEFAULT_TITLE, START_MS);
    ASSERT_TRUE(popup != NULL);
    EXPECT_TRUE(lastCharacterVisible(popup, DENY_MESSAGE));
    expectGrownLayout(popup, true);
    press(popup, IDOK);
    EXPECT_EQ(1u, exitCode());
}

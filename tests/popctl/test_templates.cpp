// Tests of popctl's dialog templates 101 and 102, read from the shipped program's resources.
#include "popctl_fixture.h"

#include <vector>

namespace {

struct ControlTemplate {
    DWORD style;
    short x, y, cx, cy;
    WORD id;
    std::wstring className;   // the predefined classes by name: BUTTON, EDIT, STATIC, COMBOBOX
    std::wstring text;
};

struct DialogTemplate {
    DWORD style;
    short x, y, cx, cy;
    std::wstring caption;
    WORD pointSize;
    std::wstring font;
    std::vector<ControlTemplate> controls;
};

const WORD *skipAligned(const WORD *cursor)
{
    return (const WORD *)(((ULONG_PTR)cursor + 3) & ~(ULONG_PTR)3);
}

// A name or ordinal field: 0 none, 0xFFFF and an ordinal, or a zero-terminated text.
const WORD *readNameOrOrdinal(const WORD *cursor, std::wstring *text, WORD *ordinal)
{
    *ordinal = 0;
    text->clear();
    if (*cursor == 0xFFFF) {
        *ordinal = cursor[1];
        return cursor + 2;
    }
    while (*cursor != 0)
        text->push_back((wchar_t)*cursor++);
    return cursor + 1;
}

std::wstring predefinedClass(WORD atom)
{
    switch (atom) {
    case 0x80: return L"BUTTON";
    case 0x81: return L"EDIT";
    case 0x82: return L"STATIC";
    case 0x85: return L"COMBOBOX";
    default: return L"?";
    }
}

bool parseDialog(const void *data, DialogTemplate *dialog)
{
    const DLGTEMPLATE *header = (const DLGTEMPLATE *)data;
    if (HIWORD(header->style) == 0xFFFF)
        return false;   // an extended template: not what the resource script declares
    dialog->style = header->style;
    dialog->x = header->x;
    dialog->y = header->y;
    dialog->cx = header->cx;
    dialog->cy = header->cy;
    const WORD *cursor = (const WORD *)(header + 1);
    std::wstring ignored;
    WORD ordinal;
    cursor = readNameOrOrdinal(cursor, &ignored, &ordinal);   // menu
    cursor = readNameOrOrdinal(cursor, &ignored, &ordinal);   // class
    cursor = readNameOrOrdinal(cursor, &dialog->caption, &ordinal);
    if (header->style & DS_SETFONT) {
        dialog->pointSize = *cursor++;
        cursor = readNameOrOrdinal(cursor, &dialog->font, &ordinal);
    }
    for (WORD i = 0; i < header->cdit; ++i) {
        const DLGITEMTEMPLATE *item = (const DLGITEMTEMPLATE *)skipAligned(cursor);
        ControlTemplate control = {item->style, item->x, item->y, item->cx, item->cy, item->id, L"", L""};
        cursor = (const WORD *)(item + 1);
        WORD atom;
        cursor = readNameOrOrdinal(cursor, &control.className, &atom);
        if (atom != 0)
            control.className = predefinedClass(atom);
        cursor = readNameOrOrdinal(cursor, &control.text, &ordinal);
        cursor += 1 + *cursor / sizeof(WORD);   // creation data
        dialog->controls.push_back(control);
    }
    return true;
}

class Templates : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExA(productBin("popctl.exe").c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_TRUE(module != NULL) << GetLastError();
    }
    void TearDown() override { FreeLibrary(module); }

    DialogTemplate load(WORD id)
    {
        DialogTemplate dialog = {};
        HRSRC resource = FindResourceExA(module, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(id), 1040);
        EXPECT_TRUE(resource != NULL) << "template " << id << " in language 1040";
        if (resource != NULL) {
            EXPECT_TRUE(parseDialog(LockResource(LoadResource(module, resource)), &dialog));
        }
        return dialog;
    }

    HMODULE module = NULL;
};

const DWORD POPUP_STYLES = DS_SYSMODAL | DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_VISIBLE | WS_CAPTION;
const DWORD CHILD = WS_CHILD | WS_VISIBLE;

void expectControl(const ControlTemplate &got, WORD id, const wchar_t *className, const wchar_t *text, DWORD style,
                   short x, short y, short cx, short cy)
{
    SCOPED_TRACE("control " + std::to_string(id));
    EXPECT_EQ(id, got.id);
    EXPECT_EQ(std::wstring(className), got.className);
    EXPECT_EQ(std::wstring(text), got.text);
    EXPECT_EQ(style | CHILD, got.style);
    EXPECT_EQ(x, got.x);
    EXPECT_EQ(y, got.y);
    EXPECT_EQ(cx, got.cx);
    EXPECT_EQ(cy, got.cy);
}

}  // namespace

TEST_F(Templates, test_deny_popup_template_is_as_tabled)
{
    DialogTemplate dialog = load(101);
    EXPECT_EQ(POPUP_STYLES, dialog.style) << std::hex << dialog.style;
    EXPECT_EQ(0, dialog.style & WS_SYSMENU);
    EXPECT_EQ(0, dialog.x);
    EXPECT_EQ(0, dialog.y);
    EXPECT_EQ(186, dialog.cx);
    EXPECT_EQ(65, dialog.cy);
    EXPECT_EQ(L"Dialog", dialog.caption);
    EXPECT_EQ(8, dialog.pointSize);
    EXPECT_EQ(L"MS Sans Serif", dialog.font);
    ASSERT_EQ(3u, dialog.controls.size());
    expectControl(dialog.controls[0], IDOK, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 68, 44, 51, 14);
    expectControl(dialog.controls[1], 1001, L"STATIC", L"", SS_ICON, 7, 7, 20, 20);
    expectControl(dialog.controls[2], 1000, L"EDIT", L"", ES_MULTILINE | ES_READONLY | WS_TABSTOP, 36, 7, 143, 33);
}

TEST_F(Templates, test_choice_popup_template_is_as_tabled)
{
    DialogTemplate dialog = load(102);
    EXPECT_EQ(POPUP_STYLES, dialog.style) << std::hex << dialog.style;
    EXPECT_EQ(0, dialog.x);
    EXPECT_EQ(0, dialog.y);
    EXPECT_EQ(246, dialog.cx);
    EXPECT_EQ(90, dialog.cy);
    EXPECT_EQ(L"Dialog", dialog.caption);
    EXPECT_EQ(8, dialog.pointSize);
    EXPECT_EQ(L"MS Sans Serif", dialog.font);
    ASSERT_EQ(5u, dialog.controls.size());
    expectControl(dialog.controls[0], IDOK, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 68, 69, 50, 14);
    expectControl(dialog.controls[1], 1006, L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 35, 48,
                  170, 54);
    expectControl(dialog.controls[2], IDCANCEL, L"BUTTON", L"Cancel", BS_PUSHBUTTON | WS_TABSTOP, 126, 68, 50, 14);
    expectControl(dialog.controls[3], 1001, L"STATIC", L"", SS_ICON, 7, 7, 20, 20);
    expectControl(dialog.controls[4], 1002, L"EDIT", L"", ES_MULTILINE | ES_READONLY | WS_TABSTOP, 36, 7, 203, 37);
}

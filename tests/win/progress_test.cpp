// The progress window: its template in the built stub, the window made from
// it, the idle display, and a screenshot of it.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <thread>
#include <vector>

#include "app/app.h"
#include "testutil.h"
#include "ui/ui.h"

namespace {

// Reads a classic dialog template field by field.
struct TemplateReader {
    const BYTE* p;
    const BYTE* start;
    WORD Word() { WORD v = *(const WORD*)p; p += 2; return v; }
    DWORD Dword() { DWORD v = *(const DWORD*)p; p += 4; return v; }
    std::wstring Text()  // a string, or "#n" for an ordinal
    {
        if (*(const WORD*)p == 0xFFFF) {
            p += 2;
            return L"#" + std::to_wstring(Word());
        }
        std::wstring s((const wchar_t*)p);
        p += 2 * (s.size() + 1);
        return s;
    }
    void Align() { p = start + ((p - start + 3) & ~3); }
};

struct Item {
    DWORD style, exStyle;
    short x, y, cx, cy;
    WORD id;
    std::wstring cls, text;
    WORD extra;
};

const LANGID Japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

class StubResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        stub = LoadLibraryExA(KVX_STUB_PATH, NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(stub, nullptr);
    }
    void TearDown() override { FreeLibrary(stub); }

    sfx::Bytes Resource(LPCSTR type, WORD id)
    {
        HRSRC found = FindResourceExA(stub, type, MAKEINTRESOURCEA(id), Japanese);
        EXPECT_NE(found, nullptr) << "resource " << id;
        if (found == NULL)
            return {};
        const BYTE* data = (const BYTE*)LockResource(LoadResource(stub, found));
        return sfx::Bytes(data, data + SizeofResource(stub, found));
    }

    HMODULE stub = NULL;
};

}  // namespace

namespace {

struct Header {
    DWORD style;
    WORD x, y, cx, cy;
    std::wstring caption, font;
};

// Compares a classic dialog template with its header and items, field by field.
void ExpectTemplate(const sfx::Bytes& bytes, const Header& h, const std::vector<Item>& items)
{
    ASSERT_FALSE(bytes.empty());
    TemplateReader r{bytes.data(), bytes.data()};
    EXPECT_EQ(r.Dword(), h.style);
    EXPECT_EQ(r.Dword(), 0u);  // extended style; and a classic template, not DLGTEMPLATEEX
    EXPECT_EQ(r.Word(), items.size());
    EXPECT_EQ(r.Word(), h.x);
    EXPECT_EQ(r.Word(), h.y);
    EXPECT_EQ(r.Word(), h.cx);
    EXPECT_EQ(r.Word(), h.cy);
    EXPECT_EQ(r.Text(), L"");  // no menu
    EXPECT_EQ(r.Text(), L"");  // the default dialog class
    EXPECT_EQ(r.Text(), h.caption);
    EXPECT_EQ(r.Word(), 9);  // points
    EXPECT_EQ(r.Text(), h.font);
    for (const Item& e : items) {
        SCOPED_TRACE(e.id);
        r.Align();
        EXPECT_EQ(r.Dword(), e.style);
        EXPECT_EQ(r.Dword(), e.exStyle);
        EXPECT_EQ((short)r.Word(), e.x);
        EXPECT_EQ((short)r.Word(), e.y);
        EXPECT_EQ((short)r.Word(), e.cx);
        EXPECT_EQ((short)r.Word(), e.cy);
        EXPECT_EQ(r.Word(), e.id);
        EXPECT_EQ(r.Text(), e.cls);
        EXPECT_EQ(r.Text(), e.text);
        EXPECT_EQ(r.Word(), e.extra);
    }
    EXPECT_EQ((size_t)(r.p - bytes.data()), bytes.size());
}

}  // namespace

TEST_F(StubResources, ProgressDialogTemplate)
{
    ASSERT_NO_FATAL_FAILURE(ExpectTemplate(Resource(RT_DIALOG, ProgressDialogId),
                   {WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_ABSALIGN | DS_SETFONT | DS_SETFOREGROUND | DS_CENTER, 50, 50,
                    246, 67, L"KVX ファイルを解凍中...", L"ＭＳ ゴシック"},
                   {
                       {WS_CHILD | WS_VISIBLE | SS_ICON, 0, 9, 7, 20, 20, 0xFFFF, L"#130", L"#102", 0},
                       {WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_CENTERIMAGE, 0, 41, 15, 192, 9, 1001, L"#130", L"", 0},
                       {WS_CHILD | WS_VISIBLE | WS_BORDER, 0, 11, 45, 224, 12, 1000, L"msctls_progress32", L"Progress1", 0},
                   }));
}

TEST_F(StubResources, DestinationDialogTemplate)
{
    ASSERT_NO_FATAL_FAILURE(ExpectTemplate(Resource(RT_DIALOG, DestinationDialogId),
                   {WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME | DS_SETFONT | DS_SETFOREGROUND | DS_CENTER, 0, 0,
                    214, 95, L"KVX ファイルの解凍", L"ＭＳ Ｐゴシック"},
                   {
                       {WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, 7, 51, 201, 14, 1005, L"#129", L"", 0},
                       {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 53, 75, 50, 14, IDOK, L"#128", L"解凍", 0},
                       {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 109, 75, 50, 14, IDCANCEL, L"#128", L"キャンセル", 0},
                       {WS_CHILD | WS_VISIBLE | SS_ICON, 0, 5, 8, 20, 20, 0xFFFF, L"#130", L"#102", 0},
                       {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFTNOWORDWRAP | SS_CENTERIMAGE, 0, 31, 15, 173, 11, 1004, L"#130",
                        L"解凍します", 0},
                       {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 8, 37, 97, 10, 0xFFFF, L"#130", L"解凍先フォルダの指定(E):", 0},
                   }));
}

TEST_F(StubResources, IconIsOne32By32SixteenColourImage)
{
    const sfx::Bytes group = Resource(RT_GROUP_ICON, AppIconId);
    ASSERT_EQ(group.size(), 6u + 14u);
    const BYTE expected[] = {0, 0, 1, 0, 1, 0,         // icon group, one image
                             32, 32, 16, 0, 1, 0, 4, 0, // 32 x 32, 16 colours, 1 plane, 4 bits
                             0xE8, 0x02, 0, 0, 1, 0};  // 744 bytes, image 1
    EXPECT_EQ(group, sfx::Bytes(expected, expected + sizeof(expected)));
    const sfx::Bytes image = Resource(RT_ICON, 1);
    ASSERT_EQ(image.size(), 744u);
    const BITMAPINFOHEADER* header = (const BITMAPINFOHEADER*)image.data();
    EXPECT_EQ(header->biWidth, 32);
    EXPECT_EQ(header->biHeight, 64);  // the colour image and the mask
    EXPECT_EQ(header->biBitCount, 4);
}

namespace {

class ProgressWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lstrcpyA(ModulePath, "C:\\Program Files\\Distributor Name\\A Rather Long Folder\\Nested Deeper\\setup-archive.exe");
        OpenProgressWindow();
        ASSERT_NE(ProgressWindow, nullptr);
    }
    void TearDown() override
    {
        CloseProgressWindow();
        ProgressWindow = NULL;
    }
    BufferScope buffers;
};

std::string ClassOf(HWND w)
{
    char name[64] = {};
    GetClassNameA(w, name, sizeof(name));
    return name;
}

std::string TextOf(HWND w)
{
    char text[300] = {};
    GetWindowTextA(w, text, sizeof(text));
    return text;
}

}  // namespace

TEST_F(ProgressWindowTest, ControlsAndIdleDisplay)
{
    EXPECT_EQ(TextOf(ProgressWindow), "KVX \x83\x74\x83\x40\x83\x43\x83\x8b\x82\xf0\x89\xf0\x93\x80\x92\x86...");
    const LONG frame = GetWindowLongA(ProgressWindow, GWL_STYLE);
    EXPECT_FALSE(frame & WS_SYSMENU);  // no close button
    EXPECT_TRUE(IsWindowVisible(ProgressWindow));

    HWND icon = GetWindow(ProgressWindow, GW_CHILD);
    HWND path = GetWindow(icon, GW_HWNDNEXT);
    HWND bar = GetWindow(path, GW_HWNDNEXT);
    EXPECT_EQ(GetWindow(bar, GW_HWNDNEXT), nullptr);
    EXPECT_EQ(LOWORD(GetDlgCtrlID(icon)), 0xFFFF);
    EXPECT_EQ(GetDlgCtrlID(path), PathLineId);
    EXPECT_EQ(GetDlgCtrlID(bar), ProgressBarId);
    EXPECT_STRCASEEQ(ClassOf(icon).c_str(), "Static");
    EXPECT_STRCASEEQ(ClassOf(path).c_str(), "Static");
    EXPECT_EQ(ClassOf(bar), "msctls_progress32");
    EXPECT_EQ(GetWindowLongA(icon, GWL_STYLE) & SS_TYPEMASK, SS_ICON);
    EXPECT_NE(SendMessageA(icon, STM_GETICON, 0, 0), 0);
    // Painted at once, with no message loop to do it later: nothing waits to be drawn.
    EXPECT_FALSE(GetUpdateRect(ProgressWindow, NULL, FALSE));
    EXPECT_FALSE(GetUpdateRect(icon, NULL, FALSE));
    EXPECT_EQ(GetWindowLongA(path, GWL_STYLE) & SS_TYPEMASK, SS_LEFTNOWORDWRAP);
    EXPECT_EQ(GetWindowLongA(bar, GWL_STYLE) & (PBS_SMOOTH | PBS_VERTICAL), 0);

    PBRANGE range = {};
    SendMessageA(bar, PBM_GETRANGE, FALSE, (LPARAM)&range);
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);

    // The path line shows our own path, shortened to the control's width as
    // measured with the default font's average character width.
    RECT r;
    GetWindowRect(path, &r);
    HDC dc = GetDC(path);
    TEXTMETRICA metrics;
    ASSERT_TRUE(GetTextMetricsA(dc, &metrics));
    ReleaseDC(path, dc);
    const int limit = (r.right - r.left) / metrics.tmAveCharWidth + 10;
    char expected[PathTextBufferSize];
    FitPathText(expected, ModulePath, limit);
    EXPECT_EQ(TextOf(path), expected);
    EXPECT_LT(lstrlenA(expected), lstrlenA(ModulePath));  // it was shortened
    EXPECT_LE(lstrlenA(expected), limit);

    PumpMessages(300);
    SaveScreenshot(ProgressWindow, "progress_idle.bmp");
}

TEST_F(ProgressWindowTest, SetPathTextKeepsTextForEmptyInputAndResetRestoresRange)
{
    HWND bar = GetDlgItem(ProgressWindow, ProgressBarId);
    EXPECT_NE(SetPathText(ProgressWindow, PathLineId, "C:/x/y.txt"), 0);
    EXPECT_EQ(TextOf(GetDlgItem(ProgressWindow, PathLineId)), "C:\\x\\y.txt");
    EXPECT_EQ(SetPathText(ProgressWindow, PathLineId, ""), 0);
    EXPECT_EQ(SetPathText(ProgressWindow, PathLineId, NULL), 0);
    EXPECT_EQ(TextOf(GetDlgItem(ProgressWindow, PathLineId)), "C:\\x\\y.txt");

    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 7));
    SendMessageA(bar, PBM_SETPOS, 5, 0);
    ResetProgressWindow();
    PBRANGE range = {};
    SendMessageA(bar, PBM_GETRANGE, FALSE, (LPARAM)&range);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 5);  // the position is not reset
}

TEST(ProgressWindowAbsent, OperationsDoNothingWithoutAWindow)
{
    BufferScope buffers;
    ProgressWindow = NULL;
    ResetProgressWindow();
    CloseProgressWindow();
    SUCCEED();
}

// The destination dialog run in this process (the end-to-end tests run it in
// the real stub): the configured texts or the template's own, OK with the
// field as typed and a backslash added, Cancel.
TEST(DestinationDialogInProcess, OkTakesTheFieldAndCancelEnds)
{
    BufferScope buffers;
    AppInstance = GetModuleHandleA(NULL);
    struct Case {
        const char* title;
        const char* typed;  // null: press Cancel
        int shown;
        const char* destination;
    } cases[] = {
        {"Setup Title", "D:\\typed", 1, "D:\\typed\\"},
        {"", nullptr, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        lstrcpyA(DialogTitle, c.title);
        lstrcpyA(DialogMessage, c.title);
        lstrcpyA(DestinationDir, c.typed ? "C:\\given" : "");
        std::thread person([&] {
            HWND dialog = NULL;
            for (int i = 0; i < 500 && dialog == NULL; i++, Sleep(10))
                dialog = FindWindowA("#32770", c.title[0] ? c.title : NULL);
            if (dialog == NULL)
                return;
            char field[MAX_PATH] = {};
            GetDlgItemTextA(dialog, DestinationFieldId, field, MAX_PATH);
            EXPECT_STREQ(field, c.typed ? "C:\\given" : "");
            if (c.typed)
                SetDlgItemTextA(dialog, DestinationFieldId, c.typed);
            PostMessageA(dialog, WM_COMMAND, c.typed ? IDOK : IDCANCEL, 0);
        });
        EXPECT_EQ(ShowDestinationDialog(), c.shown);
        person.join();
        if (c.destination)
            EXPECT_STREQ(DestinationDir, c.destination);
    }
}

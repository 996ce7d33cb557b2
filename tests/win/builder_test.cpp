// kvxsfx-builder driven as a person would: the real program started with a
// folder, its fields typed, 作成 pressed; what it made read back and run
// through the real stub; errors, the overwrite question and cancelling; and a
// real WM_DROPFILES on the window run in this process.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

#include "builder.h"
#include "pack.h"
#include "testutil.h"

namespace {

std::wstring Wide(const std::string& text, UINT codePage = CP_ACP)
{
    std::wstring w(text.size() + 1, L'\0');
    w.resize(MultiByteToWideChar(codePage, 0, text.c_str(), (int)text.size(), &w[0], (int)w.size()));
    return w;
}

std::string Utf8(const std::wstring& text)
{
    std::string s(text.size() * 3 + 1, '\0');
    s.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &s[0], (int)s.size(), NULL, NULL));
    return s;
}

void WriteWide(const std::wstring& path, const std::string& content)
{
    SHCreateDirectoryExW(NULL, path.substr(0, path.rfind(L'\\')).c_str(), NULL);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(h, content.data(), (DWORD)content.size(), &written, NULL);
    CloseHandle(h);
}

std::string ReadWide(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    std::string content(1 << 20, '\0');
    DWORD got = 0;
    ReadFile(h, &content[0], (DWORD)content.size(), &got, NULL);
    CloseHandle(h);
    content.resize(h == INVALID_HANDLE_VALUE ? 0 : got);
    return content;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

const std::string BuilderExe = std::string(KVX_DIST) + "kvxsfx-builder.exe";

// The texts of a dialog that do not fit their controls, measured in the
// dialog's font at `dpi`.
std::vector<std::wstring> Overflowing(HWND dialog, int dpi)
{
    std::vector<std::wstring> over;
    HDC dc = GetDC(NULL);
    HFONT font = CreateFontW(-MulDiv(9, dpi, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0, SHIFTJIS_CHARSET, 0, 0, 0, 0, L"MS UI Gothic");
    HGDIOBJ old = SelectObject(dc, font);
    for (HWND child = GetWindow(dialog, GW_CHILD); child != NULL; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        GetClassNameW(child, cls, 32);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        const bool button = lstrcmpiW(cls, L"Button") == 0;
        if ((!button && lstrcmpiW(cls, L"Static") != 0) || (style & SS_TYPEMASK) == SS_ICON || (style & SS_ENDELLIPSIS))
            continue;
        std::wstring text = WindowText(child);
        text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
        RECT room, needed = {};
        GetClientRect(child, &room);
        room.right -= button ? MulDiv(12, dpi, 96) : 0;  // a button's frame, a check box's box
        needed.right = room.right;
        DrawTextW(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK);
        if (needed.right > room.right || needed.bottom > room.bottom)
            over.push_back(text);
    }
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(NULL, dc);
    return over;
}

// Wine's screen DPI for the programs started while it lives.
class ScreenDpi {
public:
    explicit ScreenDpi(DWORD dpi)
    {
        RegCreateKeyW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", &key_);
        RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, (const BYTE*)&dpi, sizeof(dpi));
    }
    ~ScreenDpi()
    {
        RegDeleteValueW(key_, L"LogPixels");
        RegCloseKey(key_);
    }

private:
    HKEY key_ = NULL;
};

// A folder to pack, with Japanese names, in a fresh temporary directory.
class Builder : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = Wide(MakeTempDir("builder"));
        input = base + L"配布物";
        WriteWide(input + L"\\説明.txt", "ビルダーで作りました。\r\n");
        WriteWide(input + L"\\データ\\表.csv", std::string(5000, 'x'));
    }
    void TearDown() override { RemoveTree(Narrow(base)); }
    static std::string Narrow(const std::wstring& w)
    {
        std::string s(w.size() * 2 + 1, '\0');
        s.resize(WideCharToMultiByte(CP_ACP, 0, w.c_str(), (int)w.size(), &s[0], (int)s.size(), NULL, NULL));
        return s;
    }
    // The builder's window, once it shows.
    HWND Start(StubProcess& run)
    {
        HWND window = run.WaitForDialog(15000);
        EXPECT_NE(window, (HWND)NULL);
        return window;
    }
    // The next message box (or question) over `window`, read and answered with `button`.
    SeenMessageBox Answer(StubProcess& run, HWND window, int button, const char* shot = nullptr)
    {
        HWND box = run.WaitForDialog(60000, window);
        EXPECT_NE(box, (HWND)NULL);
        if (box == NULL)
            return {};
        const SeenMessageBox seen = ReadMessageBox(box);
        if (shot != nullptr)
            SaveScreenshot(box, shot);
        ClickButton(box, button);
        for (int i = 0; i < 100 && IsWindow(box); i++)
            Sleep(20);
        return seen;
    }

    std::wstring base, input;
};

TEST_F(Builder, MakesAFileThatTheStubExtracts)
{
    StubProcess run(BuilderExe, "\"" + Narrow(input) + "\"");
    HWND window = Start(run);
    ASSERT_NE(window, (HWND)NULL);
    EXPECT_EQ(ControlText(window, IdInput), input);
    EXPECT_EQ(ControlText(window, IdOutput), base + L"配布物.exe");  // beside the folder, named after it
    EXPECT_EQ(ControlText(window, IdTitleLeft), L"あと 255 バイト");

    const std::wstring dest = base + L"展開先";
    TypeText(window, IdTitle, L"配布物 1.0 のインストール");
    TypeText(window, IdMessage, L"ファイルを解凍します。");
    TypeText(window, IdDest, dest);
    EXPECT_EQ(ControlText(window, IdTitleLeft), L"あと 230 バイト");  // 25 bytes in Shift-JIS
    TypeText(window, IdMessage, L"é");
    EXPECT_EQ(ControlText(window, IdMessageLeft), L"使えない文字");
    TypeText(window, IdMessage, L"ファイルを解凍します。");
    // An icon (its preview follows the field, with the reason when it cannot
    // serve) and what to leave out, one pattern a line.
    const HICON stubIcon = (HICON)SendDlgItemMessageW(window, IdIconPreview, STM_GETICON, 0, 0);
    EXPECT_NE(stubIcon, (HICON)NULL);
    TypeText(window, IdIcon, input + L"\\説明.txt");
    EXPECT_EQ(ControlText(window, IdIconNote), L"「" + input + L"\\説明.txt」は PNG でも ICO でもありません");
    EXPECT_EQ(SendDlgItemMessageW(window, IdIconPreview, STM_GETICON, 0, 0), 0);
    TypeText(window, IdIcon, Wide(KVX_SOURCE "tools/demo/icon.png"));
    EXPECT_EQ(ControlText(window, IdIconNote), L"");
    EXPECT_NE(SendDlgItemMessageW(window, IdIconPreview, STM_GETICON, 0, 0), 0);
    WriteWide(input + L"\\古い.bak", "x");
    TypeText(window, IdExclude, L"*.BAK\rThumbs.db");  // letter case folded, as Windows folds names
    // サイズを最小にする: coin flips of A and B, with every other byte once,
    // take codes of 20 bits, which only --smallest writes.
    std::string flips(880000, 'A');
    uint64_t x = 7919;
    auto next = [&x] { return x = (x * 1103515245 + 12345) & 0x7FFFFFFF; };  // 31 bits, the top one a fair coin
    for (char& c : flips)
        c = next() < 0x40000000 ? 'A' : 'B';
    for (int c = 0; c < 256; c++)
        if (c != 'A' && c != 'B')
            flips[next() * flips.size() >> 31] = (char)c;
    WriteWide(input + L"\\flips.bin", flips);
    SendDlgItemMessageW(window, IdSmallest, BM_CLICK, 0, 0);
    EXPECT_EQ(SendDlgItemMessageW(window, IdSmallest, BM_GETCHECK, 0, 0), BST_CHECKED);
    Sleep(300);
    SaveScreenshot(window, "builder-filled.bmp");
    ClickButton(window, IdCreate);
    const SeenMessageBox done = Answer(run, window, IDOK, "builder-done.bmp");
    EXPECT_NE(done.text.find(L"作成しました"), std::wstring::npos) << Utf8(done.text);
    EXPECT_NE(done.text.find(L"項目: 3 個"), std::wstring::npos) << Utf8(done.text);
    EXPECT_EQ(done.icon, (UINT)MB_ICONINFORMATION);
    ClickButton(window, IdClose);
    EXPECT_EQ(run.WaitForExit(10000), 0);

    // Read back by the packer's reader, then run through the real stub.
    const std::string exe = Utf8(base + L"配布物.exe");
    std::ostringstream out, err;
    pack::StreamReporter report(err);
    EXPECT_EQ(pack::Test(exe, out, report), 0) << err.str();
    EXPECT_EQ(pack::List(exe, RealStub(), out, report), 0);
    EXPECT_NE(out.str().find(": 配布物 1.0 のインストール\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("with the distributor's own icon"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find(".bak"), std::string::npos) << out.str();
    std::ostringstream json;
    EXPECT_EQ(pack::ListJson(exe, RealStub(), json, report), 0);
    EXPECT_NE(json.str().find("\"longest_code\": 20"), std::string::npos) << json.str();
    const RunResult extracted = RunToEnd(Narrow(base + L"配布物.exe"));
    EXPECT_EQ(extracted.exitCode, 0);
    ASSERT_EQ(extracted.boxes.size(), 1u);
    EXPECT_EQ(extracted.boxes[0].icon, (UINT)MB_ICONINFORMATION);
    EXPECT_EQ(ReadWide(dest + L"\\説明.txt"), "ビルダーで作りました。\r\n");
    EXPECT_EQ(ReadWide(dest + L"\\データ\\表.csv"), std::string(5000, 'x'));
    EXPECT_TRUE(ReadWide(dest + L"\\flips.bin") == flips);
}

TEST_F(Builder, EveryTextFitsAt96And144Dpi)
{
    LONG width96 = 0;
    for (int dpi : {96, 144}) {
        SCOPED_TRACE(dpi);
        std::unique_ptr<ScreenDpi> screen(dpi != 96 ? new ScreenDpi(dpi) : nullptr);
        StubProcess run(BuilderExe, "\"" + Narrow(input) + "\"");
        HWND window = Start(run);
        ASSERT_NE(window, (HWND)NULL);
        Sleep(300);
        SaveScreenshot(window, dpi == 96 ? "builder-96dpi.bmp" : "builder-144dpi.bmp");
        for (const std::wstring& text : Overflowing(window, dpi))
            ADD_FAILURE() << "does not fit: " << Utf8(text);
        RECT r;
        GetWindowRect(window, &r);
        if (dpi == 96)
            width96 = r.right - r.left;
        else
            EXPECT_NEAR((r.right - r.left) / (double)width96, 1.5, 0.1);  // dialog units follow the font
        ClickButton(window, IdClose);
        EXPECT_EQ(run.WaitForExit(10000), 0);
    }
}

TEST_F(Builder, RefusesWithThePackersMessageAndWritesNothing)
{
    const std::wstring output = base + L"配布物.exe";
    struct Case {
        const wchar_t* file;  // added to the input, or null
        std::wstring output;
        const wchar_t* says;  // in Japanese, whatever the system's language
        const char* shot;
    } cases[] = {
        {L"caf\u00e9.txt", output, L"名前「caf\u00e9.txt」に Shift-JIS で表せない文字があります", "builder-not-shift-jis.bmp"},
        {nullptr, input + L"\\中.exe", L"の中にあります。フォルダーの外に作成してください", "builder-output-inside-input.bmp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.says));
        if (c.file != nullptr)
            WriteWide(input + L"\\" + c.file, "x");
        StubProcess run(BuilderExe, "\"" + Narrow(input) + "\"");
        HWND window = Start(run);
        ASSERT_NE(window, (HWND)NULL);
        TypeText(window, IdOutput, c.output);
        ClickButton(window, IdCreate);
        const SeenMessageBox seen = Answer(run, window, IDOK, c.shot);
        EXPECT_NE(seen.text.find(L"作成できませんでした"), std::wstring::npos) << Utf8(seen.text);
        EXPECT_NE(seen.text.find(c.says), std::wstring::npos) << Utf8(seen.text);
        EXPECT_FALSE(Exists(c.output));
        EXPECT_FALSE(Exists(c.output + L".partial"));
        if (c.file != nullptr)
            DeleteFileW((input + L"\\" + c.file).c_str());
    }

    // An existing output is replaced only when the user says so.
    WriteWide(output, "old");
    StubProcess run(BuilderExe, "\"" + Narrow(input) + "\"");
    HWND window = Start(run);
    ASSERT_NE(window, (HWND)NULL);
    ClickButton(window, IdCreate);
    Answer(run, window, IDNO);
    EXPECT_EQ(ReadWide(output), "old");
    EXPECT_FALSE(Exists(output + L".partial"));
}

TEST_F(Builder, CancelLeavesNoOutput)
{
    std::string text;
    for (int i = 0; text.size() < (40u << 20); i++)
        text += "行 " + std::to_string(i * 7919 % 1000003) + " の内容\r\n";
    WriteWide(input + L"\\大きい.txt", text);
    StubProcess run(BuilderExe, "\"" + Narrow(input) + "\"");
    HWND window = Start(run);
    ASSERT_NE(window, (HWND)NULL);
    ClickButton(window, IdCreate);
    for (int i = 0; i < 500 && ControlText(window, IdStatus).find(L"毎秒") == std::wstring::npos; i++)
        Sleep(20);
    EXPECT_EQ(ControlText(window, IdCreate), L"中止(&C)");
    SaveScreenshot(window, "builder-working.bmp");
    ClickButton(window, IdCreate);
    for (int i = 0; i < 1000 && ControlText(window, IdStatus).find(L"中止しました") == std::wstring::npos; i++)
        Sleep(20);
    EXPECT_NE(ControlText(window, IdStatus).find(L"中止しました"), std::wstring::npos);
    EXPECT_FALSE(Exists(base + L"配布物.exe"));
    EXPECT_FALSE(Exists(base + L"配布物.exe.partial"));
    ClickButton(window, IdClose);
    EXPECT_EQ(run.WaitForExit(10000), 0);
}

BOOL CALLBACK FindDialog(HWND window, LPARAM found)
{
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    if (lstrcmpW(cls, L"#32770") != 0 || GetDlgItem(window, IdInput) == NULL)
        return TRUE;
    *(HWND*)found = window;
    return FALSE;
}

// The window in this process, so that the HDROP handle is valid in it.
TEST_F(Builder, DroppedFilesAndFoldersBecomeTheInput)
{
    const sfx::Bytes stub = RealStub();
    std::atomic<DWORD> thread{0};
    std::thread ui([&] {
        thread = GetCurrentThreadId();
        RunBuilder(GetModuleHandleW(NULL), {}, stub);
    });
    HWND window = NULL;
    for (int i = 0; i < 500 && window == NULL; i++, Sleep(20))
        EnumThreadWindows(thread, FindDialog, (LPARAM)&window);
    ASSERT_NE(window, (HWND)NULL);
    Sleep(300);
    SaveScreenshot(window, "builder-empty.bmp");
    EXPECT_EQ(ControlText(window, IdInput), L"");

    const std::wstring files[] = {input + L"\\説明.txt", input + L"\\データ"};
    std::wstring list;
    for (const std::wstring& f : files)
        list += f + L'\0';
    HGLOBAL drop = GlobalAlloc(GHND, sizeof(DROPFILES) + (list.size() + 1) * sizeof(wchar_t));
    DROPFILES* header = (DROPFILES*)GlobalLock(drop);
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    memcpy(header + 1, list.c_str(), list.size() * sizeof(wchar_t));
    GlobalUnlock(drop);
    PostMessageW(window, WM_DROPFILES, (WPARAM)drop, 0);
    for (int i = 0; i < 100 && ControlText(window, IdInput).empty(); i++)
        Sleep(20);
    EXPECT_EQ(ControlText(window, IdInput), files[0] + L"; " + files[1]);
    EXPECT_EQ(ControlText(window, IdOutput), base + L"配布物.exe");  // the files' folder, beside it
    ClickButton(window, IdClose);
    ui.join();
}

}  // namespace

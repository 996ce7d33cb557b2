// End to end: the real stub in a self-extracting file, driven through its
// destination dialog, watched through its progress window and final message,
// and judged by what it left on disk.
#include <gtest/gtest.h>

#include "driver.h"
#include "pack.h"
#include "testutil.h"

namespace {

const wchar_t Completed[] = L"ファイルの解凍を終了しました。\n\n解凍先のフォルダをご確認ください。";
const wchar_t Failed[] = L"致命的なエラーです。解凍を中止します";
const wchar_t Caption[] = L"Self Extractor for KVX";
const DWORD Patience = 10000;

std::string Sjis(const std::wstring& text)
{
    char bytes[1024] = {};
    WideCharToMultiByte(932, 0, text.c_str(), -1, bytes, sizeof(bytes), NULL, NULL);
    return bytes;
}

std::string StagingFile()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + "Qel00tmp.tmp";
}

sfx::Entry Make(const std::string& dir, const std::string& name, const sfx::Bytes& content, bool compress)
{
    sfx::Entry e;
    e.dirName = dir;
    e.fileName = name;
    e.unpackedSize = (uint32_t)content.size();
    e.method = compress ? sfx::Bzip2 : sfx::Stored;
    e.data = compress ? sfx::Bzip2Compress(content) : content;
    e.dosDate = (25 << 9) | (7 << 5) | 14;  // 2005-07-14 21:30:10
    e.dosTime = (21 << 11) | (30 << 5) | 5;
    return e;
}

sfx::Bytes Bytes(const std::string& s) { return sfx::Bytes(s.begin(), s.end()); }

FILETIME ExpectedTime(const sfx::Entry& e)
{
    FILETIME local, utc;
    DosDateTimeToFileTime(e.dosDate, e.dosTime, &local);
    LocalFileTimeToFileTime(&local, &utc);
    return utc;
}

// The colour of one pixel of a screenshot (a 24-bit BMP, rows bottom-up).
COLORREF ScreenshotPixel(const std::string& path, int x, int y)
{
    const sfx::Bytes bmp = ReadFileBytes(path);
    if (bmp.size() < 54)
        return CLR_INVALID;
    const int width = (int)sfx::Get32(&bmp[18]), height = (int)sfx::Get32(&bmp[22]);
    const size_t at = sfx::Get32(&bmp[10]) + (size_t)(height - 1 - y) * ((width * 3 + 3) & ~3) + x * 3;
    return at + 3 <= bmp.size() ? RGB(bmp[at + 2], bmp[at + 1], bmp[at]) : CLR_INVALID;
}

// Waits until a window and its controls have nothing left to paint.
bool WaitPainted(HWND window)
{
    for (int i = 0; i < 250; i++) {
        bool pending = GetUpdateRect(window, NULL, FALSE);
        for (HWND child = GetWindow(window, GW_CHILD); child != NULL && !pending; child = GetWindow(child, GW_HWNDNEXT))
            pending = GetUpdateRect(child, NULL, FALSE);
        if (!pending)
            return true;
        Sleep(20);
    }
    return false;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = MakeTempDir("e2e");
        stub = RealStub();
        DeleteFileA(StagingFile().c_str());
    }
    void TearDown() override
    {
        EXPECT_FALSE(FileExists(StagingFile())) << "the staging file was left behind";
        RemoveTree(dir);
    }

    std::string Write(const std::string& name, const sfx::Config& config, const std::vector<sfx::Entry>& entries)
    {
        std::vector<sfx::Bytes> encoded;
        for (const sfx::Entry& e : entries)
            encoded.push_back(sfx::EncodeEntry(e));
        const std::string path = dir + name;
        WriteFileBytes(path, sfx::BuildArchive(stub, config, encoded));
        return path;
    }

    // Checks each entry's file: contents and all three times.
    void ExpectExtracted(const std::string& destination, const std::vector<sfx::Entry>& entries,
                         const std::vector<sfx::Bytes>& contents)
    {
        for (size_t i = 0; i < entries.size(); i++) {
            const std::string path = destination + entries[i].dirName + entries[i].fileName;
            SCOPED_TRACE(path);
            // Times first: reading the file may move its access time.
            HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            ASSERT_NE(f, INVALID_HANDLE_VALUE);
            FILETIME times[3];
            GetFileTime(f, &times[0], &times[1], &times[2]);
            CloseHandle(f);
            const FILETIME expected = ExpectedTime(entries[i]);
            for (const FILETIME& t : times)
                EXPECT_EQ(CompareFileTime(&t, &expected), 0);
            EXPECT_EQ(ReadFileBytes(path), contents[i]);
        }
    }

    // Waits for the final message box, reads it, presses OK; then the exit.
    SeenMessageBox FinishWithMessage(StubProcess& stub, HWND skip, const char* screenshot = nullptr)
    {
        HWND box = stub.WaitForDialog(Patience, skip);
        EXPECT_TRUE(IsMessageBox(box));
        if (box == NULL)
            return {};
        if (screenshot != nullptr) {
            Sleep(300);
            SaveScreenshot(box, screenshot);
        }
        const SeenMessageBox seen = ReadMessageBox(box);
        ClickButton(box, IDOK);
        EXPECT_EQ(stub.WaitForDialog(1000, box), nullptr) << "a second message";
        EXPECT_EQ(stub.WaitForExit(Patience), 0);
        return seen;
    }

    std::string dir;
    sfx::Bytes stub;
};

}  // namespace

TEST_F(EndToEnd, ConfiguredDialogProgressAndCompletion)
{
    const std::string dest = dir + "installed\\";
    const sfx::Bytes big(3 << 20, 'k');  // long enough for the progress window to be watched
    const std::vector<sfx::Entry> entries = {
        Make("", "readme.txt", Bytes("read me\r\n"), false),
        Make("data\\", "big.dat", big, true),
        Make("data\\nested\\", "notes.txt", Bytes("nested"), true),
    };
    const sfx::Config config = {Sjis(L"サンプル アプリ 1.0"), Sjis(L"サンプルをインストールします。"), dest, ""};
    WriteFileBytes(StagingFile(), {1, 2, 3});  // a leftover of an earlier run
    // The distributor's icon, as the packer writes it: its top left quarter
    // red (but for its last column, which with the next makes one byte), the
    // rest lime, so that Windows' own drawing of it shows where each pixel
    // and each colour went.
    pack::Rgba quarter{32, 32, {}};
    for (int i = 0; i < 32 * 32; i++)
        if (i % 32 < 15 && i / 32 < 16)
            quarter.pixels.insert(quarter.pixels.end(), {255, 0, 0, 255});
        else
            quarter.pixels.insert(quarter.pixels.end(), {0, 255, 0, 255});
    uint32_t iconAt = 0;
    ASSERT_TRUE(sfx::FindIconImage(stub, &iconAt));
    const sfx::Bytes icon = pack::IconImage(quarter);
    std::copy(icon.begin(), icon.end(), stub.begin() + iconAt);
    StubProcess run(Write("setup.exe", config, entries));
    ASSERT_TRUE(run.started());

    HWND dialog = run.WaitForDialog(Patience);
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(IsMessageBox(dialog));
    EXPECT_EQ(WindowText(dialog), L"サンプル アプリ 1.0");
    EXPECT_EQ(ControlText(dialog, 1004), L"サンプルをインストールします。");
    EXPECT_EQ(ControlText(dialog, 1005), std::wstring(dest.begin(), dest.end()));
    EXPECT_EQ(ControlText(dialog, IDOK), L"解凍");
    EXPECT_EQ(ControlText(dialog, IDCANCEL), L"キャンセル");
    EXPECT_EQ(GetWindowLongW(dialog, GWL_STYLE) & WS_SYSMENU, 0) << "no close button";
    EXPECT_TRUE(WaitPainted(dialog));
    const std::string shot = std::string(KVX_ARTIFACTS) + "destination_dialog.bmp";
    SaveScreenshot(dialog, shot);
    // The screenshot shows the icon where the dialog's icon control stands.
    HWND iconControl = FindWindowExW(dialog, NULL, L"Static", NULL);
    while (iconControl != NULL && (GetWindowLongW(iconControl, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
        iconControl = FindWindowExW(dialog, iconControl, L"Static", NULL);
    ASSERT_NE(iconControl, (HWND)NULL);
    RECT window, control;
    GetWindowRect(dialog, &window);
    GetWindowRect(iconControl, &control);
    const int left = control.left - window.left, top = control.top - window.top;
    const COLORREF Red = RGB(255, 0, 0), Lime = RGB(0, 255, 0);
    const struct {
        int x, y;
        COLORREF colour;
    } pixels[] = {{2, 2, Red},   {13, 5, Red},  {14, 5, Red},  {15, 5, Lime},  {16, 5, Lime}, {5, 15, Red},
                  {5, 16, Lime}, {29, 2, Lime}, {2, 29, Lime}, {29, 29, Lime}};
    for (const auto& p : pixels)
        EXPECT_EQ(ScreenshotPixel(shot, left + p.x, top + p.y), p.colour) << p.x << ", " << p.y;
    ClickButton(dialog, IDOK);

    // The progress window: its caption, then the file being decoded.
    HWND progress = run.WaitForProgressWindow(Patience);
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(StoredText(progress), L"KVX ファイルを解凍中...");
    std::wstring line;
    for (DWORD start = GetTickCount(); GetTickCount() - start < Patience; Sleep(5)) {
        line = StoredText(GetDlgItem(progress, 1001));
        if (line.find(L"big.dat") != std::wstring::npos)
            break;
    }
    EXPECT_NE(line.find(L"big.dat"), std::wstring::npos) << "the path line showed the file being decoded";
    // A picture for people, not a verdict: on a fast run the window may
    // already be gone.
    Sleep(50);
    SaveScreenshot(progress, std::string(KVX_ARTIFACTS) + "progress_window.bmp");

    const SeenMessageBox box = FinishWithMessage(run, dialog, "completed_message.bmp");
    EXPECT_EQ(box.text, Completed);
    EXPECT_EQ(box.caption, Caption);
    EXPECT_EQ(box.icon, (UINT)MB_ICONINFORMATION);
    ASSERT_NO_FATAL_FAILURE(ExpectExtracted(dest, entries, {Bytes("read me\r\n"), big, Bytes("nested")}));
}

TEST_F(EndToEnd, ResourceTextsWhenNothingIsConfiguredAndCancel)
{
    const std::string exe = Write("plain.exe", {}, {Make("", "a.txt", Bytes("a"), false)});
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Escape" : "Cancel");
        WriteFileBytes(StagingFile(), {1});  // nothing runs far enough to remove it
        StubProcess run(exe);
        HWND dialog = run.WaitForDialog(Patience);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(WindowText(dialog), L"KVX ファイルの解凍");
        EXPECT_EQ(ControlText(dialog, 1004), L"解凍します");
        EXPECT_EQ(ControlText(dialog, 1005), L"");
        TypeText(dialog, 1005, L"C:\\should-not-be-made");
        if (escape)
            PressKey(GetDlgItem(dialog, 1005), VK_ESCAPE);
        else
            ClickButton(dialog, IDCANCEL);
        EXPECT_EQ(run.WaitForDialog(1000, dialog), nullptr) << "Cancel shows nothing";
        EXPECT_EQ(run.WaitForExit(Patience), 0);
        DeleteFileA(StagingFile().c_str());
    }
    EXPECT_FALSE(FileExists("C:\\should-not-be-made"));
    EXPECT_FALSE(FileExists(dir + "a.txt"));
}

TEST_F(EndToEnd, TypedDestinations)
{
    RemoveTree("C:\\configured-default");
    const std::vector<sfx::Entry> entries = {Make("sub\\", "t.txt", Bytes("typed"), true)};
    const std::string exe = Write("typed.exe", {"", "", "C:\\configured-default", ""}, entries);
    struct Case {
        std::string typed, where;
        bool enter;
    };
    const Case cases[] = {
        {dir + "plain", dir + "plain\\", false},
        {dir + "closed\\", dir + "closed\\", true},
        {dir.substr(0, 2) + "/" + dir.substr(3) + "slashes/deeper", dir + "slashes\\deeper\\", false},
        {"", dir, true},  // an emptied field: beside the self-extracting file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        StubProcess run(exe);
        HWND dialog = run.WaitForDialog(Patience);
        ASSERT_NE(dialog, nullptr);
        TypeText(dialog, 1005, std::wstring(c.typed.begin(), c.typed.end()));
        if (c.enter)
            PressKey(GetDlgItem(dialog, 1005), VK_RETURN);
        else
            ClickButton(dialog, IDOK);
        EXPECT_EQ(FinishWithMessage(run, dialog).text, Completed);
        ASSERT_NO_FATAL_FAILURE(ExpectExtracted(c.where, entries, {Bytes("typed")}));
    }
    EXPECT_FALSE(FileExists("C:\\configured-default"));
}

TEST_F(EndToEnd, LaunchFileIsOpenedInsteadOfTheCompletionMessage)
{
    const std::string dest = dir + "app\\";
    const std::string script = "@echo launched>\"%~dp0launched.txt\"\r\n";
    const std::vector<sfx::Entry> entries = {Make("bin\\", "start.bat", Bytes(script), false)};
    StubProcess run(Write("launch.exe", {"", "", dest, "bin\\start.bat"}, entries));
    HWND dialog = run.WaitForDialog(Patience);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, IDOK);
    EXPECT_EQ(run.WaitForDialog(3000, dialog), nullptr) << "no message after opening the file";
    EXPECT_EQ(run.WaitForExit(Patience), 0);
    bool launched = false;
    for (int i = 0; i < 200 && !launched; i++, Sleep(50))
        launched = FileExists(dest + "bin\\launched.txt");
    EXPECT_TRUE(launched);
}

TEST_F(EndToEnd, FailureShowsOnlyTheFailureMessageAndOpensNothing)
{
    const std::string dest = dir + "app\\";
    const std::string script = "@echo launched>\"%~dp0launched.txt\"\r\n";
    sfx::Entry broken = Make("", "broken.txt", Bytes("not a bzip2 stream"), false);
    broken.method = sfx::Bzip2;
    const std::vector<sfx::Entry> entries = {Make("", "start.bat", Bytes(script), false), broken};
    StubProcess run(Write("broken.exe", {"", "", dest, "start.bat"}, entries));
    HWND dialog = run.WaitForDialog(Patience);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, IDOK);
    const SeenMessageBox box = FinishWithMessage(run, dialog);
    EXPECT_EQ(box.text, Failed);
    EXPECT_EQ(box.caption, Caption);
    EXPECT_EQ(box.icon, (UINT)MB_ICONEXCLAMATION);
    Sleep(500);
    EXPECT_FALSE(FileExists(dest + "launched.txt"));
    EXPECT_TRUE(FileExists(dest + "start.bat"));  // what came before the failure stays
}

// The destination joined to the file to open must fit in 259 bytes; the
// staging path (the temporary directory joined to the staging file's name) too.
TEST_F(EndToEnd, LaunchAndStagingPathsAtTheirLimits)
{
    std::string dest = dir;
    while (dest.size() < 200)
        dest += "long-directory-name\\";
    const std::string script = "@echo launched>\"%~dp0launched.txt\"\r\n";
    for (size_t length : {258, 259, 260}) {
        SCOPED_TRACE(length);
        const std::string launch = std::string(length - dest.size() - 4, 'x') + ".bat";
        // Past the limit the launch file is not packed: only its joined path fails.
        const sfx::Entry entry = length < 260 ? Make("", launch, Bytes(script), false) : Make("", "a.txt", Bytes("a"), false);
        const std::string exe = Write("limit.exe", {"", "", dest, launch}, {entry});
        const RunResult run = RunToEnd(exe);
        EXPECT_EQ(run.exitCode, 0);
        if (length == 260) {
            ASSERT_EQ(run.boxes.size(), 1u);
            EXPECT_EQ(run.boxes[0].text, Failed);
            continue;
        }
        EXPECT_TRUE(run.boxes.empty());  // the file is opened instead of the completion message
        bool launched = false;
        for (int i = 0; i < 200 && !launched; i++, Sleep(50))
            launched = FileExists(dest + "launched.txt");
        EXPECT_TRUE(launched);
        DeleteFileA((dest + "launched.txt").c_str());
    }

    char temp[MAX_PATH];
    GetEnvironmentVariableA("TMP", temp, MAX_PATH);
    const std::string exe = Write("staging.exe", {"", "", dir + "staged\\", ""}, {Make("", "a.txt", Bytes("a"), false)});
    for (size_t length : {258, 259, 260}) {
        SCOPED_TRACE(length);
        std::string tmp = dir;  // the temporary directory, ending in a backslash, + "Qel00tmp.tmp"
        while (length - 12 - tmp.size() > 60)
            tmp += std::string(49, 't') + "\\";
        tmp += std::string(length - 12 - tmp.size() - 1, 't') + "\\";
        ASSERT_EQ(tmp.size() + 12, length);
        for (size_t at = dir.size(); at < tmp.size(); at = tmp.find('\\', at) + 1)
            CreateDirectoryA(tmp.substr(0, tmp.find('\\', at)).c_str(), NULL);
        SetEnvironmentVariableA("TMP", tmp.c_str());
        const RunResult run = RunToEnd(exe);
        SetEnvironmentVariableA("TMP", temp);
        EXPECT_EQ(run.exitCode, 0);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].icon, length == 260 ? (UINT)MB_ICONEXCLAMATION : (UINT)MB_ICONINFORMATION);
    }
}

TEST_F(EndToEnd, JapaneseNamesAndAJapaneseFolderWithSpaces)
{
    // 表示 and ソフト hold second bytes of 0x5C.
    const std::string folder = dir + Sjis(L"表示 テスト フォルダ") + "\\";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    const std::vector<sfx::Entry> entries = {
        Make(Sjis(L"ソフト\\表\\"), Sjis(L"能力 表.txt"), Bytes("sjis"), true),
        Make("", Sjis(L"説明書.txt"), Bytes("manual"), false),
    };
    std::vector<sfx::Bytes> encoded;
    for (const sfx::Entry& e : entries)
        encoded.push_back(sfx::EncodeEntry(e));
    const std::string exe = folder + Sjis(L"セット アップ.exe");
    WriteFileBytes(exe, sfx::BuildArchive(stub, {}, encoded));

    StubProcess run(exe);
    HWND dialog = run.WaitForDialog(Patience);
    ASSERT_NE(dialog, nullptr);
    ClickButton(dialog, IDOK);  // empty field: beside the program
    EXPECT_EQ(FinishWithMessage(run, dialog).text, Completed);
    ASSERT_NO_FATAL_FAILURE(ExpectExtracted(folder, entries, {Bytes("sjis"), Bytes("manual")}));
}

TEST_F(EndToEnd, DamagedAndHostilePayloadsEndWithTheOneFailureMessage)
{
    sfx::Damage cut;
    cut.packedSize = 700000;  // more data than the file holds
    const sfx::Entry shortData = Make("", "cut.txt", Bytes("short"), false);
    const sfx::Entry escape = Make("..\\", "evil.txt", Bytes("x"), false);
    const std::string dest = dir + "out\\";
    for (const sfx::Bytes& payload : {sfx::EncodeEntry(shortData, cut), sfx::EncodeEntry(escape)}) {
        const std::string exe = dir + "bad.exe";
        WriteFileBytes(exe, sfx::BuildArchive(stub, {"", "", dest, ""}, {payload}));
        const RunResult run = RunToEnd(exe);
        EXPECT_EQ(run.exitCode, 0);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].text, Failed);
        EXPECT_EQ(run.boxes[0].caption, Caption);
        EXPECT_EQ(run.boxes[0].icon, (UINT)MB_ICONEXCLAMATION);
    }
    EXPECT_FALSE(FileExists(dir + "evil.txt"));
}

TEST_F(EndToEnd, TwoRunsAtOnceKeepTheirOwnStagingData)
{
    // A decodes a large stream (its progress window keeps it busy for
    // seconds) while B starts; both stage through the same file name.
    sfx::Bytes noise(12 << 20);
    uint32_t x = 99;
    for (uint8_t& byte : noise)
        x = x * 1103515245 + 12345, byte = (uint8_t)(x >> 23);
    std::vector<sfx::Entry> first = {Make("", "big.dat", noise, true)};
    std::vector<sfx::Entry> second;
    for (int i = 0; i < 4; i++) {
        first.push_back(Make("", "a" + std::to_string(i), sfx::Bytes(400000, 'a'), false));
        second.push_back(Make("", "b" + std::to_string(i), sfx::Bytes(400000, 'b'), false));
    }
    const std::string destA = dir + "A\\", destB = dir + "B\\";
    StubProcess a(Write("a.exe", {"", "", destA, ""}, first));
    HWND dialogA = a.WaitForDialog(Patience);
    ASSERT_NE(dialogA, nullptr);
    ClickButton(dialogA, IDOK);
    HWND progressA = a.WaitForProgressWindow(Patience);
    ASSERT_NE(progressA, nullptr);
    auto decodingA = [&] { return StoredText(GetDlgItem(progressA, 1001)).find(L"big.dat") != std::wstring::npos; };
    for (DWORD start = GetTickCount(); !decodingA() && GetTickCount() - start < Patience;)
        Sleep(5);

    StubProcess b(Write("b.exe", {"", "", destB, ""}, second));
    HWND dialogB = b.WaitForDialog(Patience);
    ASSERT_NE(dialogB, nullptr);
    ClickButton(dialogB, IDOK);
    for (DWORD start = GetTickCount(); IsWindowVisible(dialogB) && GetTickCount() - start < Patience;)
        Sleep(5);
    // B has gone on to extract: A must still be decoding, or nothing overlapped.
    ASSERT_TRUE(decodingA()) << "A was no longer decoding when B began: the overlap was not reached";

    EXPECT_EQ(FinishWithMessage(a, dialogA).text, Completed);
    EXPECT_EQ(FinishWithMessage(b, dialogB).text, Completed);
    std::vector<sfx::Bytes> contentsA = {noise}, contentsB;
    for (int i = 0; i < 4; i++) {
        contentsA.push_back(sfx::Bytes(400000, 'a'));
        contentsB.push_back(sfx::Bytes(400000, 'b'));
    }
    ASSERT_NO_FATAL_FAILURE(ExpectExtracted(destA, first, contentsA));
    ASSERT_NO_FATAL_FAILURE(ExpectExtracted(destB, second, contentsB));
}

// Runs a self-extracting file as a person would, for the demo: confirms the
// destination dialog, watches the progress window, reads and dismisses the
// final message, and saves a screenshot of each.
//   demo_run SFX.exe SHOTS_DIR
#include <windows.h>

#include <cstdio>
#include <string>

#include "driver.h"

static std::string Utf8(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &s[0], n, NULL, NULL);
    return s;
}

const int PathLineId = 1001;

// Waits until the progress window's path line names a file being extracted
// (it shows the program's own path while idle) and has shown it for a moment,
// so the window has drawn it; the text, or what it shows at the time-out.
static std::wstring WaitForFileShown(HWND pathLine, DWORD timeoutMs)
{
    const std::wstring idle = StoredText(pathLine);
    std::wstring seen = idle;
    DWORD since = GetTickCount();
    for (const DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(20)) {
        const std::wstring now = StoredText(pathLine);
        if (now != seen) {
            seen = now;
            since = GetTickCount();
        } else if (seen != idle && GetTickCount() - since >= 200) {
            break;
        }
    }
    return seen;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: demo_run SFX.exe SHOTS_DIR\n");
        return 2;
    }
    const std::string shots = std::string(argv[2]) + "\\";
    StubProcess run(argv[1]);
    if (!run.started()) {
        std::fprintf(stderr, "demo_run: %s cannot be started\n", argv[1]);
        return 1;
    }
    HWND dialog = run.WaitForDialog(20000);
    if (dialog == NULL) {
        std::fprintf(stderr, "demo_run: no destination dialog appeared\n");
        return 1;
    }
    std::printf("dialog:   %s\n  message: %s\n  destination: %s\n", Utf8(WindowText(dialog)).c_str(),
                Utf8(ControlText(dialog, 1004)).c_str(), Utf8(ControlText(dialog, 1005)).c_str());
    Sleep(500);
    SaveScreenshot(dialog, shots + "1-destination-dialog.bmp");
    ClickButton(dialog, IDOK);
    std::printf("pressed:  %s\n", Utf8(ControlText(dialog, IDOK)).c_str());

    HWND progress = run.WaitForProgressWindow(3000);
    if (progress != NULL) {
        std::printf("progress: %s\n", Utf8(StoredText(progress)).c_str());
        const std::wstring file = WaitForFileShown(GetDlgItem(progress, PathLineId), 5000);
        std::printf("  extracting: %s\n", Utf8(file).c_str());
        SaveScreenshot(progress, shots + "2-progress-window.bmp");
    }
    HWND box = run.WaitForDialog(60000, dialog);
    if (box == NULL || !IsMessageBox(box)) {
        std::fprintf(stderr, "demo_run: no final message appeared\n");
        return 1;
    }
    Sleep(500);
    SaveScreenshot(box, shots + "3-final-message.bmp");
    const SeenMessageBox seen = ReadMessageBox(box);
    std::printf("message:  [%s] %s\n", Utf8(seen.caption).c_str(), Utf8(seen.text).c_str());
    ClickButton(box, IDOK);
    const long code = run.WaitForExit(10000);
    std::printf("exit code %ld\n", code);
    std::fflush(stdout);
    return code == 0 && seen.icon == MB_ICONINFORMATION ? 0 : 1;
}

// Drives a running self-extracting file the way a person would: finds its
// windows, reads what they show, types, presses buttons and keys.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// What one message box showed.
struct SeenMessageBox {
    std::wstring text, caption;
    UINT icon;  // MB_ICONINFORMATION, MB_ICONEXCLAMATION, or 0 for another or none
};

class StubProcess {
public:
    // Starts `exe` with `arguments` (its working directory: the temporary directory).
    explicit StubProcess(const std::string& exe, const std::string& arguments = "");
    ~StubProcess();  // ends the process if it is still running
    bool started() const { return process_ != NULL; }

    // A visible top-level dialog of the process; null when none appeared in
    // time or the process ended.  `skip` windows are ignored.
    HWND WaitForDialog(DWORD timeoutMs, HWND skip = NULL);
    // Waits for the process to end; its exit code, or -1 after a time-out
    // (it is then terminated).
    long WaitForExit(DWORD timeoutMs);
    bool HasExited() const;

    // The progress window, once it has been seen (null before).
    HWND WaitForProgressWindow(DWORD timeoutMs);

    DWORD pid() const { return pid_; }

private:
    HANDLE process_ = NULL;
    DWORD pid_ = 0;
};

// Texts of windows in another process.
std::wstring WindowText(HWND window);
std::wstring ControlText(HWND dialog, int id);
bool IsMessageBox(HWND dialog);
SeenMessageBox ReadMessageBox(HWND box);

// Clicks a dialog button, as a mouse click would (BN_CLICKED from the button).
void ClickButton(HWND dialog, int id);
// Types `text` into an edit control, replacing what it holds.
void TypeText(HWND dialog, int id, const std::wstring& text);
// Presses a key in a control, through the dialog's own message loop.
void PressKey(HWND control, UINT virtualKey);

// Runs `exe` to its end, dismissing every message box with OK and recording
// it; the destination dialog, if any, is confirmed as it stands.
struct RunResult {
    long exitCode = -1;
    std::vector<SeenMessageBox> boxes;
};
RunResult RunToEnd(const std::string& exe, DWORD timeoutMs = 20000);

// The text a window holds, read without sending it a message: works while the
// window's thread is busy and pumps no messages (the progress window).
std::wstring StoredText(HWND window);

// Saves what the screen shows inside `window` as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const std::string& path);

// Replaces the address that this program's import table holds for `function`
// of `dll`, so calls from the code under test reach `replacement`.  Returns
// the previous address, or null when the import is not there.
void* PatchImport(const char* dll, const char* function, void* replacement);

#include "driver.h"

namespace {

struct Search {
    DWORD pid;
    HWND skip;
    const wchar_t* cls;
    HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM param)
{
    Search* s = (Search*)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    // A dialog without controls is one being destroyed (its children go
    // first), or not yet complete: not one to act on.
    if (pid != s->pid || window == s->skip || !IsWindowVisible(window) || GetWindow(window, GW_CHILD) == NULL)
        return TRUE;
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (lstrcmpW(cls, s->cls) != 0)
        return TRUE;
    s->found = window;
    return FALSE;
}

HWND FindWindowOf(DWORD pid, HWND skip)
{
    Search s = {pid, skip, L"#32770", NULL};
    EnumWindows(FindTopLevel, (LPARAM)&s);
    return s.found;
}

bool IsProgressWindow(HWND w) { return GetDlgItem(w, 1000) != NULL && GetDlgItem(w, 1001) != NULL; }

}  // namespace

StubProcess::StubProcess(const std::string& exe, const std::string& arguments)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    if (CreateProcessA(exe.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, temp, &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        pid_ = info.dwProcessId;
    }
}

StubProcess::~StubProcess()
{
    if (process_ == NULL)
        return;
    if (!HasExited()) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
}

bool StubProcess::HasExited() const { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }

HWND StubProcess::WaitForDialog(DWORD timeoutMs, HWND skip)
{
    const DWORD start = GetTickCount();
    for (;;) {
        HWND found = FindWindowOf(pid_, skip);
        // The progress window is a dialog too; it is reported by its own call.
        if (found != NULL && !IsProgressWindow(found))
            return found;
        if (HasExited() || GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(20);
    }
}

HWND StubProcess::WaitForProgressWindow(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        HWND found = FindWindowOf(pid_, NULL);
        if (found != NULL && IsProgressWindow(found))
            return found;
        if (HasExited() || GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(5);
    }
}

long StubProcess::WaitForExit(DWORD timeoutMs)
{
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 5000);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return (long)code;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = {};
    SendMessageW(window, WM_GETTEXT, 1024, (LPARAM)text);
    return text;
}

std::wstring ControlText(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

namespace {

struct BoxParts {
    HWND icon = NULL;
    std::wstring text;
};

BOOL CALLBACK CollectBoxParts(HWND child, LPARAM param)
{
    BoxParts* parts = (BoxParts*)param;
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (lstrcmpiW(cls, L"Static") != 0)
        return TRUE;
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        parts->icon = child;
    } else {
        const std::wstring text = WindowText(child);
        if (text.size() > parts->text.size())
            parts->text = text;
    }
    return TRUE;
}

}  // namespace

// 32 x 32 pixels: a system icon drawn on the dialog colour, or what the
// screen shows at a point.  Icons of another process cannot be drawn here, so
// a message box's icon is recognised by what it looks like on screen.
std::vector<COLORREF> Pixels(HICON icon, POINT at)
{
    std::vector<COLORREF> pixels;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 32, 32);
    HGDIOBJ old = SelectObject(memory, bitmap);
    if (icon != NULL) {
        RECT all = {0, 0, 32, 32};
        FillRect(memory, &all, GetSysColorBrush(COLOR_3DFACE));
        DrawIconEx(memory, 0, 0, icon, 32, 32, 0, NULL, DI_NORMAL);
    } else {
        BitBlt(memory, 0, 0, 32, 32, screen, at.x, at.y, SRCCOPY);
    }
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++)
            pixels.push_back(GetPixel(memory, x, y));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

bool IsMessageBox(HWND dialog)
{
    return dialog != NULL && GetDlgItem(dialog, IDOK) != NULL && GetDlgItem(dialog, 1005) == NULL &&
           !IsProgressWindow(dialog);
}

SeenMessageBox ReadMessageBox(HWND box)
{
    BoxParts parts;
    EnumChildWindows(box, CollectBoxParts, (LPARAM)&parts);
    SeenMessageBox seen;
    seen.text = parts.text;
    seen.caption = WindowText(box);
    seen.icon = 0;
    if (parts.icon != NULL) {
        RECT r;
        GetWindowRect(parts.icon, &r);
        const POINT at = {r.left, r.top};
        const std::vector<COLORREF> exclamation = Pixels(LoadIconW(NULL, (LPCWSTR)IDI_EXCLAMATION), at);
        const std::vector<COLORREF> information = Pixels(LoadIconW(NULL, (LPCWSTR)IDI_INFORMATION), at);
        // Give the box a moment to paint.
        for (int tries = 0; tries < 50 && seen.icon == 0; tries++, Sleep(20)) {
            const std::vector<COLORREF> shown = Pixels(NULL, at);
            if (shown == exclamation)
                seen.icon = MB_ICONEXCLAMATION;
            else if (shown == information)
                seen.icon = MB_ICONINFORMATION;
        }
    }
    return seen;
}

void ClickButton(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

void TypeText(HWND dialog, int id, const std::wstring& text)
{
    HWND edit = GetDlgItem(dialog, id);
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, WM_CHAR, VK_BACK, 0);  // the selection goes
    for (wchar_t c : text)
        SendMessageW(edit, WM_CHAR, c, 0);
}

void PressKey(HWND control, UINT virtualKey)
{
    PostMessageW(control, WM_KEYDOWN, virtualKey, 1);
    PostMessageW(control, WM_KEYUP, virtualKey, 0xC0000001);
}

RunResult RunToEnd(const std::string& exe, DWORD timeoutMs)
{
    RunResult result;
    StubProcess stub(exe);
    if (!stub.started())
        return result;
    const DWORD start = GetTickCount();
    HWND handled = NULL;
    while (GetTickCount() - start < timeoutMs) {
        HWND dialog = stub.WaitForDialog(50, handled);
        if (dialog == NULL) {
            if (stub.HasExited())
                break;
            continue;
        }
        if (IsMessageBox(dialog))
            result.boxes.push_back(ReadMessageBox(dialog));
        ClickButton(dialog, IDOK);
        handled = dialog;
    }
    result.exitCode = stub.WaitForExit(timeoutMs);
    return result;
}

std::wstring StoredText(HWND window)
{
    wchar_t text[1024] = {};
    InternalGetWindowText(window, text, 1024);
    return text;
}

bool SaveScreenshot(HWND window, const std::string& path)
{
    RECT r;
    if (!GetWindowRect(window, &r))
        return false;
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    const DWORD stride = (width * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(stride * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), (BITMAPINFO*)&info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + (DWORD)pixels.size();
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    DWORD done;
    const bool ok = WriteFile(out, &file, sizeof(file), &done, NULL) && WriteFile(out, &info, sizeof(info), &done, NULL) &&
                    WriteFile(out, pixels.data(), (DWORD)pixels.size(), &done, NULL);
    CloseHandle(out);
    return ok;
}

void* PatchImport(const char* dll, const char* function, void* replacement)
{
    BYTE* base = (BYTE*)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR* d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); d->Name; d++) {
        if (lstrcmpiA((const char*)(base + d->Name), dll) != 0)
            continue;
        IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME* byName = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
            if (lstrcmpA((const char*)byName->Name, function) != 0)
                continue;
            DWORD protect;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protect);
            void* previous = (void*)slots->u1.Function;
            slots->u1.Function = (DWORD_PTR)replacement;
            VirtualProtect(&slots->u1.Function, sizeof(void*), protect, &protect);
            return previous;
        }
    }
    return nullptr;
}

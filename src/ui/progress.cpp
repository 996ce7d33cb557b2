// The progress window: a modeless dialog without a dialog procedure, changed
// only by direct calls, each group of changes ending with ShowWindow.  Its
// path line shows a path shortened with an ellipsis to fit the control.
#include "ui.h"
#include "../app/app.h"
#include "../fs/fs.h"

#include <commctrl.h>

void FitPathText(char* shown, const char* text, int limit)
{
    // Of an over-long text keep the end, starting on a character boundary.
    const char* start = text;
    while (lstrlenA(start) > MAX_PATH - 1)
        start = CharNextA(start);
    lstrcpyA(shown, start);

    if (shown[0] != '\0' && lstrlenA(shown) > limit) {
        // Name mode keeps the file name behind "...\" and cuts the directory
        // part; tail mode, when even that is too long, cuts the name itself.
        char* name = FindFileName(shown);
        char tailBuffer[PathTextBufferSize];
        lstrcpyA(tailBuffer, "...\\");
        // Passes in tail mode cut from the name's end, so a name longer than
        // the buffer can hold behind "...\" loses nothing that would be shown.
        const char* p = name;
        while (*p && (p - name) + (CharNextA(p) - p) <= MAX_PATH - 5)
            p = CharNextA(p);
        lstrcpynA(tailBuffer + 4, name, (int)(p - name) + 1);

        const char* tail;
        if (lstrlenA(tailBuffer) <= limit) {
            *name = '\0';
            tail = tailBuffer;
        } else {
            lstrcpyA(shown, tailBuffer);
            tail = "...";
        }
        char* cut = shown + lstrlenA(shown);
        do {
            cut = CharPrevA(shown, cut);
            lstrcpyA(cut, tail);
        } while (lstrlenA(shown) > limit && cut != shown);
    }
    ConvertSlashes(shown);
}

int SetPathText(HWND dialog, int id, const char* text)
{
    if (text == NULL || *text == '\0')
        return 0;
    HWND control = GetDlgItem(dialog, id);
    RECT bounds = {0, 0, 0, 0};
    GetWindowRect(control, &bounds);
    HDC dc = GetDC(control);
    if (dc == NULL)
        return 0;
    // No font is selected: these are the metrics of the default system font.
    TEXTMETRICA metrics;
    const BOOL measured = GetTextMetricsA(dc, &metrics);
    ReleaseDC(control, dc);

    int limit = MAX_PATH;  // without a usable width the text is shown whole
    if (measured && metrics.tmAveCharWidth > 0)
        limit = (bounds.right - bounds.left) / metrics.tmAveCharWidth + 10;
    char shown[PathTextBufferSize];
    FitPathText(shown, text, limit);
    return SetDlgItemTextA(dialog, id, shown);
}

void ResetProgressWindow()
{
    if (ProgressWindow == NULL)
        return;
    SetPathText(ProgressWindow, PathLineId, ModulePath);
    SendDlgItemMessageA(ProgressWindow, ProgressBarId, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendDlgItemMessageA(ProgressWindow, ProgressBarId, PBM_SETSTEP, 1, 0);
    ShowWindow(ProgressWindow, SW_SHOWNORMAL);
}

// Loads a DLL by its full path in the system directory, so that a DLL of that
// name lying beside the program (in a Downloads folder, say) is never taken.
static HMODULE LoadSystemLibrary(const char* name)
{
    char path[MAX_PATH + 16];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return NULL;
    path[length] = '\\';
    lstrcpyA(path + length + 1, name);
    return LoadLibraryA(path);
}

// Registers the progress bar class.  The theme library, which the common
// controls load on their own when they first draw, is loaded from the system
// directory first, so their later load finds it in place.
static void RegisterProgressClass()
{
    LoadSystemLibrary("uxtheme.dll");
    HMODULE comctl = LoadSystemLibrary("comctl32.dll");
    if (comctl == NULL)
        return;
    typedef BOOL(WINAPI * InitFunction)(const INITCOMMONCONTROLSEX*);
    InitFunction init = (InitFunction)(void*)GetProcAddress(comctl, "InitCommonControlsEx");
    if (init != NULL) {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
        init(&classes);
    }
}

void OpenProgressWindow()
{
    RegisterProgressClass();
    ProgressWindow = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(ProgressDialogId), NULL, NULL, 0);
    ResetProgressWindow();
    // No message loop runs while the window lives: it and its controls are
    // painted here, once, or the icon and the background would never be drawn.
    if (ProgressWindow != NULL)
        UpdateWindow(ProgressWindow);
}

void CloseProgressWindow()
{
    if (ProgressWindow == NULL)
        return;
    DestroyWindow(ProgressWindow);
    InvalidateRect(NULL, NULL, FALSE);
}

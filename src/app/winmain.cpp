// The entry function: one pass from start to exit.  Buffers, our own path and
// configuration, the destination, the progress window, the extraction, and one
// ending: the configured file opened through the shell, the completion
// message, or the failure message.  The exit code is always 0.
#include "app.h"
#include "../archive/archive.h"
#include "../fs/fs.h"
#include "../ui/ui.h"

#include <shellapi.h>

// Message texts in code page 932.
static const char MessageCaption[] = "Self Extractor for KVX";
// "ファイルの解凍を終了しました。" and a notice: "解凍先のフォルダをご確認ください。"
static const char CompletedText[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x89\xf0\x93\x80\x82\xf0\x8f\x49\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42"
    "\n\n"
    "\x89\xf0\x93\x80\x90\xe6\x82\xcc\x83\x74\x83\x48\x83\x8b\x83\x5f\x82\xf0\x82\xb2\x8a\x6d\x94\x46\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42";
// "致命的なエラーです。解凍を中止します"
static const char FailedText[] =
    "\x92\x76\x96\xbd\x93\x49\x82\xc8\x83\x47\x83\x89\x81\x5b\x82\xc5\x82\xb7\x81\x42\x89\xf0\x93\x80\x82\xf0\x92\x86\x8e\x7e\x82\xb5\x82\xdc\x82\xb7";
static const char StagingFileName[] = "Qel00tmp.tmp";
// Every run of every self-extracting file stages through the same file name.
// Runs hold this mutex from the removal of a leftover staging file to the
// removal of their own, so one run never deletes, truncates or decodes
// another's staging data; a second run waits for the first one's extraction.
static const char StagingMutexName[] = "KVX Self Extractor Qel00tmp.tmp";

// Appends `tail` to `path` (a path buffer) when the result fits MAX_PATH.
static int AppendToPath(char* path, const char* tail)
{
    if (lstrlenA(path) + lstrlenA(tail) >= MAX_PATH)
        return 0;
    lstrcatA(path, tail);
    return 1;
}

// The staging file in the temporary directory, a leftover of it deleted.
static int PrepareStagingFile()
{
    GetTempPathA(MAX_PATH, StagingPath);
    AddTrailingBackslash(StagingPath);
    if (!AppendToPath(StagingPath, StagingFileName))
        return 0;
    if (PathExists(StagingPath))
        DeleteFileA(StagingPath);
    return 1;
}

// Extraction with the progress window up; an empty destination means the
// directory that holds our own file.
static int ExtractToDestination()
{
    OpenProgressWindow();
    if (DestinationDir[0] == '\0') {
        lstrcpyA(DestinationDir, ModulePath);
        StripFileName(DestinationDir);
        AddTrailingBackslash(DestinationDir);
    }
    HANDLE staging = CreateMutexA(NULL, FALSE, StagingMutexName);
    if (staging != NULL)
        WaitForSingleObject(staging, INFINITE);  // abandoned by a crashed run counts as free
    const int ok = PrepareStagingFile() && ExtractAll();
    // Gone before the next run may take the name; FreeBuffers need not touch it.
    DeleteFileA(StagingPath);
    StagingPath[0] = '\0';
    if (staging != NULL) {
        ReleaseMutex(staging);
        CloseHandle(staging);
    }
    CloseProgressWindow();
    return ok;
}

// The successful ending: the configured file opened, or the completion message.
static int FinishSuccessfully()
{
    if (LaunchFileName[0] == '\0') {
        MessageBoxA(NULL, CompletedText, MessageCaption, MB_OK | MB_ICONINFORMATION);
        return 1;
    }
    if (!AppendToPath(DestinationDir, LaunchFileName))
        return 0;
    ShellExecuteA(NULL, "open", DestinationDir, NULL, NULL, SW_SHOW);
    return 1;
}

// Takes every DLL loaded from now on (the common controls, and whatever the
// system loads on our behalf) from the system directory only, never from our
// own folder, where anything may have been downloaded beside us.  Systems
// without the call keep their default search.
static void RestrictDllSearch()
{
    typedef BOOL(WINAPI * SetDirectories)(DWORD);
    SetDirectories set = (SetDirectories)(void*)GetProcAddress(GetModuleHandleA("kernel32"), "SetDefaultDllDirectories");
    if (set != NULL)
        set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    RestrictDllSearch();
    AppInstance = instance;
    int failed = 1;
    if (AllocateBuffers() && GetModuleFileNameA(NULL, ModulePath, MAX_PATH) != 0 && ReadConfigBlock()) {
        // Cancel, or a dialog that cannot be shown, ends the run without a word.
        failed = ShowDestinationDialog() && !(ExtractToDestination() && FinishSuccessfully());
    }
    if (failed)
        MessageBoxA(NULL, FailedText, MessageCaption, MB_OK | MB_ICONEXCLAMATION);
    FreeBuffers();
    return 0;
}

extern "C" void StubEntry()
{
    ExitProcess(WinMain(GetModuleHandleA(NULL), NULL, NULL, SW_SHOWDEFAULT));
}

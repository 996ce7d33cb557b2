/* A window program that crashes, for the tests of the Wine wrapper: a crash
   must fail the run within seconds whatever the loader's exit status says.
   (Wine offers its crash dialog to window programs.)
     crash          writes a line to each stream, then reads address 0
     crash exit N   writes a line to each stream and exits with N
     crash child    runs `crash` and exits 0 once it has ended
     crash orphan   starts `crash late` and exits 0 at once
     crash late     writes its lines, waits a second and a half, then crashes */
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static void Say(DWORD stream, const char* text)
{
    DWORD written;
    WriteFile(GetStdHandle(stream), text, (DWORD)strlen(text), &written, NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show)
{
    volatile int* nowhere = 0;
    (void)instance, (void)previous, (void)show;
    Say(STD_OUTPUT_HANDLE, "to stdout\n");
    Say(STD_ERROR_HANDLE, "to stderr\n");
    if (strncmp(line, "exit ", 5) == 0)
        return atoi(line + 5);
    if (strcmp(line, "child") == 0 || strcmp(line, "orphan") == 0) {
        char self[MAX_PATH], command[MAX_PATH + 16];
        STARTUPINFOA start = {sizeof start};
        PROCESS_INFORMATION child;
        GetModuleFileNameA(NULL, self, MAX_PATH);
        wsprintfA(command, "\"%s\"%s", self, line[0] == 'o' ? " late" : "");
        if (!CreateProcessA(self, command, NULL, NULL, TRUE, 0, NULL, NULL, &start, &child))
            return 2;
        if (line[0] == 'c')
            WaitForSingleObject(child.hProcess, INFINITE);
        return 0;
    }
    if (strcmp(line, "late") == 0)
        Sleep(1500);
    return *nowhere;
}

// The entry function and the process entry point that replaces the C runtime's
// start-up code: we need no argument parsing, no static constructors and no
// atexit machinery, so the program starts here directly.
#include "app.h"
#include "../archive/archive.h"
#include "../fs/fs.h"

// Walks the payload from its first entry, validating every header and
// consuming each entry's data, until an entry cannot be read.
static void WalkPayload()
{
    HANDLE self = OpenFileHandle(ModulePath, GENERIC_READ, OPEN_EXISTING);
    if (self == INVALID_HANDLE_VALUE)
        return;
    for (DWORD index = 0; ReadNextEntry(self, index); index++) {
        DWORD remaining = CurrentEntry.Header.PackedSize;
        while (remaining != 0) {
            DWORD got = ReadBytes(self, DataBuffer, remaining < StagingChunk ? remaining : StagingChunk);
            if (got == 0)
                break;
            remaining -= got;
        }
        if (remaining != 0)
            break;
    }
    FlushAndClose(self);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    AppInstance = instance;
    if (AllocateBuffers() && GetModuleFileNameA(NULL, ModulePath, MAX_PATH) != 0 && ReadConfigBlock())
        WalkPayload();
    FreeBuffers();
    return 0;
}

extern "C" void StubEntry()
{
    ExitProcess(WinMain(GetModuleHandleA(NULL), NULL, NULL, SW_SHOWDEFAULT));
}

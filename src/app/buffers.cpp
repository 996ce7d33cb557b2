// The process-wide buffers: taken once at start, released once at exit.  After
// start-up nothing else is allocated by our own code.
#include "app.h"

char* ModulePath;
char* DestinationDir;
char* EntryDirName;
char* EntryFileName;
char* TargetPath;
char* DataBuffer;
char* StagingPath;
char* DialogTitle;
char* DialogMessage;
char* LaunchFileName;

HINSTANCE AppInstance;
HWND ProgressWindow;

namespace {

struct BufferSlot {
    char** pointer;
    DWORD size;
};

const BufferSlot BufferSlots[] = {
    {&ModulePath, PathBufferSize},
    {&DestinationDir, PathBufferSize},
    {&EntryDirName, PathBufferSize},
    {&EntryFileName, PathBufferSize},
    {&TargetPath, PathBufferSize},
    {&DataBuffer, DataBufferSize},
    {&StagingPath, PathBufferSize},
    {&DialogTitle, ConfigBufferSize},
    {&DialogMessage, ConfigBufferSize},
    {&LaunchFileName, ConfigBufferSize},
};

}  // namespace

int AllocateBuffers()
{
    for (const BufferSlot& slot : BufferSlots) {
        *slot.pointer = (char*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, slot.size);
        if (*slot.pointer == NULL)
            return 0;
    }
    return 1;
}

void FreeBuffers()
{
    for (const BufferSlot& slot : BufferSlots) {
        char* buffer = *slot.pointer;
        if (buffer == NULL)
            continue;
        // The staging file lives exactly as long as its path: whatever the
        // run left in it goes with the buffers.
        if (slot.pointer == &StagingPath && buffer[0] != '\0')
            DeleteFileA(buffer);
        GlobalFree(buffer);
        *slot.pointer = NULL;
    }
}

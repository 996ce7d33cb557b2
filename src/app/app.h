// Application shell: the process-wide buffers and handles shared by every
// subsystem, and the entry function.
#pragma once
#include <windows.h>

// Sizes of the process-wide buffers.  Paths are at most 260 bytes with their
// terminator; the path buffers have one byte to spare.
enum {
    PathBufferSize = 261,
    ConfigBufferSize = 260,
    DataBufferSize = 512001,
};

// AppBuffers: allocated zero-filled by AllocateBuffers, in this order, released
// by FreeBuffers.  Each pointer is null until its buffer exists.
extern char* ModulePath;      // our own executable file
extern char* DestinationDir;  // where entries go; ends with a backslash once confirmed
extern char* EntryDirName;    // names of the current payload entry
extern char* EntryFileName;
extern char* TargetPath;      // DestinationDir + EntryDirName + EntryFileName
extern char* DataBuffer;      // entry data in transit, decoded chunks, scratch
extern char* StagingPath;     // the staging file in the temporary directory
extern char* DialogTitle;     // configuration strings
extern char* DialogMessage;
extern char* LaunchFileName;

extern HINSTANCE AppInstance;  // the instance handle WinMain received
extern HWND ProgressWindow;    // null while there is no progress window

int AllocateBuffers();
void FreeBuffers();

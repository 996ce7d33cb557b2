// The extraction loop: each payload entry is staged from our own file into the
// staging file, its directories are created, and the staging file is copied or
// decoded into place and given the entry's time.  The first failure ends the
// walk; an entry that cannot be read ends it as the end of the payload would.
#include "archive.h"
#include "../app/app.h"
#include "../fs/fs.h"

// TargetPath = DestinationDir + EntryDirName + EntryFileName.  Fails, leaving
// nothing written, when the joined path would not fit or would lead outside
// the destination.
static int ComposeTargetPath()
{
    const int destinationLength = lstrlenA(DestinationDir);
    if (destinationLength + lstrlenA(EntryDirName) + lstrlenA(EntryFileName) >= MAX_PATH)
        return 0;
    lstrcpyA(TargetPath, DestinationDir);
    lstrcatA(TargetPath, EntryDirName);
    lstrcatA(TargetPath, EntryFileName);
    return IsContainedPath(TargetPath + destinationLength);
}

// Copies the entry's PackedSize data bytes from our own file into a new
// staging file, in chunks of at most StagingChunk bytes.
static int StageEntryData(HANDLE self)
{
    HANDLE staging = OpenFileHandle(StagingPath, GENERIC_WRITE, CREATE_ALWAYS);
    if (staging == INVALID_HANDLE_VALUE)
        return 0;
    int ok = 1;
    for (DWORD remaining = CurrentEntry.Header.PackedSize; remaining != 0;) {
        const DWORD got = ReadBytes(self, DataBuffer, remaining < StagingChunk ? remaining : StagingChunk);
        if (got == 0 || !WriteBytes(staging, DataBuffer, got)) {
            ok = 0;
            break;
        }
        remaining -= got;
    }
    FlushAndClose(staging);
    return ok;
}

static int CreateTargetDirectories()
{
    lstrcpyA(DataBuffer, TargetPath);
    StripFileName(DataBuffer);
    return CreateDirectoryChain(DataBuffer);
}

// Method 2, and method 0 with a stored type's extension, are copied; every
// other method is decoded.
static int PlaceEntry()
{
    const WORD method = CurrentEntry.Header.Method;
    if (method == MethodStored || (method == MethodByExtension && IsStoredType(TargetPath)))
        return CopyFileA(StagingPath, TargetPath, FALSE);
    return DecompressToFile(StagingPath, TargetPath);
}

// Gives a file of the right size the entry's time as all three file times; a
// date and time that do not convert leave the times the file has.
static void StampFileTime()
{
    HANDLE target = OpenFileHandle(TargetPath, GENERIC_WRITE, OPEN_EXISTING);
    if (target == INVALID_HANDLE_VALUE)
        return;
    const EntryHeader& header = CurrentEntry.Header;
    FILETIME local, utc;
    if (GetFileSize(target, NULL) == header.UnpackedSize &&
        DosDateTimeToFileTime(header.DosDate, header.DosTime, &local) && LocalFileTimeToFileTime(&local, &utc))
        SetFileTime(target, &utc, &utc, &utc);
    FlushAndClose(target);
}

int ExtractAll()
{
    HANDLE self = OpenFileHandle(ModulePath, GENERIC_READ, OPEN_EXISTING);
    if (self == INVALID_HANDLE_VALUE)
        return 0;
    int ok = 1;
    for (DWORD index = 0; ok && ReadNextEntry(self, index); index++) {
        ok = ComposeTargetPath();
        if (!ok || CurrentEntry.Header.PackedSize == 0)
            continue;  // an entry without data creates nothing
        ok = StageEntryData(self) && CreateTargetDirectories() && PlaceEntry();
        if (ok)
            StampFileTime();
    }
    FlushAndClose(self);
    return ok;
}

// Readers of our own file: the configuration block in the header area, and the
// payload entries behind the stub, one at a time.
#include "archive.h"
#include "../app/app.h"
#include "../fs/fs.h"

CurrentEntryRecord CurrentEntry;

int ReadConfigBlock()
{
    char* const fields[] = {DialogTitle, DialogMessage, DestinationDir, LaunchFileName};
    HANDLE file = OpenFileHandle(ModulePath, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int ok = SeekTo(file, ConfigBlockOffset, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
    for (int i = 0; ok && i < 4; i++)
        ok = ReadBytes(file, fields[i], ConfigFieldSize) == ConfigFieldSize;
    FlushAndClose(file);
    return ok;
}

// Reads one name of `length` bytes into a zeroed 260-byte buffer, so it always
// ends with a NUL.
static int ReadEntryName(HANDLE source, char* name, WORD length)
{
    ZeroMemory(name, MAX_PATH);
    return ReadBytes(source, name, length) == length;
}

int ReadNextEntry(HANDLE source, DWORD index)
{
    EntryHeader& header = CurrentEntry.Header;
    if (source == NULL)
        return 0;
    if (index == 0 && SeekTo(source, PayloadOffset, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return 0;
    if (ReadBytes(source, &CurrentEntry.Checksum, 4) != 4)
        return 0;
    if (ReadBytes(source, &header, sizeof(header)) != sizeof(header))
        return 0;
    if (header.Tag[0] != 'B' || header.Tag[1] != 'Z' || header.Tag[2] != '2' || header.Tag[3] != 0)
        return 0;
    if (header.DirNameLength >= MAX_PATH || header.FileNameLength >= MAX_PATH)
        return 0;
    if (!ReadEntryName(source, EntryDirName, header.DirNameLength))
        return 0;
    if (!ReadEntryName(source, EntryFileName, header.FileNameLength))
        return 0;
    return VerifyEntryChecksum(CurrentEntry.Checksum);
}

// Adds bytes as signed 8-bit values; the sum wraps modulo 2^32.
static DWORD SumSignedBytes(DWORD sum, const void* bytes, DWORD count)
{
    const signed char* p = (const signed char*)bytes;
    while (count--)
        sum += (DWORD)(LONG)*p++;
    return sum;
}

int VerifyEntryChecksum(DWORD stored)
{
    const EntryHeader& header = CurrentEntry.Header;
    DWORD sum = SumSignedBytes(0, &header, sizeof(header));
    sum = SumSignedBytes(sum, EntryDirName, header.DirNameLength);
    sum = SumSignedBytes(sum, EntryFileName, header.FileNameLength);
    return sum == stored;
}
